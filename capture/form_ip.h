#pragma once
// FormIP: asks the user which of the machine's addresses to capture on.
#include "capture/choose_local_ip.h"
#include "capture/local_addresses.h"

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QListWidget;
class QPushButton;

namespace wirelens {

class FormIP : public QDialog {
    Q_OBJECT
public:
    inline static const QString kCaption = QStringLiteral("Wirelens");
    inline static const QString kPrompt = QStringLiteral("Please choose the IP address to start:");

    // Item data role of a line's interface name, shown beside the address.
    static constexpr int kInterfaceRole = Qt::UserRole + 1;
    using InterfaceNamer = std::function<std::string(const std::string& address)>;

    // Lists every key of dicAddr, in key order, with none selected; LocalIP starts
    // empty. Each line's text is the address; its interface name is shown beside it.
    explicit FormIP(const LocalAddressSet& dicAddr, QWidget* parent = nullptr,
                    const InterfaceNamer& interfaceOf = {});

    // The chosen address; empty until OK is pressed with a line selected.
    const std::string& LocalIP() const { return mLocalIP; }

    // Shows the dialog modally over `parent` and returns the chosen address,
    // empty when the user cancelled or closed it.
    static std::string Choose(const LocalAddressSet& dicAddr, QWidget* parent);

    QListWidget* List1 = nullptr;
    QPushButton* CmdOK = nullptr;
    QPushButton* CmdCancel = nullptr;
    QLabel* Label1 = nullptr;

public slots:
    void CmdOK_Click();
    void CmdCancel_Click();

private:
    std::string mLocalIP;
};

// The whole choice of the capture address: the only address without asking,
// the user's pick when there are several, or a NoAddress result whose error
// the caller shows.
LocalIpChoice ChooseCaptureAddress(const LocalAddressSet& dicAddr, QWidget* parent);

}  // namespace wirelens
