// The true decode in the window: the Info column after Start Time, the
// details pane of the selected packet, and a field's bytes in the hex view.
#include <QAbstractItemModelTester>
#include <QDockWidget>
#include <QTableView>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "packets/packet_list_model.h"
#include "tests/dissect_fixtures.h"
#include "tests/form_main_fixture.h"
#include "views/packet_details_qt.h"

namespace wirelens {
namespace {

using testing::ByteVector;
using testing::FormMainHarness;

class PacketDetailsWindow : public ::testing::Test {
protected:
    void Ingest(const ByteVector& bytes) { h.window->IngestDatagram(bytes, 1700000000, 0); }
    QString Cell(int row, int column) const { return h.window->Model()->index(row, column).data().toString(); }
    FormMain& W() { return *h.window; }

    // The pane's item whose text starts with `prefix`, searched depth first.
    QTreeWidgetItem* FindItem(const QString& prefix) {
        QList<QTreeWidgetItem*> stack;
        for (int i = W().TreeDetails->topLevelItemCount() - 1; i >= 0; --i) stack << W().TreeDetails->topLevelItem(i);
        while (!stack.isEmpty()) {
            QTreeWidgetItem* item = stack.takeLast();
            if (item->text(0).startsWith(prefix)) return item;
            for (int i = item->childCount() - 1; i >= 0; --i) stack << item->child(i);
        }
        return nullptr;
    }
    std::vector<int> SelectedHexRows() {
        std::vector<int> rows;
        for (int r = 0; r < W().ListViewHEX->topLevelItemCount(); ++r) {
            if (W().ListViewHEX->topLevelItem(r)->isSelected()) rows.push_back(r);
        }
        return rows;
    }

    FormMainHarness h;
    QAbstractItemModelTester tester{h.window->Model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(PacketDetailsWindow, InfoFollowsStartTimeAndTheRecordColumnsStay) {
    Ingest(testing::TcpData());
    Ingest(testing::DnsQuery());
    h.Settle();
    ASSERT_EQ(W().Model()->columnCount(), 8);
    EXPECT_EQ(W().Model()->headerData(PacketListModel::kColTime, Qt::Horizontal).toString(), "Start Time");
    EXPECT_EQ(W().Model()->headerData(PacketListModel::kColInfo, Qt::Horizontal).toString(), "Info");
    EXPECT_EQ(Cell(0, PacketListModel::kColSize), "112");  // the positional length, options counted as data
    EXPECT_EQ(Cell(0, PacketListModel::kColInfo),
              "Flags [P.], seq 1000:1100, ack 2000, win 502, options [nop,nop,TS val 3 ecr 4], length 100");
    EXPECT_EQ(Cell(1, PacketListModel::kColInfo), "4660+ A? example.test. (30)");
    EXPECT_GT(W().lv->columnWidth(PacketListModel::kColInfo), W().lv->columnWidth(PacketListModel::kColTime));
}

TEST_F(PacketDetailsWindow, ClickingARowShowsItsLayers) {
    Ingest(testing::DnsQuery());
    h.Settle();
    W().lv_ItemClick(0);
    QStringList layers;
    for (int i = 0; i < W().TreeDetails->topLevelItemCount(); ++i) layers << W().TreeDetails->topLevelItem(i)->text(0);
    EXPECT_EQ(layers, (QStringList{"Datagram: 58 bytes on wire, 58 bytes kept",
                                   "Internet Protocol Version 4, Src: 198.51.100.2, Dst: 198.51.100.1",
                                   "User Datagram Protocol, Src Port: 40000, Dst Port: 53",
                                   "Domain Name System (query)"}));
    QTreeWidgetItem* name = FindItem(QStringLiteral("Name: "));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(0), "Name: example.test.");
    EXPECT_EQ(name->parent()->text(0), "Query: example.test. A");
}

// The hex view of a UDP row shows the datagram from byte 28 on; a field
// selects the rows that hold it, and a field before byte 28 selects none.
TEST_F(PacketDetailsWindow, AFieldSelectsTheHexRowsHoldingIt) {
    Ingest(testing::DnsQuery());
    h.Settle();
    W().lv_ItemClick(0);
    ASSERT_EQ(W().ListViewHEX->topLevelItemCount(), 2);
    W().TreeDetails->setCurrentItem(FindItem(QStringLiteral("Transaction ID")));
    EXPECT_EQ(SelectedHexRows(), (std::vector<int>{0}));
    W().TreeDetails->setCurrentItem(FindItem(QStringLiteral("Name: ")));  // bytes 40..53: view bytes 12..25
    EXPECT_EQ(SelectedHexRows(), (std::vector<int>{0, 1}));
    W().TreeDetails->setCurrentItem(FindItem(QStringLiteral("Class: ")));  // bytes 56..57
    EXPECT_EQ(SelectedHexRows(), (std::vector<int>{1}));
    W().TreeDetails->setCurrentItem(FindItem(QStringLiteral("Time to Live")));
    EXPECT_TRUE(SelectedHexRows().empty());
}

TEST_F(PacketDetailsWindow, ClearAndRebuildEmptyThePane) {
    Ingest(testing::DnsQuery());
    h.Settle();
    W().lv_ItemClick(0);
    ASSERT_GT(W().TreeDetails->topLevelItemCount(), 0);
    W().RefreshPacketList();
    EXPECT_EQ(W().TreeDetails->topLevelItemCount(), 0);
    h.Settle();
    W().lv_ItemClick(0);
    ASSERT_GT(W().TreeDetails->topLevelItemCount(), 0);
    W().ClearPackets();
    EXPECT_EQ(W().TreeDetails->topLevelItemCount(), 0);
}

// The pane starts as a window of its own to the right, so the client area
// keeps the whole window; docked by the user, it goes to the right side.
TEST_F(PacketDetailsWindow, PaneStartsBesideTheWindowWithoutNarrowingIt) {
    W().show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(W().DockDetails->isFloating());
    EXPECT_TRUE(W().TreeDetails->isVisible());
    EXPECT_GT(W().DockDetails->geometry().left(), W().frameGeometry().right());
    EXPECT_EQ(W().centralWidget()->width(), W().width());
    W().DockDetails->setFloating(false);
    EXPECT_EQ(W().dockWidgetArea(W().DockDetails), Qt::RightDockWidgetArea);
}

struct RowsCase {
    const char* name;
    int viewOffset;
    int viewLength;
    ByteRange range;
    std::optional<HexRows> rows;
};

class HexRowsOfRangeTest : public ::testing::TestWithParam<RowsCase> {};

TEST_P(HexRowsOfRangeTest, CoversTheShownBytes) {
    const auto& c = GetParam();
    const auto rows = HexRowsOfRange(c.viewOffset, c.viewLength, c.range);
    ASSERT_EQ(rows.has_value(), c.rows.has_value());
    if (rows) {
        EXPECT_EQ(rows->first, c.rows->first);
        EXPECT_EQ(rows->last, c.rows->last);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Details, HexRowsOfRangeTest,
    ::testing::Values(RowsCase{"FirstByte", 28, 30, {28, 1}, HexRows{0, 0}},
                      RowsCase{"LastByteOfFirstRow", 28, 30, {43, 1}, HexRows{0, 0}},
                      RowsCase{"AcrossARow", 28, 30, {43, 2}, HexRows{0, 1}},
                      RowsCase{"BeforeTheView", 28, 30, {8, 1}, std::nullopt},
                      RowsCase{"StartsBeforeEndsInside", 40, 100, {20, 40}, HexRows{0, 1}},
                      RowsCase{"PastTheView", 28, 30, {58, 4}, std::nullopt},
                      RowsCase{"EndsPastTheView", 28, 30, {50, 40}, HexRows{1, 1}},
                      RowsCase{"NoBytes", 28, 30, {30, 0}, std::nullopt},
                      RowsCase{"EmptyView", 28, 0, {28, 4}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wirelens
