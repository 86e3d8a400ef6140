#include "capture/form_ip.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QStyledItemDelegate>
#include <algorithm>

#include "capture/mdlwinsock.h"
#include "packets/display_filter.h"

namespace wirelens {

namespace {

// Design units: 15 twips to a logical pixel (1440 twips per inch at 96 dpi).
constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

constexpr QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

constexpr int kClientWidthTwips = 4005;
constexpr int kClientHeightTwips = 2505;
constexpr QRect kList1Rect = TwipsRect(60, 450, 3885, 1320);
constexpr QRect kCmdOKRect = TwipsRect(1800, 1995, 855, 360);
constexpr QRect kCmdCancelRect = TwipsRect(2790, 1995, 855, 360);
constexpr QRect kLabel1Rect = TwipsRect(90, 120, 3135, 210);
// The capture filter takes the free corner left of the buttons, its caption
// the strip between the list and the buttons; a refused filter's message
// follows the caption on that strip.
constexpr QRect kLabelFilterRect = TwipsRect(90, 1770, 1620, 225);
constexpr QRect kFilterRect = TwipsRect(60, 1995, 1665, 360);
constexpr int kFilterErrorGap = 6;
constexpr int kRecentListMinWidth = 220;
const char* const kInvalidFieldStyle = "background-color: #ffd6d6;";
const char* const kErrorTextStyle = "color: #b00000;";
const char* const kFilterToolTip =
    "Capture filter in tcpdump syntax, e.g. udp and not port 53; empty: every datagram";

// Draws a line as its address followed by the interface that holds it; the
// line's text, which OK takes, stays the address alone.
class AddressDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString name = index.data(FormIP::kInterfaceRole).toString();
        if (!name.isEmpty()) option->text += QStringLiteral("   (%1)").arg(name);
    }
};

// Focus coming to a list makes its first line current without selecting it: it
// would look chosen while OK does nothing. Here focus leaves no line current
// that is not selected; the arrow keys still select from the first line.
class AddressList : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    void focusInEvent(QFocusEvent* event) override {
        QListWidget::focusInEvent(event);
        const QModelIndex current = currentIndex();
        if (current.isValid() && !selectionModel()->isSelected(current)) selectionModel()->clearCurrentIndex();
    }
};

}  // namespace

FormIP::FormIP(const LocalAddressSet& dicAddr, QWidget* parent, const InterfaceNamer& interfaceOf,
               const CaptureFilterHistory* captureFilters)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setModal(true);
    setWindowTitle(kCaption);
    if (parent != nullptr) setWindowIcon(parent->window()->windowIcon());
    setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips));

    // Created in tab order, so the focus chain already runs List1, CmdOK, CmdCancel, Label1.
    List1 = new AddressList(this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setGeometry(kList1Rect);

    CmdOK = new QPushButton(tr("&OK"), this);
    CmdOK->setObjectName(QStringLiteral("CmdOK"));
    CmdOK->setGeometry(kCmdOKRect);
    CmdOK->setDefault(true);

    CmdCancel = new QPushButton(tr("&Cancel"), this);
    CmdCancel->setObjectName(QStringLiteral("CmdCancel"));
    CmdCancel->setGeometry(kCmdCancelRect);

    Label1 = new QLabel(kPrompt, this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(kLabel1Rect);
    // The desktop font may be wider than the design's: the prompt is never cut
    // while the dialog has room for it.
    const QSize prompt = Label1->sizeHint();
    Label1->resize(std::clamp(prompt.width(), kLabel1Rect.width(), width() - kLabel1Rect.left()),
                   std::max(prompt.height(), kLabel1Rect.height()));

    cboCaptureFilter = new QComboBox(this);
    cboCaptureFilter->setObjectName(QStringLiteral("cboCaptureFilter"));
    cboCaptureFilter->setEditable(true);
    // Enter presses OK; what is typed joins the list only when a capture uses it.
    cboCaptureFilter->setInsertPolicy(QComboBox::NoInsert);
    cboCaptureFilter->setGeometry(kFilterRect);
    cboCaptureFilter->lineEdit()->setPlaceholderText(kFilterExample);
    cboCaptureFilter->setToolTip(QString::fromLatin1(kFilterToolTip));
    cboCaptureFilter->view()->setMinimumWidth(kRecentListMinWidth);
    if (captureFilters != nullptr) {
        for (const std::string& recent : captureFilters->Recent()) cboCaptureFilter->addItem(QString::fromStdString(recent));
        cboCaptureFilter->setEditText(QString::fromStdString(captureFilters->Last()));
    } else {
        cboCaptureFilter->setEditText(QString());
    }

    LabelFilter = new QLabel(kFilterCaption, this);
    LabelFilter->setObjectName(QStringLiteral("LabelFilter"));
    LabelFilter->setBuddy(cboCaptureFilter);
    LabelFilter->setGeometry(kLabelFilterRect);
    LabelFilter->resize(LabelFilter->sizeHint().width(), kLabelFilterRect.height());

    LabelFilterError = new QLabel(this);
    LabelFilterError->setObjectName(QStringLiteral("LabelFilterError"));
    LabelFilterError->setStyleSheet(QString::fromLatin1(kErrorTextStyle));
    const int errorLeft = LabelFilter->geometry().right() + 1 + kFilterErrorGap;
    LabelFilterError->setGeometry(errorLeft, kLabelFilterRect.top(), width() - kList1Rect.left() - errorLeft,
                                  kLabelFilterRect.height());
    LabelFilterError->hide();

    setTabOrder(List1, cboCaptureFilter);
    setTabOrder(cboCaptureFilter, CmdOK);
    setTabOrder(CmdOK, CmdCancel);
    setTabOrder(CmdCancel, Label1);

    connect(CmdOK, &QPushButton::clicked, this, &FormIP::CmdOK_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &FormIP::CmdCancel_Click);
    connect(List1, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        List1->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
        CmdOK_Click();
    });
    // Esc and the close box end in QDialog::reject, which leaves LocalIP empty as Cancel does.
    connect(cboCaptureFilter, &QComboBox::editTextChanged, this, [this] {
        if (!mFilterError.isEmpty()) ShowFilterError(QString());
    });

    List1->setItemDelegate(new AddressDelegate(List1));
    const InterfaceNamer namer = interfaceOf ? interfaceOf : InterfaceNamer(InterfaceOfAddress);
    for (const std::string& key : dicAddr.Keys()) {
        auto* item = new QListWidgetItem(QString::fromStdString(key), List1);
        item->setData(kInterfaceRole, QString::fromStdString(namer(key)));
    }
    List1->clearSelection();
    List1->setCurrentRow(-1);
    mLocalIP.clear();
}

void FormIP::CmdOK_Click() {
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    if (selected.isEmpty()) return;
    const QString text = selected.front()->text();
    if (text.isEmpty()) return;
    // Compiled as the display filter is: what the helper would refuse is
    // refused here, before the capture starts.
    const std::string expression = cboCaptureFilter->currentText().trimmed().toStdString();
    const DisplayFilterResult compiled = DisplayFilter::Compile(expression);
    if (!compiled.Ok()) {
        ShowFilterError(QString::fromStdString(compiled.error));
        cboCaptureFilter->setFocus();
        return;
    }
    mCaptureFilter = expression;
    mLocalIP = text.toStdString();
    accept();
}

void FormIP::ShowFilterError(const QString& message) {
    mFilterError = message;
    const bool invalid = !message.isEmpty();
    cboCaptureFilter->lineEdit()->setStyleSheet(invalid ? QString::fromLatin1(kInvalidFieldStyle) : QString());
    cboCaptureFilter->setToolTip(invalid ? message : QString::fromLatin1(kFilterToolTip));
    // The strip is narrow: a long message is cut, and whole in the tool tips.
    const QFontMetrics metrics(LabelFilterError->font());
    LabelFilterError->setText(metrics.elidedText(message, Qt::ElideRight, LabelFilterError->width()));
    LabelFilterError->setToolTip(message);
    LabelFilterError->setVisible(invalid);
}

void FormIP::CmdCancel_Click() {
    reject();
}

LocalIpChoice FormIP::Choose(const LocalAddressSet& dicAddr, QWidget* parent,
                             CaptureFilterHistory& captureFilters) {
    LocalIpChoice choice;
    choice.outcome = LocalIpChoice::Outcome::Cancelled;
    // On the heap and watched: the owner may be destroyed while the dialog's loop runs.
    QPointer<FormIP> dialog = new FormIP(dicAddr, parent, {}, &captureFilters);
    dialog->exec();
    if (dialog.isNull()) return choice;
    if (!dialog->LocalIP().empty()) {
        choice.outcome = LocalIpChoice::Outcome::Chosen;
        choice.localIP = dialog->LocalIP();
        choice.captureFilter = dialog->CaptureFilter();
        captureFilters.Use(dialog->CaptureFilter());
    }
    delete dialog.data();
    return choice;
}

LocalIpChoice ChooseCaptureAddress(const LocalAddressSet& dicAddr, QWidget* parent) {
    return ChooseCaptureAddress(dicAddr, parent, SessionCaptureFilters());
}

LocalIpChoice ChooseCaptureAddress(const LocalAddressSet& dicAddr, QWidget* parent,
                                   CaptureFilterHistory& captureFilters) {
    LocalIpChoice choice = SettleLocalIP(dicAddr);
    if (choice.outcome != LocalIpChoice::Outcome::AskUser) return choice;
    return FormIP::Choose(dicAddr, parent, captureFilters);
}

}  // namespace wirelens
