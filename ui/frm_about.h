#pragma once
// The About box: product name and version, the project's address as a link
// that opens in the desktop's browser, and a Close button.
//
// Use from the About command:  FrmAbout::ShowModal(this);
#include <QDialog>
#include <QUrl>
#include <array>
#include <functional>

class QLabel;
class QPushButton;

namespace wirelens {

class FrmAbout : public QDialog {
    Q_OBJECT

public:
    // Opens an address; the result is not examined.
    using UrlOpener = std::function<bool(const QUrl&)>;

    // parent: the main window, which owns the box and lends it its icon.
    // opener: defaults to QDesktopServices::openUrl. address: defaults to
    // ProjectAddress().
    explicit FrmAbout(QWidget* parent, UrlOpener opener = {}, QUrl address = {});

    // Shows a fresh box modally over parent and returns when it is closed.
    static int ShowModal(QWidget* parent);

    // The address behind the link: the one set by SetProjectAddress, else the
    // project's README.md found from the executable's folder upwards (or
    // where the program is installed), else the README of the source tree
    // the program was built from, as a file:// URL.
    static QUrl ProjectAddress();
    // Overrides the address for every later box; an empty URL restores the search.
    static void SetProjectAddress(const QUrl& address);

    QUrl Address() const { return mAddress; }

    // The controls, by their names; Image1 has elements 0 (the etched line)
    // and 1 (the icon).
    QLabel* Image1(int index) const { return mImage1.at(static_cast<std::size_t>(index)); }
    QLabel* Label3() const { return mLabel3; }
    QLabel* Label2() const { return mLabel2; }
    QLabel* LabelWeb() const { return mLabelWeb; }
    QPushButton* Command2() const { return mCommand2; }

    // Opens the address and leaves the box open.
    void LabelWeb_Click();
    // Closes the box; the modal call returns.
    void Command2_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    UrlOpener mOpener;
    QUrl mAddress;
    std::array<QLabel*, 2> mImage1{};
    QLabel* mLabel3 = nullptr;
    QLabel* mLabel2 = nullptr;
    QLabel* mLabelWeb = nullptr;
    QPushButton* mCommand2 = nullptr;
};

}  // namespace wirelens
