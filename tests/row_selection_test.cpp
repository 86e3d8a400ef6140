// The packet views follow the user's choice of a row only: Qt moving the
// current row by itself (focus coming back, a rebuild) shows nothing.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"
#include "ui/frm_about.h"

namespace wirelens {
namespace {

class RowSelection : public ::testing::Test {
protected:
    // The list has the focus before packets come, as when the window starts.
    void SetUp() override {
        W().show();
        W().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
        W().lv->setFocus();
        for (std::uint8_t first : {0x41, 0x42, 0x43}) {
            testing::DatagramFields s;
            s.protocol = 17;
            s.src = "198.51.100.2";
            s.dst = "198.51.100.1";
            s.payload = {first};
            W().IngestDatagram(testing::BuildDatagram(s), 1700000000, 0);
        }
        h.Settle();
        ASSERT_TRUE(W().lv->hasFocus());
        ASSERT_TRUE(ViewsEmpty());
    }
    FormMain& W() { return *h.window; }
    bool ViewsEmpty() { return W().ListViewHEX->topLevelItemCount() == 0 && W().txtData->toPlainText().isEmpty(); }
    QString ShownAscii() {
        return W().ListViewHEX->topLevelItemCount() == 0 ? QString() : W().ListViewHEX->topLevelItem(0)->text(17);
    }
    bool AnyRowSelected() { return W().lv->selectionModel()->hasSelection(); }

    testing::FormMainHarness h;
};

TEST_F(RowSelection, FocusComingBackPicksNoPacket) {
    W().ListViewHEX->setFocus(Qt::TabFocusReason);
    W().lv->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    EXPECT_FALSE(AnyRowSelected());
    EXPECT_TRUE(ViewsEmpty());
}

TEST_F(RowSelection, OpeningAndClosingTheAboutBoxPicksNoPacket) {
    W().showAboutBox = [this] {
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        FrmAbout::ShowModal(&W());
    };
    W().Menu_About_Click();
    // The window manager gives the window back its activation as the box closes.
    W().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
    QCoreApplication::processEvents();
    EXPECT_TRUE(W().lv->hasFocus());
    EXPECT_FALSE(AnyRowSelected());
    EXPECT_TRUE(ViewsEmpty());
}

// A mode is chosen from a menu: focus leaves the list, the list is rebuilt, and
// focus comes back as the menu closes.
TEST_F(RowSelection, ChangingTheModePicksNoPacket) {
    for (std::int32_t mode : {kModeUdp, kModeAll}) {
        W().ListViewHEX->setFocus(Qt::PopupFocusReason);
        W().ChooseListViewMode(mode);
        W().lv->setFocus(Qt::PopupFocusReason);
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(W().Model()->rowCount(), 3);
    EXPECT_FALSE(AnyRowSelected());
    EXPECT_TRUE(ViewsEmpty());
}

TEST_F(RowSelection, KeyboardNavigationShowsEachPacket) {
    QTest::keyClick(W().lv, Qt::Key_Home);
    EXPECT_EQ(ShownAscii(), "A");
    QTest::keyClick(W().lv, Qt::Key_Down);
    EXPECT_EQ(ShownAscii(), "B");
    QTest::keyClick(W().lv, Qt::Key_Down);
    EXPECT_EQ(ShownAscii(), "C");
    QTest::keyClick(W().lv, Qt::Key_Up);
    EXPECT_EQ(ShownAscii(), "B");
    EXPECT_EQ(W().txtData->toPlainText(), "B");
}

TEST_F(RowSelection, MouseClickShowsThePacketAndARebuildEmptiesTheViews) {
    const QRect second = W().lv->visualRect(W().Model()->index(1, 0));
    QTest::mouseClick(W().lv->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(ShownAscii(), "B");
    W().ChooseListViewMode(kModeUdp);
    QCoreApplication::processEvents();
    EXPECT_TRUE(ViewsEmpty());
}

}  // namespace
}  // namespace wirelens
