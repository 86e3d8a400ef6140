#include "ui/frm_about.h"

#include <algorithm>

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

namespace wirelens {
namespace {

constexpr int kTwipsPerPixel = 15;
constexpr int Px(int twips) { return twips / kTwipsPerPixel; }

constexpr int kClientWidth = Px(4890);
constexpr int kClientHeight = Px(2940);
constexpr int kRightMargin = Px(120);
constexpr int kIconSize = 32;
constexpr QColor kLinkColour(0, 0, 192);
constexpr QColor kEtchShadow(128, 128, 128);
constexpr int kReadmeProbeBytes = 4096;

const char* const kReadmeName = "README.md";
const char* const kProductName = "Wirelens";

QUrl gAddressOverride;

QRect TwipsRect(int left, int top, int width, int height) {
    return {Px(left), Px(top), Px(width), Px(height)};
}

// A README that names the product, so an unrelated one higher up is not taken.
bool IsProjectReadme(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return file.read(kReadmeProbeBytes).contains(kProductName);
}

QString FindReadme() {
    QDir dir(QCoreApplication::applicationDirPath());
    while (true) {
        for (const QString& candidate :
             {dir.filePath(QString::fromLatin1(kReadmeName)),
              dir.filePath(QStringLiteral("share/doc/wirelens/") + QString::fromLatin1(kReadmeName))}) {
            if (IsProjectReadme(candidate)) return QFileInfo(candidate).absoluteFilePath();
        }
        if (!dir.cdUp()) break;
    }
#ifdef WIRELENS_SOURCE_README
    return QStringLiteral(WIRELENS_SOURCE_README);
#else
    return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(kReadmeName));
#endif
}

// 10 x 2 pixels, white over grey, stretched into a sunken line.
QPixmap EtchedLinePicture() {
    QPixmap picture(10, 2);
    QPainter painter(&picture);
    painter.fillRect(0, 0, 10, 1, Qt::white);
    painter.fillRect(0, 1, 10, 1, kEtchShadow);
    return picture;
}

QLabel* NewLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The desktop's font is not the one the twips were drawn for: let a label
// grow to its text, never past the right margin of the box.
void FitText(QLabel* label) {
    const QSize hint = label->sizeHint();
    const int maxWidth = kClientWidth - kRightMargin - label->x();
    label->resize(std::clamp(hint.width(), label->width(), std::max(label->width(), maxWidth)),
                  std::max(label->height(), hint.height()));
}

}  // namespace

FrmAbout::FrmAbout(QWidget* parent, UrlOpener opener, QUrl address)
    : QDialog(parent),
      mOpener(opener ? std::move(opener) : UrlOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); })),
      mAddress(address.isEmpty() ? ProjectAddress() : std::move(address)) {
    setObjectName(QStringLiteral("FrmAbout"));
    setWindowTitle(QStringLiteral("About this software"));
    setModal(true);
    setFixedSize(kClientWidth, kClientHeight);
    const QIcon icon = parent != nullptr ? parent->window()->windowIcon() : QApplication::windowIcon();
    setWindowIcon(icon);

    // Created in tab order: the button first, the only control that takes focus.
    mCommand2 = new QPushButton(QStringLiteral("&Close"), this);
    mCommand2->setObjectName(QStringLiteral("Command2"));
    mCommand2->setGeometry(TwipsRect(3015, 2340, 1095, 360));
    mCommand2->setDefault(true);
    connect(mCommand2, &QPushButton::clicked, this, &FrmAbout::Command2_Click);

    mImage1[1] = NewLabel(this, "Image1", TwipsRect(405, 405, 480, 480), {});
    mImage1[1]->setProperty("Index", 1);
    mImage1[1]->setPixmap(icon.pixmap(kIconSize, kIconSize));
    mImage1[1]->setScaledContents(true);

    mLabel3 = NewLabel(this, "Label3", TwipsRect(1305, 180, 3465, 1215),
                       QStringLiteral("Wirelens\nVersion 1.0\nFor Windows 2000/XP\nLinux build"));
    mLabel3->setWordWrap(true);

    mLabel2 = NewLabel(this, "Label2", TwipsRect(1305, 1425, 825, 210), QStringLiteral("Web Site:"));
    FitText(mLabel2);

    const QString addressText = mAddress.toString();
    mLabelWeb = NewLabel(this, "LabelWeb", TwipsRect(1305, 1680, 2235, 210), addressText);
    QPalette linkPalette = mLabelWeb->palette();
    linkPalette.setColor(QPalette::WindowText, kLinkColour);
    mLabelWeb->setPalette(linkPalette);
    QFont linkFont = mLabelWeb->font();
    linkFont.setUnderline(true);
    mLabelWeb->setFont(linkFont);
    mLabelWeb->setCursor(Qt::PointingHandCursor);
    mLabelWeb->setToolTip(addressText);
    FitText(mLabelWeb);
    mLabelWeb->setText(mLabelWeb->fontMetrics().elidedText(addressText, Qt::ElideMiddle, mLabelWeb->width()));
    mLabelWeb->installEventFilter(this);

    mImage1[0] = NewLabel(this, "Image1", TwipsRect(60, 2115, 4770, 30), {});
    mImage1[0]->setProperty("Index", 0);
    mImage1[0]->setPixmap(EtchedLinePicture());
    mImage1[0]->setScaledContents(true);

    mCommand2->setFocus();
}

int FrmAbout::ShowModal(QWidget* parent) {
    FrmAbout box(parent);
    return box.exec();
}

QUrl FrmAbout::ProjectAddress() {
    if (!gAddressOverride.isEmpty()) return gAddressOverride;
    return QUrl::fromLocalFile(FindReadme());
}

void FrmAbout::SetProjectAddress(const QUrl& address) {
    gAddressOverride = address;
}

void FrmAbout::LabelWeb_Click() {
    if (mOpener) mOpener(mAddress);
}

void FrmAbout::Command2_Click() {
    accept();
}

bool FrmAbout::eventFilter(QObject* watched, QEvent* event) {
    // A click is a left-button release over the label, as for a button.
    if (watched == mLabelWeb && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && mLabelWeb->rect().contains(mouse->position().toPoint())) {
            LabelWeb_Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace wirelens
