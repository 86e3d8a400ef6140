// The packet list as a work tool: display filters with the list view modes,
// sorting, find and go to, following a live capture, the row context menu,
// shortcuts and the CSV export; the model runs under QAbstractItemModelTester.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "capture/capture_stream.h"
#include "capture/mdlwinsock.h"
#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "packets/packet_sort.h"
#include "packets/row_export.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;
using testing::FormMainHarness;

struct Traffic {
    std::uint8_t protocol;
    const char* src;
    const char* dst;
    std::uint16_t srcPort;
    std::uint16_t dstPort;
    std::size_t payload;
};

// Local addresses are 198.51.100.1 and 203.0.113.1 (the harness's interfaces).
const Traffic kTraffic[] = {
    {17, "198.51.100.2", "198.51.100.1", 40000, 53, 20},     // 1 received UDP
    {17, "198.51.100.1", "198.51.100.2", 53, 40000, 120},    // 2 sent UDP
    {6, "198.51.100.2", "198.51.100.1", 40001, 443, 10},     // 3 received TCP
    {6, "198.51.100.1", "198.51.100.9", 40002, 80, 1200},    // 4 sent TCP
    {1, "198.51.100.9", "198.51.100.1", 0, 0, 56},           // 5 received ICMP
    {17, "198.51.100.9", "198.51.100.2", 5353, 5353, 40},    // 6 neither side local
    {17, "198.51.100.1", "203.0.113.1", 9, 9, 1500},         // 7 both sides local
    {6, "203.0.113.7", "198.51.100.1", 22, 50000, 0},        // 8 received TCP
};

class PacketListTools : public ::testing::Test {
protected:
    FormMain& W() { return *h.window; }
    PacketListModel& M() { return *W().Model(); }

    void Ingest(const Traffic& t, std::int64_t seconds = 1700000000) {
        DatagramFields f;
        f.protocol = t.protocol;
        f.src = t.src;
        f.dst = t.dst;
        f.srcPort = t.srcPort;
        f.dstPort = t.dstPort;
        f.payload = testing::Bytes(t.payload, static_cast<std::uint8_t>('a' + t.payload % 26));
        W().IngestDatagram(BuildDatagram(f), PacketTime{seconds, 0}, 0);
    }
    void IngestAll() {
        std::int64_t second = 1700000000;
        for (const Traffic& t : kTraffic) Ingest(t, second++);
        h.Settle();
    }
    std::vector<std::int32_t> Keys() {
        std::vector<std::int32_t> keys;
        for (int row = 0; row < M().rowCount(); ++row) keys.push_back(M().KeyAt(row));
        return keys;
    }
    // What the list must show: every stored packet passing the mode's rebuild test and the filter.
    std::vector<std::int32_t> Expected(const std::string& expression) {
        const DisplayFilterResult compiled = DisplayFilter::Compile(expression);
        EXPECT_TRUE(compiled.Ok()) << compiled.error;
        std::vector<std::int32_t> keys;
        const CaptureSession& s = W().Session();
        for (std::int32_t key = 1; key <= s.Count(); ++key) {
            const clV& r = *s.Packets().Get(key);
            if (PassesRebuildTest(s.ListViewMode(), r, s.DirectionAddresses()) &&
                compiled.filter.Matches(s.Bytes(r), s.WireLength(r)))
                keys.push_back(key);
        }
        return keys;
    }
    void Select(int row) {
        W().lv->selectionModel()->setCurrentIndex(M().index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    int CurrentRow() { return W().lv->selectionModel()->currentIndex().row(); }

    // A capture, when one starts, is on 198.51.100.1 without asking.
    FormMainHarness h{{"127.0.0.1;255.0.0.0", "198.51.100.1;255.255.255.0", "203.0.113.1;255.255.255.0"}, true,
                      [](FormMain::Environment& env) {
                          env.chooseAddress = [](const LocalAddressSet&, QWidget*) {
                              LocalIpChoice choice;
                              choice.outcome = LocalIpChoice::Outcome::Chosen;
                              choice.localIP = "198.51.100.1";
                              return choice;
                          };
                      }};
    QAbstractItemModelTester tester{h.window->Model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(PacketListTools, FilterAndEachModeApplyOnRebuildAndToArrivals) {
    IngestAll();
    ASSERT_TRUE(W().ApplyDisplayFilter("udp or tcp port 443"));
    EXPECT_EQ(Keys(), Expected("udp or tcp port 443"));
    for (std::int32_t mode = 0; mode < kListViewModeCount; ++mode) {
        SCOPED_TRACE(ListViewModeName(mode));
        W().ChooseListViewMode(mode);
        EXPECT_EQ(Keys(), Expected("udp or tcp port 443"));
        EXPECT_EQ(W().PanelText(3).toStdString(), ListViewModeStatusText(mode)) << "the mode's own text stays";
    }
    // Arrivals meet the live test and the filter: a received UDP datagram passes
    // Received and the filter, a TCP one to port 80 only Received.
    W().ChooseListViewMode(kModeReceived);
    const auto before = Keys();
    Ingest({17, "198.51.100.2", "198.51.100.1", 1, 2, 5});
    Ingest({6, "198.51.100.2", "198.51.100.1", 1, 80, 5});
    Ingest({17, "198.51.100.1", "198.51.100.2", 1, 2, 5});  // sent: the mode hides it
    h.Settle();
    auto expected = before;
    expected.push_back(W().Session().Count() - 2);
    EXPECT_EQ(Keys(), expected);
    EXPECT_EQ(W().PanelText(2).toStdString(), PacketCountText(static_cast<std::int64_t>(expected.size())));
    EXPECT_EQ(W().ListedText().toStdString(),
              ListedOfTotalText(static_cast<std::int64_t>(expected.size()), W().Session().Count()));
}

TEST_F(PacketListTools, InvalidExpressionIsMarkedWithLibpcapsMessageAndChangesNothing) {
    IngestAll();
    ASSERT_TRUE(W().ApplyDisplayFilter("icmp or tcp"));
    const auto shown = Keys();
    for (const char* invalid : {"tcp port", "host 198.51.100.300", "udp and"}) {
        EXPECT_FALSE(W().ApplyDisplayFilter(invalid));
        EXPECT_EQ(Keys(), shown);
        EXPECT_EQ(W().FilterError().toStdString(), DisplayFilter::Compile(invalid).error);
        EXPECT_FALSE(W().cboFilter->lineEdit()->styleSheet().isEmpty()) << "the field is marked";
        EXPECT_TRUE(W().NoticeText().contains(W().FilterError()));
        EXPECT_EQ(W().DisplayFilterExpression(), "icmp or tcp") << "the applied filter stays";
    }
    ASSERT_TRUE(W().ApplyDisplayFilter(""));
    EXPECT_TRUE(W().FilterError().isEmpty());
    EXPECT_TRUE(W().cboFilter->lineEdit()->styleSheet().isEmpty());
    EXPECT_EQ(M().rowCount(), static_cast<int>(std::size(kTraffic)));
    EXPECT_TRUE(W().ListedText().isEmpty()) << "no filter, no listed-of text";
    EXPECT_EQ(W().PanelText(2), "8 packets");
}

TEST_F(PacketListTools, RecentExpressionsAreOfferedNewestFirstWithoutRepeats) {
    for (const char* e : {"udp", "tcp", "icmp", "udp"}) ASSERT_TRUE(W().ApplyDisplayFilter(e));
    QStringList items;
    for (int i = 0; i < W().cboFilter->count(); ++i) items << W().cboFilter->itemText(i);
    EXPECT_EQ(items, (QStringList{"udp", "icmp", "tcp"}));
    // Typed and entered in the field, as a user does; one rebuild each.
    IngestAll();
    QSignalSpy resets(W().Model(), &QAbstractItemModel::modelReset);
    W().cboFilter->lineEdit()->setText("icmp");
    QTest::keyClick(W().cboFilter->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(W().DisplayFilterExpression(), "icmp");
    EXPECT_EQ(Keys(), Expected("icmp"));
    EXPECT_EQ(resets.count(), 2) << "one rebuild: the list emptied, then refilled";
}

TEST_F(PacketListTools, HeaderClicksSortAscendingDescendingAndBackWithTheSelectionOnItsPacket) {
    IngestAll();
    Select(3);
    const std::int32_t selectedKey = M().KeyAt(3);
    const auto captureOrder = Keys();
    const int column = PacketListModel::kColSrcAddr;
    for (const SortOrder order : {SortOrder::Ascending, SortOrder::Descending}) {
        W().lv_ColumnClick(column);
        std::vector<std::uint32_t> expected(M().Rows().begin(), M().Rows().end());
        SortRows(expected, {SortColumn::SrcAddr, order}, W().Session().Packets());
        EXPECT_EQ(M().Rows(), expected);
        EXPECT_TRUE(W().lv->horizontalHeader()->isSortIndicatorShown());
        EXPECT_EQ(M().KeyAt(CurrentRow()), selectedKey);
        EXPECT_TRUE(W().lv->selectionModel()->isRowSelected(CurrentRow(), {}));
    }
    W().lv_ColumnClick(column);
    EXPECT_EQ(Keys(), captureOrder);
    EXPECT_FALSE(W().lv->horizontalHeader()->isSortIndicatorShown());
    EXPECT_EQ(M().KeyAt(CurrentRow()), selectedKey);
    // Info, a decode made on demand, does not sort.
    W().lv_ColumnClick(PacketListModel::kColInfo);
    EXPECT_FALSE(M().CurrentRowOrder());
    // Another column starts again at ascending.
    W().lv_ColumnClick(PacketListModel::kColSize);
    W().lv_ColumnClick(PacketListModel::kColTime);
    ASSERT_TRUE(M().CurrentRowOrder());
    EXPECT_EQ(M().CurrentRowOrder()->column, SortColumn::Time);
    EXPECT_EQ(M().CurrentRowOrder()->order, SortOrder::Ascending);
}

TEST_F(PacketListTools, ArrivalsLandInTheirPlacesInASortedFilteredList) {
    IngestAll();
    ASSERT_TRUE(W().ApplyDisplayFilter("not icmp"));
    W().lv_ColumnClick(PacketListModel::kColDestPort);
    W().lv_ColumnClick(PacketListModel::kColDestPort);  // descending
    Select(2);
    const std::int32_t selectedKey = M().KeyAt(2);
    for (int batch = 0; batch < 3; ++batch) {
        for (const Traffic& t : kTraffic) Ingest(t, 1700000100 + batch);
        h.Settle();
        std::vector<std::uint32_t> expected;
        for (const std::int32_t key : Expected("not icmp"))
            expected.push_back(CaptureSession::RowEntry(key, W().Session().IsOutgoing(*W().Session().Packets().Get(key))));
        SortRows(expected, {SortColumn::DestPort, SortOrder::Descending}, W().Session().Packets());
        EXPECT_EQ(M().Rows(), expected);
        EXPECT_EQ(M().KeyAt(CurrentRow()), selectedKey);
    }
}

TEST_F(PacketListTools, FindSelectsNextAndPreviousMatchesAndSaysWhenNothingMatches) {
    IngestAll();
    W().cboFindKind->setCurrentIndex(W().cboFindKind->findData(static_cast<int>(FindKind::RowText)));
    W().txtFind->setText("198.51.100.9");
    ASSERT_TRUE(W().FindPacket(FindDirection::Next));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 4);
    ASSERT_TRUE(W().FindPacket(FindDirection::Next));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 5);
    ASSERT_TRUE(W().FindPacket(FindDirection::Previous));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 4);
    EXPECT_FALSE(W().PanelText(2).isEmpty());

    // Data bytes: packet 4's payload is 1200 bytes of 'a' + 1200 % 26 = 'e' (0x65), as is packet 5's.
    W().cboFindKind->setCurrentIndex(W().cboFindKind->findData(static_cast<int>(FindKind::DataBytes)));
    W().txtFind->setText("65 65");
    Select(0);
    ASSERT_TRUE(W().FindPacket(FindDirection::Next));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 4);

    W().cboFindKind->setCurrentIndex(W().cboFindKind->findData(static_cast<int>(FindKind::DataText)));
    W().txtFind->setText("no such text");
    EXPECT_FALSE(W().FindPacket(FindDirection::Next));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 4) << "the selection stays";
    EXPECT_EQ(W().NoticeText(), "Not found: no such text");
    EXPECT_TRUE(h.messages.empty()) << "no message box";
}

TEST_F(PacketListTools, GoToSelectsThePacketBySequenceNumberWhereverItIsListed) {
    IngestAll();
    W().lv_ColumnClick(PacketListModel::kColSize);
    ASSERT_TRUE(W().GoToPacket(6));
    EXPECT_EQ(M().KeyAt(CurrentRow()), 6);
    ASSERT_TRUE(W().ApplyDisplayFilter("icmp"));
    EXPECT_FALSE(W().GoToPacket(6));
    EXPECT_TRUE(W().NoticeText().contains("not listed"));
    EXPECT_FALSE(W().GoToPacket(99));
    EXPECT_EQ(W().NoticeText(), "There is no packet 99");
    W().askPacketNumber = [](QWidget*) { return std::optional<std::int32_t>(5); };
    W().Menu_GoTo->trigger();
    EXPECT_EQ(M().KeyAt(CurrentRow()), 5);
}

TEST_F(PacketListTools, FilterOnThisReplacesOrJoinsTheAppliedFilter) {
    IngestAll();
    auto trigger = [&](int row, int column, const char* item) {
        std::unique_ptr<QMenu> menu(W().RowContextMenu(M().index(row, column)));
        auto* action = menu->findChild<QAction*>(QString::fromLatin1(item));
        ASSERT_NE(action, nullptr) << item;
        ASSERT_TRUE(action->isEnabled()) << item;
        action->trigger();
    };
    trigger(0, PacketListModel::kColSrcAddr, "Menu_FilterOnly");
    EXPECT_EQ(W().DisplayFilterExpression(), "host 198.51.100.2");
    EXPECT_EQ(Keys(), Expected("host 198.51.100.2"));
    trigger(0, PacketListModel::kColDestPort, "Menu_FilterAnd");
    EXPECT_EQ(W().DisplayFilterExpression(), "(host 198.51.100.2) and (port 53)");
    EXPECT_EQ(Keys(), Expected("(host 198.51.100.2) and (port 53)"));
    trigger(0, PacketListModel::kColProtocol, "Menu_FilterOr");
    EXPECT_EQ(W().DisplayFilterExpression(), "((host 198.51.100.2) and (port 53)) or (udp)");
    EXPECT_EQ(Keys(), Expected("((host 198.51.100.2) and (port 53)) or (udp)"));

    // Nothing to filter on in a time cell; no and/or without a filter applied.
    ASSERT_TRUE(W().ApplyDisplayFilter(""));
    std::unique_ptr<QMenu> menu(W().RowContextMenu(M().index(0, PacketListModel::kColTime)));
    EXPECT_FALSE(menu->findChild<QMenu*>("Menu_FilterOnThis")->isEnabled());
    menu.reset(W().RowContextMenu(M().index(0, PacketListModel::kColSrcPort)));
    EXPECT_FALSE(menu->findChild<QAction*>("Menu_FilterAnd")->isEnabled());
    EXPECT_EQ(menu->findChild<QAction*>("Menu_FilterOnly")->text(), "port 40000");
}

TEST_F(PacketListTools, CopyCommandsGiveTheRowAndItsData) {
    Ingest({17, "198.51.100.2", "198.51.100.1", 40000, 53, 0});
    DatagramFields f;
    f.protocol = 17;
    f.src = "198.51.100.2";
    f.dst = "198.51.100.1";
    f.payload = {'A', '\n', 'b', ',', '"'};
    W().IngestDatagram(BuildDatagram(f), PacketTime{1700000000, 0}, 0);
    h.Settle();
    const QString time = M().index(1, PacketListModel::kColTime).data().toString();
    const QString info = M().index(1, PacketListModel::kColInfo).data().toString();
    EXPECT_EQ(W().RowText(1, false), "UDP\t198.51.100.2\t40000\t198.51.100.1\t53\t5\t" + time + "\t" + info);
    EXPECT_EQ(W().RowText(1, true).toStdString(),
              CsvLine({"UDP", "198.51.100.2", "40000", "198.51.100.1", "53", "5", time.toStdString(), info.toStdString()}));
    EXPECT_EQ(W().RowBytesHex(1), "41 0a 62 2c 22");
    EXPECT_EQ(W().RowDataText(1), "A\r\nb,\"");
    std::unique_ptr<QMenu> menu(W().RowContextMenu(M().index(1, 0)));
    menu->findChild<QAction*>("Menu_CopyBytesHex")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "41 0a 62 2c 22");
}

TEST_F(PacketListTools, ExportWritesAHeaderAndEveryListedRowAsCsv) {
    IngestAll();
    ASSERT_TRUE(W().ApplyDisplayFilter("tcp"));
    W().lv_ColumnClick(PacketListModel::kColSize);
    QTemporaryDir dir;
    const QString path = dir.filePath("rows.csv");
    W().chooseCsvFileName = [&](QWidget*) { return path; };
    W().Menu_ExportCsv->trigger();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n");
    ASSERT_EQ(lines.size(), M().rowCount() + 2);  // header, rows, the empty text after the last line end
    EXPECT_EQ(lines[0], "Protocol,Source IP,Source Port,Destination IP,Destination Port,Length (Bytes),Start Time," +
                            M().headerData(PacketListModel::kColInfo, Qt::Horizontal).toString());
    for (int row = 0; row < M().rowCount(); ++row) EXPECT_EQ(lines[row + 1], W().RowText(row, true));
    EXPECT_TRUE(lines.back().isEmpty());
    EXPECT_TRUE(h.messages.empty());
    W().chooseCsvFileName = [&](QWidget*) { return dir.filePath("no/such/folder/rows.csv"); };
    W().Menu_ExportCsv->trigger();
    EXPECT_EQ(h.messages.size(), 1u);
}

TEST_F(PacketListTools, SaveIsEnabledOnlyWithASelectedRow) {
    EXPECT_FALSE(W().Menu_Save->isEnabled());
    IngestAll();
    EXPECT_FALSE(W().Menu_Save->isEnabled());
    Select(1);
    EXPECT_TRUE(W().Menu_Save->isEnabled());
    W().ClearPackets();
    EXPECT_FALSE(W().Menu_Save->isEnabled());
}

TEST_F(PacketListTools, MenusGainViewAndExportAndKeepThePartsItems) {
    QStringList top;
    for (QAction* a : W().menuBar()->actions()) top << a->text();
    EXPECT_EQ(top, (QStringList{"File", "List View", "Packet View", "View", "Help"}));
    QStringList view;
    for (QAction* a : W().Menu_View->actions()) view << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(view, (QStringList{"Auto Scroll in Live Capture", "-", "Find Packet", "Find Previous", "Go to Packet..."}));
    EXPECT_TRUE(W().Menu_AutoScroll->isChecked());
    struct Shortcut {
        QAction* action;
        QKeySequence keys;
    };
    for (const Shortcut& s : {Shortcut{W().Menu_Start, QKeySequence("Ctrl+E")}, Shortcut{W().Menu_Stop, QKeySequence("Ctrl+E")},
                              Shortcut{W().Menu_Exit, QKeySequence("Ctrl+Q")}, Shortcut{W().Menu_About, QKeySequence("F1")},
                              Shortcut{W().Menu_Open, QKeySequence("Ctrl+O")},
                              Shortcut{W().Menu_SavePackets, QKeySequence("Ctrl+Shift+S")},
                              Shortcut{W().Menu_Find, QKeySequence("Ctrl+F")},
                              Shortcut{W().Menu_FindPrevious, QKeySequence("Ctrl+Shift+F")},
                              Shortcut{W().Menu_GoTo, QKeySequence("Ctrl+G")}})
        EXPECT_EQ(s.action->shortcut(), s.keys) << s.action->text().toStdString();
}

TEST_F(PacketListTools, KeysReachTheirCommands) {
    W().show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
    QTest::keyClick(&W(), Qt::Key_F1);
    EXPECT_EQ(h.aboutShown, 1);
    IngestAll();
    W().txtFind->setText("ICMP");
    W().lv->setFocus();
    QTest::keyClick(&W(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(M().KeyAt(CurrentRow()), 5);
    W().askPacketNumber = [](QWidget*) { return std::optional<std::int32_t>(2); };
    QTest::keyClick(&W(), Qt::Key_G, Qt::ControlModifier);
    EXPECT_EQ(M().KeyAt(CurrentRow()), 2);
}

// A stand-in helper that opens and then waits: the window is capturing while
// the test files datagrams the way the capture does.
class FollowingTest : public PacketListTools {
protected:
    void SetUp() override {
        std::vector<std::uint8_t> stream;
        AppendReadyFrame(stream, "veth0");
        ASSERT_TRUE(testing::UseStandInHelper(mFolder, stream));
        W().resize(700, 500);
        W().show();
        W().StartCapture();
        ASSERT_TRUE(W().IsCapturing());
    }
    void TearDown() override {
        W().StopCapture();
        SetCaptureHelperPath("");
    }
    void Flood(int n) {
        for (int i = 0; i < n; ++i) Ingest(kTraffic[i % 8]);
        h.Settle();
    }
    bool AtEnd() { return W().lv->verticalScrollBar()->value() == W().lv->verticalScrollBar()->maximum(); }
    QTemporaryDir mFolder;
};

TEST_F(FollowingTest, NewestRowStaysInViewUntilTheUserScrollsUpOrSelects) {
    Flood(200);
    ASSERT_GT(W().lv->verticalScrollBar()->maximum(), 0);
    EXPECT_TRUE(AtEnd());
    W().lv->verticalScrollBar()->setValue(10);
    EXPECT_FALSE(W().FollowingNewRows());
    Flood(50);
    EXPECT_EQ(W().lv->verticalScrollBar()->value(), 10) << "paused while the user looks elsewhere";
    W().lv->verticalScrollBar()->setValue(W().lv->verticalScrollBar()->maximum());
    EXPECT_TRUE(W().FollowingNewRows()) << "back at the end resumes";
    Flood(50);
    EXPECT_TRUE(AtEnd());
    Select(5);
    EXPECT_FALSE(W().FollowingNewRows());
    Flood(20);
    EXPECT_EQ(CurrentRow(), 5);
    W().lv->verticalScrollBar()->setValue(W().lv->verticalScrollBar()->maximum());
    W().Menu_AutoScroll->setChecked(false);
    Flood(50);
    EXPECT_FALSE(AtEnd()) << "switched off in the View menu";
    W().Menu_AutoScroll->setChecked(true);
    EXPECT_TRUE(AtEnd());
}

TEST_F(FollowingTest, CtrlEStopsAndStartsTheCapture) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
    QTest::keyClick(&W(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_FALSE(W().IsCapturing());
    EXPECT_EQ(W().PanelText(1), "Stopped");
    QTest::keyClick(&W(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(W().IsCapturing());
    EXPECT_EQ(W().PanelText(1), "Sniffing...");
}

}  // namespace
}  // namespace wirelens
