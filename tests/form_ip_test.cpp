// FormIP and the capture address choice, driven offscreen: the modal dialog is
// operated from a zero-delay timer that fires inside its own event loop.
#include "capture/form_ip.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "packets/display_filter.h"

namespace wirelens {
namespace {

LocalAddressSet Addresses(const std::vector<std::string>& interfaceList) {
    LocalAddressSet dicAddr;
    FillLocalAddresses(interfaceList, dicAddr);
    return dicAddr;
}

const std::vector<std::string> kTwoInterfaces = {
    "198.51.100.7;255.255.255.0", "127.0.0.1;255.0.0.0", "203.0.113.2;255.255.255.128"};

std::vector<std::string> Lines(const QListWidget* list) {
    std::vector<std::string> lines;
    for (int row = 0; row < list->count(); ++row) lines.push_back(list->item(row)->text().toStdString());
    return lines;
}

void ClickLine(QListWidget* list, int row) {
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

void MakeCurrentWithoutSelecting(QListWidget* list, int row) {
    list->selectionModel()->setCurrentIndex(list->model()->index(row, 0),
                                            QItemSelectionModel::NoUpdate);
    ASSERT_EQ(list->currentRow(), row);
    ASSERT_TRUE(list->selectedItems().isEmpty());
}

class FormIPTest : public ::testing::Test {
protected:
    QWidget owner;
    int dialogsSeen = 0;

    // Runs `act` on the dialog once its modal loop is running. If no dialog
    // opens, `act` never runs and dialogsSeen stays 0.
    void WhenDialogOpens(std::function<void(FormIP*)> act) {
        QTimer::singleShot(0, &owner, [this, act] {
            auto* dialog = owner.findChild<FormIP*>();
            if (dialog == nullptr || !dialog->isVisible()) return;
            ++dialogsSeen;
            EXPECT_EQ(QApplication::activeModalWidget(), dialog);
            act(dialog);
        });
    }

    void TearDown() override {
        // Lets a timer armed for a dialog that never opened expire harmlessly.
        QCoreApplication::processEvents();
        EXPECT_EQ(owner.findChild<FormIP*>(), nullptr) << "the dialog outlived its use";
    }
};

TEST_F(FormIPTest, LayoutCaptionTextsAndSizesFollowTheDesign) {
    owner.setWindowIcon(QIcon(QPixmap(16, 16)));
    FormIP dialog(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialog.windowTitle(), "Wirelens");
    EXPECT_EQ(dialog.windowIcon().cacheKey(), owner.windowIcon().cacheKey());
    EXPECT_EQ(dialog.font(), QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    EXPECT_TRUE(dialog.isModal());
    EXPECT_EQ(dialog.parentWidget(), &owner);
    // 4005 x 2505 twips at 15 twips to a pixel.
    EXPECT_EQ(dialog.size(), QSize(267, 167));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());

    EXPECT_EQ(dialog.List1->geometry(), QRect(4, 30, 259, 88));
    EXPECT_EQ(dialog.CmdOK->geometry(), QRect(120, 133, 57, 24));
    EXPECT_EQ(dialog.CmdCancel->geometry(), QRect(186, 133, 57, 24));
    // At its design place, and at least its design size: wider where the font needs it.
    EXPECT_EQ(dialog.Label1->pos(), QPoint(6, 8));
    EXPECT_GE(dialog.Label1->width(), 209);
    EXPECT_GE(dialog.Label1->height(), 14);

    EXPECT_EQ(dialog.CmdOK->text(), "&OK");
    EXPECT_EQ(dialog.CmdCancel->text(), "&Cancel");
    EXPECT_EQ(dialog.Label1->text(), "Please choose the IP address to start:");
    EXPECT_TRUE(dialog.CmdOK->isDefault());
    EXPECT_FALSE(dialog.CmdCancel->isDefault());
    EXPECT_EQ(dialog.List1->selectionMode(), QAbstractItemView::SingleSelection);

    EXPECT_EQ(dialog.findChild<QListWidget*>("List1"), dialog.List1);
    EXPECT_EQ(dialog.findChild<QPushButton*>("CmdOK"), dialog.CmdOK);
    EXPECT_EQ(dialog.findChild<QPushButton*>("CmdCancel"), dialog.CmdCancel);
    EXPECT_EQ(dialog.findChild<QLabel*>("Label1"), dialog.Label1);
}

TEST_F(FormIPTest, TabOrderRunsListOkCancelLabel) {
    FormIP dialog(Addresses(kTwoInterfaces), &owner);
    // The chain also holds the list's own parts (viewport, scroll bars); only
    // the dialog's controls count.
    const std::vector<QWidget*> controls = {dialog.List1, dialog.CmdOK, dialog.CmdCancel,
                                            dialog.Label1};
    std::vector<QWidget*> order;
    for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain()) {
        if (std::find(controls.begin(), controls.end(), w) != controls.end()) order.push_back(w);
    }
    EXPECT_EQ(order, controls);
    EXPECT_EQ(dialog.Label1->focusPolicy(), Qt::NoFocus);
}

TEST_F(FormIPTest, SingleAddressIsChosenWithoutDialog) {
    WhenDialogOpens([](FormIP* dialog) { dialog->reject(); });
    const LocalIpChoice choice =
        ChooseCaptureAddress(Addresses({"127.0.0.1;255.0.0.0", "198.51.100.7;255.255.255.0"}), &owner);
    EXPECT_EQ(dialogsSeen, 0);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
    EXPECT_EQ(choice.localIP, "198.51.100.7");
}

TEST_F(FormIPTest, OnlyLoopbackGivesNoAddressErrorWithoutDialog) {
    WhenDialogOpens([](FormIP* dialog) { dialog->reject(); });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses({"127.0.0.1;255.0.0.0"}), &owner);
    EXPECT_EQ(dialogsSeen, 0);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::NoAddress);
    EXPECT_FALSE(choice.error.empty());
    EXPECT_TRUE(choice.localIP.empty());
}

TEST_F(FormIPTest, TwoAddressesOkWithSecondSelectedChoosesIt) {
    std::vector<std::string> offered;
    WhenDialogOpens([&offered](FormIP* dialog) {
        offered = Lines(dialog->List1);
        EXPECT_TRUE(dialog->List1->selectedItems().isEmpty());
        ClickLine(dialog->List1, 1);
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(offered, (std::vector<std::string>{"198.51.100.7", "203.0.113.2"}));
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
    EXPECT_EQ(choice.localIP, "203.0.113.2");
}

TEST_F(FormIPTest, OkWithNothingSelectedStaysOpenThenCancelChoosesNothing) {
    WhenDialogOpens([](FormIP* dialog) {
        // Focus on the list makes a line current without selecting it; that is no choice.
        MakeCurrentWithoutSelecting(dialog->List1, 1);
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(dialog->LocalIP().empty());
        QTest::mouseClick(dialog->CmdCancel, Qt::LeftButton);
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Cancelled);
    EXPECT_TRUE(choice.localIP.empty());
}

// Each way of leaving without OK; a line is selected first so that a leak of
// the selection into LocalIP would show.
struct LeaveCase {
    const char* name;
    std::function<void(FormIP*)> leave;
};

class FormIPLeaveTest : public FormIPTest, public ::testing::WithParamInterface<LeaveCase> {};

TEST_P(FormIPLeaveTest, LeavesLocalIPEmpty) {
    WhenDialogOpens([](FormIP* dialog) {
        ClickLine(dialog->List1, 0);
        GetParam().leave(dialog);
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Cancelled);
    EXPECT_TRUE(choice.localIP.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FormIPLeaveTest,
    ::testing::Values(
        LeaveCase{"CancelButton",
                  [](FormIP* dialog) { QTest::mouseClick(dialog->CmdCancel, Qt::LeftButton); }},
        LeaveCase{"CloseBox", [](FormIP* dialog) { dialog->close(); }},
        LeaveCase{"EscapeKey",
                  [](FormIP* dialog) { QTest::keyClick(dialog->List1, Qt::Key_Escape); }}),
    [](const ::testing::TestParamInfo<LeaveCase>& info) { return info.param.name; });

TEST_F(FormIPTest, EnterPressesOkAsDefaultButton) {
    WhenDialogOpens([](FormIP* dialog) {
        ClickLine(dialog->List1, 1);
        QTest::keyClick(dialog->List1, Qt::Key_Return);
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.localIP, "203.0.113.2");
}

TEST_F(FormIPTest, PromptIsShownWholeAtTheDesignSize) {
    FormIP dialog(Addresses(kTwoInterfaces), &owner);
    dialog.show();
    const QFontMetrics metrics(dialog.Label1->font());
    EXPECT_GE(dialog.Label1->width(), metrics.horizontalAdvance(dialog.Label1->text()));
    EXPECT_GE(dialog.Label1->height(), metrics.height());
    EXPECT_LE(dialog.Label1->geometry().right(), dialog.width()) << "inside the dialog";
    EXPECT_EQ(dialog.Label1->pos(), QPoint(6, 8));
}

// The list has the focus as the dialog opens: no line may look chosen unless it is.
TEST_F(FormIPTest, NoLineLooksCurrentUntilOneIsSelectedAndTheArrowKeySelectsTheFirst) {
    WhenDialogOpens([](FormIP* dialog) {
        QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
        QApplication::sendEvent(dialog->List1, &focusIn);
        EXPECT_EQ(dialog->List1->currentItem(), nullptr);
        EXPECT_TRUE(dialog->List1->selectedItems().isEmpty());
        QTest::keyClick(dialog->List1, Qt::Key_Down);
        ASSERT_NE(dialog->List1->currentItem(), nullptr);
        EXPECT_TRUE(dialog->List1->currentItem()->isSelected());
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.localIP, "198.51.100.7");
}

TEST_F(FormIPTest, DoubleClickOnALineChoosesIt) {
    WhenDialogOpens([](FormIP* dialog) {
        // As the mouse sends it: a click, then the second press as a double-click.
        const QRect rect = dialog->List1->visualItemRect(dialog->List1->item(1));
        QTest::mouseClick(dialog->List1->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        QTest::mouseDClick(dialog->List1->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        if (dialog->isVisible()) dialog->reject();  // not chosen: fail, do not hang
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
    EXPECT_EQ(choice.localIP, "203.0.113.2");
}

TEST_F(FormIPTest, EachLineShowsItsInterfaceBesideTheAddressWhoseTextStaysTheAddress) {
    const auto namer = [](const std::string& address) {
        return address == "198.51.100.7" ? std::string("eth0") : std::string("wlan-guest");
    };
    FormIP dialog(Addresses(kTwoInterfaces), &owner, namer);
    dialog.show();
    EXPECT_EQ(Lines(dialog.List1), (std::vector<std::string>{"198.51.100.7", "203.0.113.2"}));
    const QFontMetrics metrics(dialog.List1->font());
    for (int row = 0; row < 2; ++row) {
        const QListWidgetItem* item = dialog.List1->item(row);
        const QString name = item->data(FormIP::kInterfaceRole).toString();
        EXPECT_EQ(name, row == 0 ? "eth0" : "wlan-guest");
        // What is drawn holds the name as well as the address.
        QStyleOptionViewItem option;
        option.initFrom(dialog.List1);
        const QModelIndex index = dialog.List1->model()->index(row, 0);
        const int drawn = dialog.List1->itemDelegate()->sizeHint(option, index).width();
        EXPECT_GE(drawn, metrics.horizontalAdvance(item->text() + name)) << row;
    }
}

// --- the capture filter field -------------------------------------------------

std::vector<std::string> Offered(const QComboBox* box) {
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
    return items;
}

void TypeFilter(FormIP* dialog, const QString& expression) {
    dialog->cboCaptureFilter->setFocus();
    dialog->cboCaptureFilter->lineEdit()->selectAll();
    if (expression.isEmpty()) {
        QTest::keyClick(dialog->cboCaptureFilter->lineEdit(), Qt::Key_Delete);
    } else {
        QTest::keyClicks(dialog->cboCaptureFilter->lineEdit(), expression);
    }
}

TEST_F(FormIPTest, FilterFieldFitsBesideTheDesignControlsAndStartsEmpty) {
    FormIP dialog(Addresses(kTwoInterfaces), &owner);
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(267, 167)) << "the field does not grow the dialog";
    const QRect field = dialog.cboCaptureFilter->geometry();
    const QRect caption = dialog.LabelFilter->geometry();
    EXPECT_TRUE(dialog.rect().contains(field));
    EXPECT_TRUE(dialog.rect().contains(caption));
    EXPECT_TRUE(dialog.rect().contains(dialog.LabelFilterError->geometry()));
    for (const QWidget* control : {static_cast<QWidget*>(dialog.List1), static_cast<QWidget*>(dialog.CmdOK),
                                   static_cast<QWidget*>(dialog.CmdCancel), static_cast<QWidget*>(dialog.Label1)}) {
        EXPECT_FALSE(field.intersects(control->geometry())) << control->objectName().toStdString();
        EXPECT_FALSE(caption.intersects(control->geometry())) << control->objectName().toStdString();
        EXPECT_FALSE(dialog.LabelFilterError->geometry().intersects(control->geometry()))
            << control->objectName().toStdString();
    }
    const QFontMetrics metrics(dialog.LabelFilter->font());
    EXPECT_GE(caption.width(), metrics.horizontalAdvance(QStringLiteral("Capture filter:")));
    EXPECT_EQ(dialog.LabelFilter->text(), "Capture &filter:");
    EXPECT_EQ(dialog.LabelFilter->buddy(), dialog.cboCaptureFilter);
    EXPECT_TRUE(dialog.cboCaptureFilter->isEditable());
    const QLineEdit* edit = dialog.cboCaptureFilter->lineEdit();
    EXPECT_TRUE(edit->placeholderText().startsWith("e.g. "));
    EXPECT_LE(QFontMetrics(edit->font()).horizontalAdvance(edit->placeholderText()), edit->width())
        << "the example is not cut";
    EXPECT_EQ(dialog.cboCaptureFilter->currentText(), "");
    EXPECT_EQ(dialog.cboCaptureFilter->count(), 0);
    EXPECT_FALSE(dialog.LabelFilterError->isVisible());
    EXPECT_EQ(dialog.findChild<QComboBox*>("cboCaptureFilter"), dialog.cboCaptureFilter);
    // Tab goes from the list to the field, then on to the buttons.
    const std::vector<QWidget*> controls = {dialog.List1, dialog.cboCaptureFilter, dialog.CmdOK, dialog.CmdCancel};
    std::vector<QWidget*> order;
    for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain()) {
        if (std::find(controls.begin(), controls.end(), w) != controls.end()) order.push_back(w);
    }
    EXPECT_EQ(order, controls);
}

TEST_F(FormIPTest, RecentFiltersAreOfferedAndTheLastOneIsPreset) {
    CaptureFilterHistory history;
    history.Use("udp");
    history.Use("tcp port 80");
    FormIP dialog(Addresses(kTwoInterfaces), &owner, {}, &history);
    EXPECT_EQ(Offered(dialog.cboCaptureFilter), (std::vector<std::string>{"tcp port 80", "udp"}));
    EXPECT_EQ(dialog.cboCaptureFilter->currentText(), "tcp port 80");

    history.Use("");  // the last capture ran without a filter
    FormIP afterNone(Addresses(kTwoInterfaces), &owner, {}, &history);
    EXPECT_EQ(Offered(afterNone.cboCaptureFilter), (std::vector<std::string>{"tcp port 80", "udp"}));
    EXPECT_EQ(afterNone.cboCaptureFilter->currentText(), "");
}

// OK with a line selected and the field holding `typed`.
struct FilterCase {
    const char* name;
    QString typed;
    bool valid;
    std::string expectedFilter;  // when valid
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

class FormIPFilterTest : public FormIPTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FormIPFilterTest, OkAcceptsAValidFilterAndRefusesAnInvalidOneWithLibpcapsMessage) {
    const FilterCase& c = GetParam();
    CaptureFilterHistory history;
    history.Use("icmp");
    bool stayedOpen = false;
    QString shownError, expectedError;
    WhenDialogOpens([&](FormIP* dialog) {
        ClickLine(dialog->List1, 1);
        TypeFilter(dialog, c.typed);
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
        stayedOpen = dialog->isVisible();
        if (!stayedOpen) return;
        shownError = dialog->FilterError();
        expectedError = QString::fromStdString(DisplayFilter::Compile(c.typed.toStdString()).error);
        EXPECT_TRUE(dialog->LabelFilterError->isVisible());
        EXPECT_TRUE(dialog->LabelFilterError->text().startsWith(shownError.left(10)));
        EXPECT_FALSE(dialog->cboCaptureFilter->lineEdit()->styleSheet().isEmpty()) << "the field is marked";
        EXPECT_EQ(dialog->cboCaptureFilter->toolTip(), shownError);
        EXPECT_TRUE(dialog->LocalIP().empty());
        dialog->reject();
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner, history);
    ASSERT_EQ(dialogsSeen, 1);
    if (c.valid) {
        EXPECT_FALSE(stayedOpen);
        EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
        EXPECT_EQ(choice.localIP, "203.0.113.2");
        ASSERT_TRUE(choice.captureFilter.has_value());
        EXPECT_EQ(*choice.captureFilter, c.expectedFilter);
        EXPECT_EQ(history.Last(), c.expectedFilter);
    } else {
        EXPECT_TRUE(stayedOpen);
        EXPECT_FALSE(shownError.isEmpty());
        EXPECT_EQ(shownError, expectedError);
        EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Cancelled);
        EXPECT_FALSE(choice.captureFilter.has_value());
        EXPECT_EQ(history.Recent(), (std::vector<std::string>{"icmp"})) << "a refused filter is not remembered";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FormIPFilterTest,
    ::testing::Values(FilterCase{"Valid", QStringLiteral("udp and not port 53"), true, "udp and not port 53"},
                      FilterCase{"ValidWithBlanksAroundIsTrimmed", QStringLiteral("  udp port 9 "), true, "udp port 9"},
                      FilterCase{"EmptyMeansNone", QString(), true, ""},
                      FilterCase{"SyntaxError", QStringLiteral("udp and and"), false, ""},
                      FilterCase{"PortOutOfRange", QStringLiteral("port 70000"), false, ""},
                      FilterCase{"UnknownWord", QStringLiteral("udpp"), false, ""}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST_F(FormIPTest, EditingARefusedFilterClearsTheMarkAndACorrectedOneIsAccepted) {
    CaptureFilterHistory history;
    WhenDialogOpens([](FormIP* dialog) {
        ClickLine(dialog->List1, 0);
        TypeFilter(dialog, QStringLiteral("udp port"));
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
        if (!dialog->isVisible()) return ADD_FAILURE() << "an incomplete filter was accepted";
        EXPECT_FALSE(dialog->FilterError().isEmpty());
        QTest::keyClicks(dialog->cboCaptureFilter->lineEdit(), QStringLiteral(" 9"));
        EXPECT_TRUE(dialog->FilterError().isEmpty());
        EXPECT_FALSE(dialog->LabelFilterError->isVisible());
        EXPECT_TRUE(dialog->cboCaptureFilter->lineEdit()->styleSheet().isEmpty());
        // Enter in the field presses OK, as anywhere else in the dialog.
        QTest::keyClick(dialog->cboCaptureFilter->lineEdit(), Qt::Key_Return);
        if (dialog->isVisible()) dialog->reject();  // Enter did not press OK: fail, do not hang
    });
    const LocalIpChoice choice = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner, history);
    EXPECT_EQ(dialogsSeen, 1);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
    EXPECT_EQ(choice.localIP, "198.51.100.7");
    EXPECT_EQ(choice.captureFilter, std::optional<std::string>("udp port 9"));
    EXPECT_EQ(history.Recent(), (std::vector<std::string>{"udp port 9"}));
}

TEST_F(FormIPTest, ARecentFilterPickedFromTheDropDownIsChosenAndCancelLeavesTheHistory) {
    CaptureFilterHistory history;
    history.Use("udp");
    history.Use("tcp");
    WhenDialogOpens([](FormIP* dialog) {
        ClickLine(dialog->List1, 1);
        dialog->cboCaptureFilter->setCurrentIndex(1);
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
    });
    const LocalIpChoice picked = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner, history);
    EXPECT_EQ(picked.captureFilter, std::optional<std::string>("udp"));
    EXPECT_EQ(history.Recent(), (std::vector<std::string>{"udp", "tcp"}));

    WhenDialogOpens([](FormIP* dialog) {
        ClickLine(dialog->List1, 1);
        TypeFilter(dialog, QStringLiteral("icmp"));
        QTest::mouseClick(dialog->CmdCancel, Qt::LeftButton);
    });
    const LocalIpChoice cancelled = ChooseCaptureAddress(Addresses(kTwoInterfaces), &owner, history);
    EXPECT_EQ(dialogsSeen, 2);
    EXPECT_EQ(cancelled.outcome, LocalIpChoice::Outcome::Cancelled);
    EXPECT_FALSE(cancelled.captureFilter.has_value());
    EXPECT_EQ(history.Recent(), (std::vector<std::string>{"udp", "tcp"}));
    EXPECT_EQ(history.Last(), "udp");
}

TEST_F(FormIPTest, WithOneAddressNobodyIsAskedAndTheFilterIsLeftAlone) {
    CaptureFilterHistory history;
    history.Use("udp");
    const LocalIpChoice choice =
        ChooseCaptureAddress(Addresses({"198.51.100.7;255.255.255.0"}), &owner, history);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::Chosen);
    EXPECT_FALSE(choice.captureFilter.has_value());
}

}  // namespace
}  // namespace wirelens
