// The main window without a capture: its initial state, layout arithmetic,
// single instance, the detail views through row clicks, and command routing.
#include <QAction>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/capture_stream.h"
#include "capture/mdlwinsock.h"
#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"
#include "ui/form_main_parts.h"
#include "views/packet_views_qt.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;
using testing::FormMainHarness;

class MainWindow : public ::testing::Test {
protected:
    FormMain& W() { return *h.window; }
    void Ingest(std::uint8_t protocol, std::vector<std::uint8_t> payload, const char* src = "198.51.100.2",
                const char* dst = "198.51.100.1") {
        DatagramFields s;
        s.protocol = protocol;
        s.src = src;
        s.dst = dst;
        s.payload = std::move(payload);
        W().IngestDatagram(BuildDatagram(s), 1700000000, 0);
        h.Settle();
    }
    void Click(int row) {
        W().lv->selectionModel()->setCurrentIndex(W().Model()->index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        W().lv_ItemClick(row);
    }
    QStringList HexRow(int row) {
        QStringList cells;
        auto* item = W().ListViewHEX->topLevelItem(row);
        for (int c = 0; c < 18; ++c) cells << item->text(c);
        return cells;
    }
    FormMainHarness h;
};

TEST_F(MainWindow, StartsIdleWithTheInitialTextsAndMarks) {
    ASSERT_TRUE(h.loaded);
    EXPECT_EQ(W().windowTitle(), "Wirelens");
    EXPECT_EQ(W().PanelText(1), "Ready to start");
    EXPECT_EQ(W().PanelText(2), "0 packet");
    EXPECT_EQ(W().PanelText(3), "List view -> All");
    EXPECT_EQ(W().PanelText(4), "Packet view -> Hex");
    EXPECT_EQ(W().PanelText(5), "");
    EXPECT_TRUE(W().Menu_Start->isEnabled());
    EXPECT_FALSE(W().Menu_Stop->isEnabled());
    EXPECT_TRUE(W().Menu_All->isChecked());
    EXPECT_FALSE(W().Menu_Received->isChecked());
    EXPECT_TRUE(W().Menu_Hex->isChecked());
    EXPECT_FALSE(W().Menu_Text->isChecked());
    EXPECT_EQ(W().ButtonMenu(5, 1)->text(), "All <-");
    EXPECT_EQ(W().ButtonMenu(5, 2)->text(), "Received");
    EXPECT_EQ(W().ButtonMenu(6, 1)->text(), "Text");
    EXPECT_EQ(W().ButtonMenu(6, 2)->text(), "Hex|Ascii <-");
    EXPECT_EQ(W().ButtonMenu(6, 2)->data().toString(), "Hex|Ascii");
    EXPECT_FALSE(W().txtData->isVisibleTo(&W()));
    EXPECT_TRUE(W().ListViewHEX->isVisibleTo(&W()));
    EXPECT_TRUE(W().AppFolder.endsWith('/'));
}

TEST(MainWindowStart, CancelledAddressChoiceReturnsToIdleWithClearDisabled) {
    int asked = 0;
    FormMainHarness h({"198.51.100.1;255.255.255.0", "203.0.113.1;255.255.255.0"}, true,
                      [&](FormMain::Environment& env) {
                          env.chooseAddress = [&](const LocalAddressSet& dicAddr, QWidget*) {
                              ++asked;
                              EXPECT_EQ(dicAddr.Count(), 2u);
                              return LocalIpChoice{LocalIpChoice::Outcome::Cancelled, {}, {}, {}};
                          };
                      });
    h.window->StartCapture();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(h.window->IsCapturing());
    EXPECT_EQ(h.window->PanelText(1), "Ready to start");
    EXPECT_TRUE(h.window->Menu_Start->isEnabled());
    EXPECT_FALSE(h.window->Menu_Stop->isEnabled());
    EXPECT_TRUE(h.window->Button(1)->isEnabled());
    EXPECT_FALSE(h.window->Button(2)->isEnabled());
    EXPECT_FALSE(h.window->Button(3)->isEnabled());
    EXPECT_TRUE(h.messages.empty());
}

TEST(MainWindowStart, NoUsableAddressIsToldAndTheWindowStaysIdle) {
    FormMainHarness h({"127.0.0.1;255.0.0.0"});
    h.window->StartCapture();
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_TRUE(h.messages[0].text.contains(QStringLiteral("127.0.0.1")));
    EXPECT_FALSE(h.window->IsCapturing());
    EXPECT_EQ(h.window->PanelText(1), "Ready to start");
    EXPECT_TRUE(h.window->Menu_Start->isEnabled());
    EXPECT_FALSE(h.window->Button(2)->isEnabled());
    EXPECT_TRUE(h.window->Button(3)->isEnabled());
}

// A stand-in helper that opens, hands over one datagram and reports kernel
// drops, then waits to be ended: the whole road from the stream to a row,
// without capture privileges.
TEST(MainWindowStart, StreamedDatagramBecomesARowAndKernelDropsAreShown) {
    QTemporaryDir folder;
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    DatagramFields fields;
    fields.protocol = 17;
    fields.src = "198.51.100.2";
    fields.dst = "198.51.100.1";
    fields.payload = {'h', 'i'};
    const auto datagram = BuildDatagram(fields);
    AppendFrame(stream, FrameType::Datagram, 1700000000, 0, static_cast<std::uint32_t>(datagram.size()), datagram);
    AppendStatsFrame(stream, 1700000001, 0, StatsPayload{10, 3, 0});
    ASSERT_TRUE(testing::UseStandInHelper(folder, stream));

    FormMainHarness h({"198.51.100.1;255.255.255.0"});
    h.window->StartCapture();
    ASSERT_TRUE(h.window->IsCapturing());
    EXPECT_FALSE(h.window->DropCountLabel()->isVisibleTo(h.window.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.window->KernelDrops() == 3; }, 5000));
    h.Settle();
    EXPECT_TRUE(h.window->DropCountLabel()->isVisibleTo(h.window.get()));
    EXPECT_TRUE(h.window->DropCountLabel()->text().contains(QStringLiteral("3")));
    ASSERT_EQ(h.window->Model()->rowCount(), 1);
    EXPECT_EQ(h.window->Model()->index(0, PacketListModel::kColSize).data().toString(), "2");
    EXPECT_EQ(h.window->PanelText(2), "1 packet");

    h.window->StopCapture();
    SetCaptureHelperPath("");
    EXPECT_EQ(h.window->PanelText(1), "Stopped");
    EXPECT_EQ(h.window->Model()->rowCount(), 1);
    EXPECT_TRUE(h.messages.empty());
}

// A user outside the helper's group is told so, with the command that lets them capture.
TEST_F(MainWindow, StartWithAHelperOfAnotherGroupShowsTheUsermodCommand) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file another group";
    const group* other = getgrnam("nogroup");
    if (other == nullptr) GTEST_SKIP() << "no group nogroup on this system";
    QTemporaryDir folder;
    QFile helper(folder.filePath(QStringLiteral("wirelens-capture")));
    ASSERT_TRUE(helper.open(QIODevice::WriteOnly));
    helper.write("#!/bin/sh\nexit 0\n");
    helper.close();
    const QByteArray path = QFile::encodeName(helper.fileName());
    ASSERT_EQ(chown(path.constData(), 0, other->gr_gid), 0);
    ASSERT_EQ(chmod(path.constData(), 0640), 0);  // no execute bit: even root is refused
    SetCaptureHelperPath(path.toStdString());

    FormMainHarness h({"198.51.100.1;255.255.255.0"});
    h.window->StartCapture();
    SetCaptureHelperPath("");
    EXPECT_FALSE(h.window->IsCapturing());
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(h.messages[0].text.contains(QStringLiteral("not in the group \"nogroup\"")))
        << h.messages[0].text.toStdString();
    EXPECT_TRUE(h.messages[0].text.contains(QStringLiteral("sudo usermod -aG nogroup root")))
        << h.messages[0].text.toStdString();
}

TEST_F(MainWindow, ToolbarButtonsHaveTheirTipsImagesAndStates) {
    const char* tips[] = {"", "Start", "Stop", "Clear", nullptr, "Change list view", "Change packet view", nullptr,
                          "Save", nullptr, "About"};
    for (int i = 1; i <= 10; ++i) {
        SCOPED_TRACE(i);
        QAction* b = W().Button(i);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->isSeparator(), tips[i] == nullptr);
        if (tips[i] != nullptr) {
            EXPECT_EQ(b->toolTip(), tips[i]);
            EXPECT_FALSE(b->icon().isNull());
        }
    }
    EXPECT_FALSE(W().Button(2)->isEnabled());
    EXPECT_TRUE(W().Button(1)->isEnabled());
    for (int i = 1; i <= 9; ++i) EXPECT_FALSE(W().Image(i).isNull()) << i;
}

TEST_F(MainWindow, MenusHaveTheirItemsInOrder) {
    QStringList top;
    for (QAction* a : W().menuBar()->actions()) top << a->text();
    // The View menu follows the Part's menus; their names and order stay.
    EXPECT_EQ(top, (QStringList{"File", "List View", "Packet View", "View", "Help"}));
    QStringList file;
    for (QAction* a : W().Menu_File->actions()) file << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(file, (QStringList{"Start Capture", "Stop Capture", "Clear", "Save selected packet data", "-", "Open...",
                                 "Save Packets As...", "Export Rows as CSV...", "-", "Exit"}));
    QStringList list;
    for (QAction* a : W().Menu_ListView->actions()) list << a->text();
    EXPECT_EQ(list, (QStringList{"All", "Received", "Sent", "TCP", "UDP", "ICMP"}));
}

TEST_F(MainWindow, ListAndHexViewHaveTheirColumns) {
    auto* model = W().Model();
    QStringList headers;
    for (int c = 0; c < model->columnCount(); ++c) headers << model->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"Protocol", "Source IP", "Source Port", "Destination IP", "Destination Port",
                                    "Length (Bytes)", "Start Time", "Info"}));
    EXPECT_EQ(W().lv->columnWidth(0), Px(1300));
    EXPECT_EQ(W().ListViewHEX->columnCount(), 18);
    EXPECT_EQ(W().ListViewHEX->headerItem()->text(0), "00");
    EXPECT_EQ(W().ListViewHEX->headerItem()->text(10), "0A");
    EXPECT_EQ(W().ListViewHEX->headerItem()->text(15), "0F");
    EXPECT_EQ(W().ListViewHEX->headerItem()->text(16), "");
    EXPECT_EQ(W().ListViewHEX->headerItem()->text(17), "ASC");
}

TEST_F(MainWindow, ResizeKeepsDetailAreaBelowListAndSplitterOnItsEdge) {
    W().show();
    for (QSize size : {QSize(700, 500), QSize(900, 700), QSize(640, 480)}) {
        W().resize(size);
        QCoreApplication::processEvents();
        const TwipsRect lv = W().Geometry(W().lv);
        const TwipsRect hex = W().Geometry(W().ListViewHEX);
        const TwipsRect txt = W().Geometry(W().txtData);
        const TwipsRect split = W().Geometry(W().PicSplit);
        EXPECT_EQ(lv.left, 0);
        EXPECT_EQ(lv.width, W().ClientWidthTwips());
        EXPECT_EQ(txt.top, lv.top + lv.height + 50);
        EXPECT_EQ(hex.top, txt.top);
        EXPECT_EQ(txt.height, W().ClientHeightTwips() - 315 - txt.top);
        EXPECT_EQ(hex.width, lv.width);
        EXPECT_EQ(split.top, lv.top + lv.height - 10);
        EXPECT_EQ(split.left, 10);
        EXPECT_EQ(split.width, lv.width - 30);
    }
}

TEST_F(MainWindow, StatusPanelsKeepDesignWidthsWithRoomAndNeverOverlapWithout) {
    W().show();
    W().SetPanelText(1, "Sniffing...");
    W().SetPanelText(5, "Local IP: 198.51.100.1");
    const int designWidths[] = {1840, 1840, 2240, 2240};
    W().resize(1000, 500);
    QCoreApplication::processEvents();
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(W().stB->findChild<QLabel*>(QStringLiteral("stB_panel%1").arg(i))->width(), Px(designWidths[i - 1]))
            << "panel " << i;
    }
    // The design size is narrower than the five design widths together.
    W().resize(Px(9390), 440);
    QCoreApplication::processEvents();
    int previousRight = 0;
    for (int i = 1; i <= 5; ++i) {
        auto* panel = W().stB->findChild<QLabel*>(QStringLiteral("stB_panel%1").arg(i));
        EXPECT_GE(panel->x(), previousRight) << "panel " << i << " overlaps the one before";
        EXPECT_GE(panel->width(), panel->fontMetrics().horizontalAdvance(panel->text())) << "panel " << i;
        previousRight = panel->x() + panel->width();
    }
    EXPECT_LE(previousRight, W().stB->width());
}

TEST_F(MainWindow, WindowTooSmallLeavesTheLayoutPartlyApplied) {
    W().show();
    W().resize(700, 500);
    QCoreApplication::processEvents();
    const TwipsRect splitBefore = W().Geometry(W().PicSplit);
    W().setMinimumSize(0, 0);
    W().resize(500, 150);
    QCoreApplication::processEvents();
    // Widths follow; the negative detail height stops the rest.
    EXPECT_EQ(W().Geometry(W().lv).width, W().ClientWidthTwips());
    EXPECT_EQ(W().Geometry(W().PicSplit).width, splitBefore.width);
}

TEST_F(MainWindow, SplitterDragMovesAndRefusesNearTheEdges) {
    W().show();
    W().resize(700, 600);
    QCoreApplication::processEvents();
    const int lvHeight = W().Geometry(W().lv).height;
    W().PicSplit_MouseMove(Qt::NoButton, 0, 300);
    W().PicSplit_MouseMove(Qt::RightButton, 0, 300);
    EXPECT_EQ(W().Geometry(W().lv).height, lvHeight);
    W().PicSplit_MouseMove(Qt::LeftButton, 0, 300);
    EXPECT_EQ(W().Geometry(W().lv).height, lvHeight + 300);
    EXPECT_EQ(W().Geometry(W().PicSplit).top, W().Geometry(W().lv).top + lvHeight + 300 - 10);
    // Above 3000 from the top: refused.
    const int splitTop = W().Geometry(W().PicSplit).top;
    W().PicSplit_MouseMove(Qt::LeftButton, 0, 2999 - splitTop);
    EXPECT_EQ(W().Geometry(W().PicSplit).top, splitTop);
    // Closer than 1500 to the window's bottom edge: refused.
    const int outer = Twips(W().frameGeometry().height());
    W().PicSplit_MouseMove(Qt::LeftButton, 0, outer - splitTop - 1499);
    EXPECT_EQ(W().Geometry(W().PicSplit).top, splitTop);
    W().PicSplit_MouseMove(Qt::LeftButton, 0, outer - splitTop - 1500);
    EXPECT_EQ(W().Geometry(W().PicSplit).top, outer - 1500);
}

TEST_F(MainWindow, SecondInstanceEndsAtOnceAndAStaleLockDoesNotBlock) {
    FormMain::Environment env = FormMain::Environment::Default();
    env.showMessage = [](const QString&, QMessageBox::Icon) { ADD_FAILURE() << "no message expected"; };
    env.listLocalAddresses = [](std::vector<std::string>&) { return 0; };
    env.lockFilePath = h.lockDir.path() + QStringLiteral("/wirelens.lock");
    {
        FormMain second(env);
        EXPECT_FALSE(second.Form_Load());
    }
    h.window.reset();  // the first instance ends; its lock goes with it
    // A lock left by a process that no longer exists.
    QFile stale(env.lockFilePath);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("999999\nwirelens\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();
    FormMain third(env);
    EXPECT_TRUE(third.Form_Load());
}

// The worked example: bytes 41 0D 0A 42 as the data of a UDP datagram.
TEST_F(MainWindow, ClickShowsTheDataInBothViews) {
    Ingest(17, {0x41, 0x0D, 0x0A, 0x42});
    Click(0);
    ASSERT_EQ(W().ListViewHEX->topLevelItemCount(), 1);
    EXPECT_EQ(HexRow(0), (QStringList{"41", "0D", "0A", "42", "", "", "", "", "", "", "", "", "", "", "", "", "|",
                                      "A..B"}));
    EXPECT_EQ(TextViewContent(W().txtData), "A\r\r\nB");
    // Switching views leaves both contents as they were.
    W().Menu_Text_Click();
    W().Menu_Hex_Click();
    EXPECT_EQ(W().ListViewHEX->topLevelItemCount(), 1);
    EXPECT_FALSE(W().txtData->toPlainText().isEmpty());
}

TEST_F(MainWindow, ClickInTextModeAlsoFillsTheHiddenHexView) {
    Ingest(2, std::vector<std::uint8_t>(17, 0x30));  // a protocol number: data from byte 20
    W().Menu_Text_Click();
    Click(0);
    EXPECT_EQ(W().ListViewHEX->topLevelItemCount(), 2);
    EXPECT_EQ(TextViewContent(W().txtData), std::string(17, '0'));
}

TEST_F(MainWindow, MovingTheCurrentRowWithTheKeyboardShowsItsPacket) {
    Ingest(17, {0x41});
    Ingest(17, {0x42, 0x43});
    W().lv->setCurrentIndex(W().Model()->index(1, 0));
    ASSERT_EQ(W().ListViewHEX->topLevelItemCount(), 1);
    EXPECT_EQ(HexRow(0)[17], "BC");
    W().lv->setCurrentIndex(W().Model()->index(0, 0));
    EXPECT_EQ(HexRow(0)[17], "A");
}

TEST_F(MainWindow, ModeChangeEmptiesTheDetailViews) {
    Ingest(17, {0x41});
    Click(0);
    ASSERT_EQ(W().ListViewHEX->topLevelItemCount(), 1);
    W().ChooseListViewMode(kModeUdp);
    EXPECT_EQ(W().ListViewHEX->topLevelItemCount(), 0);
    EXPECT_EQ(W().txtData->toPlainText(), "");
    EXPECT_EQ(W().Model()->rowCount(), 1);
    // Choosing the current mode changes nothing.
    Click(0);
    W().ChooseListViewMode(kModeUdp);
    EXPECT_EQ(W().ListViewHEX->topLevelItemCount(), 1);
}

TEST_F(MainWindow, SaveWritesTheSelectedRowsReport) {
    Ingest(17, {0x41, 0x0A});
    Click(0);
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/report");
    QString startedIn;
    W().chooseSaveFileName = [&](QWidget*, const QString& folder) {
        startedIn = folder;
        return path;
    };
    W().Menu_Save_Click();
    EXPECT_EQ(startedIn, W().AppFolder);
    QFile file(path + QStringLiteral(".txt"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray report = file.readAll();
    EXPECT_TRUE(report.startsWith("Protocol: UDP\r\nIP (source): 198.51.100.2\r\nPort (source): 40000\r\n"));
    EXPECT_TRUE(report.contains("Length (bytes): 2\r\n"));
    EXPECT_TRUE(report.endsWith(QByteArray("41 0A ") + QByteArray(14 * 3, ' ') + "| A. \r\n"));
}

TEST_F(MainWindow, SaveWithNoSelectedRowDoesNothing) {
    Ingest(17, {0x41});
    bool asked = false;
    W().chooseSaveFileName = [&](QWidget*, const QString&) {
        asked = true;
        return QString();
    };
    W().Menu_Save_Click();
    EXPECT_FALSE(asked);
}

// Every command source and what it must reach.
struct RouteCase {
    const char* name;
    std::function<void(FormMain&)> act;
    std::function<void(FormMain&, const FormMainHarness&)> check;
};

class CommandRouting : public MainWindow, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(CommandRouting, ReachesItsCommand) {
    Ingest(17, {0x41});
    Ingest(1, {0x42}, "198.51.100.1", "198.51.100.2");
    GetParam().act(W());
    GetParam().check(W(), h);
}

auto ModeIs(std::int32_t mode, int rows) {
    return [mode, rows](FormMain& w, const FormMainHarness&) {
        EXPECT_EQ(w.ListViewModeValue(), mode);
        EXPECT_EQ(w.Model()->rowCount(), rows);
        EXPECT_EQ(w.PanelText(3), QString::fromStdString(ListViewModeStatusText(mode)));
        EXPECT_EQ(w.ButtonMenu(5, mode + 1)->text(), w.ButtonMenu(5, mode + 1)->data().toString() + " <-");
    };
}
auto ViewIsText(bool text) {
    return [text](FormMain& w, const FormMainHarness&) {
        EXPECT_EQ(w.txtData->isVisibleTo(&w), text);
        EXPECT_EQ(w.ListViewHEX->isVisibleTo(&w), !text);
        EXPECT_EQ(w.Menu_Text->isChecked(), text);
        EXPECT_EQ(w.Menu_Hex->isChecked(), !text);
        EXPECT_EQ(w.PanelText(4), text ? "Packet view -> Text" : "Packet view -> Hex");
        EXPECT_EQ(w.ButtonMenu(6, 1)->text(), text ? "Text <-" : "Text");
        EXPECT_EQ(w.ButtonMenu(6, 2)->text(), text ? "Hex|Ascii" : "Hex|Ascii <-");
    };
}
auto Cleared() {
    return [](FormMain& w, const FormMainHarness&) {
        EXPECT_EQ(w.Model()->rowCount(), 0);
        EXPECT_EQ(w.Packets().Count(), 0);
    };
}
auto AboutShown() {
    return [](FormMain&, const FormMainHarness& h) { EXPECT_EQ(h.aboutShown, 1); };
}
auto Nothing() {
    return [](FormMain& w, const FormMainHarness& h) {
        EXPECT_EQ(w.Model()->rowCount(), 2);
        EXPECT_EQ(w.ListViewModeValue(), kModeAll);
        EXPECT_EQ(h.aboutShown, 0);
        EXPECT_TRUE(w.ListViewHEX->isVisibleTo(&w));
        EXPECT_EQ(w.PanelText(1), "Ready to start");
    };
}
auto Trigger(QAction* FormMain::*item) {
    return [item](FormMain& w) { (w.*item)->trigger(); };
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CommandRouting,
    ::testing::Values(
        RouteCase{"MenuClear", Trigger(&FormMain::Menu_Clear), Cleared()},
        RouteCase{"Button3Clear", [](FormMain& w) { w.Button(3)->trigger(); }, Cleared()},
        RouteCase{"MenuReceived", Trigger(&FormMain::Menu_Received), ModeIs(kModeReceived, 1)},
        RouteCase{"MenuSent", Trigger(&FormMain::Menu_Sent), ModeIs(kModeSent, 1)},
        RouteCase{"MenuTcp", Trigger(&FormMain::Menu_TCP), ModeIs(kModeTcp, 0)},
        RouteCase{"MenuUdp", Trigger(&FormMain::Menu_UDP), ModeIs(kModeUdp, 1)},
        RouteCase{"MenuIcmp", Trigger(&FormMain::Menu_ICMP), ModeIs(kModeIcmp, 1)},
        RouteCase{"MenuAllAfterIcmp", [](FormMain& w) { w.Menu_ICMP->trigger(); w.Menu_All->trigger(); },
                  ModeIs(kModeAll, 2)},
        RouteCase{"MenuAllWhenAllKeepsItsCheck", Trigger(&FormMain::Menu_All),
                  [](FormMain& w, const FormMainHarness&) { EXPECT_TRUE(w.Menu_All->isChecked()); }},
        RouteCase{"DropDownEntry2", [](FormMain& w) { w.ButtonMenu(5, 2)->trigger(); }, ModeIs(kModeReceived, 1)},
        RouteCase{"DropDownEntry6", [](FormMain& w) { w.ButtonMenu(5, 6)->trigger(); }, ModeIs(kModeIcmp, 1)},
        RouteCase{"Button5ChoosesAll", [](FormMain& w) { w.Menu_UDP->trigger(); w.Button(5)->trigger(); },
                  ModeIs(kModeAll, 2)},
        RouteCase{"Button5WhenAllDoesNothing", [](FormMain& w) { w.Button(5)->trigger(); }, Nothing()},
        RouteCase{"MenuText", Trigger(&FormMain::Menu_Text), ViewIsText(true)},
        RouteCase{"MenuHexAfterText", [](FormMain& w) { w.Menu_Text->trigger(); w.Menu_Hex->trigger(); },
                  ViewIsText(false)},
        RouteCase{"Button6AlwaysText", [](FormMain& w) { w.Button(6)->trigger(); w.Button(6)->trigger(); },
                  ViewIsText(true)},
        RouteCase{"DropDown6Entry1", [](FormMain& w) { w.ButtonMenu(6, 1)->trigger(); }, ViewIsText(true)},
        RouteCase{"DropDown6Entry2", [](FormMain& w) { w.Button(6)->trigger(); w.ButtonMenu(6, 2)->trigger(); },
                  ViewIsText(false)},
        RouteCase{"MenuAbout", Trigger(&FormMain::Menu_About), AboutShown()},
        RouteCase{"Button10About", [](FormMain& w) { w.Button(10)->trigger(); }, AboutShown()},
        RouteCase{"Separators", [](FormMain& w) { for (int i : {4, 7, 9}) w.Toolbar1_ButtonClick(i); }, Nothing()},
        RouteCase{"UnknownEntries", [](FormMain& w) { w.Toolbar1_ButtonMenuClick(6, 3); w.Toolbar1_ButtonMenuClick(3, 1); },
                  Nothing()},
        RouteCase{"MenuExitClosesTheWindow", [](FormMain& w) { w.show(); w.Menu_Exit->trigger(); },
                  [](FormMain& w, const FormMainHarness&) { EXPECT_FALSE(w.isVisible()); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wirelens
