#pragma once
// FormIP: asks the user which of the machine's addresses to capture on.
#include "capture/capture_filter_history.h"
#include "capture/choose_local_ip.h"
#include "capture/local_addresses.h"

#include <QDialog>
#include <functional>
#include <string>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace wirelens {

class FormIP : public QDialog {
    Q_OBJECT
public:
    inline static const QString kCaption = QStringLiteral("Wirelens");
    inline static const QString kPrompt = QStringLiteral("Please choose the IP address to start:");
    inline static const QString kFilterCaption = QStringLiteral("Capture &filter:");
    // Short enough for the field at the design size; the tool tip gives a longer one.
    inline static const QString kFilterExample = QStringLiteral("e.g. port 53");

    // Item data role of a line's interface name, shown beside the address.
    static constexpr int kInterfaceRole = Qt::UserRole + 1;
    using InterfaceNamer = std::function<std::string(const std::string& address)>;

    // Lists every key of dicAddr, in key order, with none selected; LocalIP starts
    // empty. Each line's text is the address; its interface name is shown beside it.
    // The filter field offers `captureFilters`' recent filters and starts with its
    // last one; without a history it starts empty and offers nothing.
    explicit FormIP(const LocalAddressSet& dicAddr, QWidget* parent = nullptr,
                    const InterfaceNamer& interfaceOf = {},
                    const CaptureFilterHistory* captureFilters = nullptr);

    // The chosen address; empty until OK is pressed with a line selected.
    const std::string& LocalIP() const { return mLocalIP; }
    // The capture filter accepted with the address (trimmed; empty: none).
    const std::string& CaptureFilter() const { return mCaptureFilter; }
    // libpcap's message for the filter OK last refused; empty once it compiles
    // or is edited.
    const QString& FilterError() const { return mFilterError; }

    // Shows the dialog modally over `parent`: Chosen with the address and the
    // filter (which joins `captureFilters`), or Cancelled.
    static LocalIpChoice Choose(const LocalAddressSet& dicAddr, QWidget* parent,
                                CaptureFilterHistory& captureFilters);

    QListWidget* List1 = nullptr;
    QPushButton* CmdOK = nullptr;
    QPushButton* CmdCancel = nullptr;
    QLabel* Label1 = nullptr;
    // A tcpdump expression, compiled before the dialog closes.
    QComboBox* cboCaptureFilter = nullptr;
    QLabel* LabelFilter = nullptr;
    QLabel* LabelFilterError = nullptr;

public slots:
    void CmdOK_Click();
    void CmdCancel_Click();

private:
    void ShowFilterError(const QString& message);

    std::string mLocalIP;
    std::string mCaptureFilter;
    QString mFilterError;
};

// The whole choice of the capture address: the only address without asking,
// the user's pick (with a capture filter) when there are several, or a
// NoAddress result whose error the caller shows. The two-argument form uses
// the session's filter history.
LocalIpChoice ChooseCaptureAddress(const LocalAddressSet& dicAddr, QWidget* parent);
LocalIpChoice ChooseCaptureAddress(const LocalAddressSet& dicAddr, QWidget* parent,
                                   CaptureFilterHistory& captureFilters);

}  // namespace wirelens
