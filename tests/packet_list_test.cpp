#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <string>

#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::Bytes;
using testing::DatagramFields;
using testing::FormMainHarness;

DatagramFields Udp(const char* src, const char* dst, std::size_t payload = 10) {
    DatagramFields s;
    s.protocol = 17;
    s.src = src;
    s.dst = dst;
    s.payload = Bytes(payload);
    return s;
}

DatagramFields Icmp(const char* src, const char* dst) {
    DatagramFields s = Udp(src, dst, 32);
    s.protocol = 1;
    return s;
}

class PacketList : public ::testing::Test {
protected:
    void Ingest(const DatagramFields& fields, std::int64_t seconds = 1700000000, std::uint32_t micros = 0) {
        const auto bytes = BuildDatagram(fields);
        h.window->IngestDatagram(bytes, seconds, micros);
    }
    QString Cell(int row, int column) const {
        return h.window->Model()->index(row, column).data().toString();
    }
    FormMain& W() { return *h.window; }

    FormMainHarness h;
    QAbstractItemModelTester tester{h.window->Model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(PacketList, LoadFillsLocalAddressesWithoutLoopback) {
    ASSERT_TRUE(h.loaded);
    ASSERT_EQ(W().dicAddr.Count(), 2u);
    EXPECT_EQ(W().dicAddr.Keys()[0], "198.51.100.1");
    EXPECT_EQ(W().PanelText(2), "0 packet");
}

TEST_F(PacketList, RowShowsTheRecordInColumnOrder) {
    DatagramFields s = Udp("198.51.100.2", "198.51.100.1", 37);
    s.srcPort = 8080;
    s.dstPort = 65535;
    Ingest(s, 1700000000, 456789);
    h.Settle();
    ASSERT_EQ(W().Model()->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "UDP");
    EXPECT_EQ(Cell(0, 1), "198.51.100.2");
    EXPECT_EQ(Cell(0, 2), "8080");
    EXPECT_EQ(Cell(0, 3), "198.51.100.1");
    EXPECT_EQ(Cell(0, 4), "65535");
    EXPECT_EQ(Cell(0, 5), "37");
    EXPECT_TRUE(Cell(0, 6).endsWith(QStringLiteral("45"))) << Cell(0, 6).toStdString();
    EXPECT_EQ(W().Model()->index(0, 0).data(PacketListModel::kTagRole).toString(), "1");
    EXPECT_EQ(W().Model()->headerData(5, Qt::Horizontal).toString(), "Length (Bytes)");
}

TEST_F(PacketList, CountTextFollowsRowsShown) {
    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    h.Settle();
    EXPECT_EQ(W().PanelText(2), "1 packet");
    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    h.Settle();
    EXPECT_EQ(W().PanelText(2), "2 packets");
}

TEST_F(PacketList, RowsArriveInOneBatchPerEventLoopTurn) {
    int inserts = 0;
    QObject::connect(W().Model(), &QAbstractItemModel::rowsInserted, [&] { ++inserts; });
    for (int i = 0; i < 500; ++i) Ingest(Udp("198.51.100.2", "198.51.100.1"));
    EXPECT_EQ(W().Model()->rowCount(), 0);  // nothing inserted within the turn
    QCoreApplication::processEvents();
    EXPECT_EQ(inserts, 1);
    EXPECT_EQ(W().Model()->rowCount(), 500);
    EXPECT_EQ(W().PanelText(2), "500 packets");
}

// A flood reads a few datagrams every turn; inserting (and repainting) each
// turn's rows cost more than the rows themselves. Rows that keep coming join
// one insertion a frame, and none is left waiting once they stop.
TEST_F(PacketList, RowsArrivingEveryTurnAreInsertedAtMostOnceAFrame) {
    int inserts = 0;
    QObject::connect(W().Model(), &QAbstractItemModel::rowsInserted, [&] { ++inserts; });
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (clock.elapsed() < 200) {
        Ingest(Udp("198.51.100.2", "198.51.100.1"));
        ++sent;
        QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();
    // The first row goes in at once; after that at most one insertion per interval.
    EXPECT_LE(inserts, 2 + elapsed / PacketListModel::kFlushIntervalMs) << sent << " rows in " << elapsed << " ms";
    EXPECT_GT(sent, inserts * 2) << "the turns should outnumber the insertions";
    QElapsedTimer wait;
    wait.start();
    while (W().Model()->rowCount() < sent && wait.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(W().Model()->rowCount(), sent);
    EXPECT_EQ(W().PanelText(2).toStdString(), std::to_string(sent) + " packets");
}

TEST_F(PacketList, IconTellsOutgoingFromIncoming) {
    Ingest(Udp("198.51.100.1", "203.0.113.1"));   // local to local: left this machine
    Ingest(Udp("198.51.100.7", "255.255.255.255"));  // broadcast from another host
    Ingest(Udp("198.51.100.1", "198.51.100.2"));
    h.Settle();
    ASSERT_EQ(W().Model()->rowCount(), 3);
    EXPECT_TRUE(W().Model()->OutgoingAt(0));
    EXPECT_FALSE(W().Model()->OutgoingAt(1));
    EXPECT_TRUE(W().Model()->OutgoingAt(2));
    const auto icon = [&](int row) {
        return W().Model()->index(row, 0).data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
    };
    EXPECT_EQ(icon(0), W().Image(8).pixmap(16).toImage());
    EXPECT_EQ(icon(1), W().Image(7).pixmap(16).toImage());
    EXPECT_NE(W().Image(7).pixmap(16).toImage(), W().Image(8).pixmap(16).toImage());
}

TEST_F(PacketList, ClearEmptiesEverythingAndKeysRestartAtOne) {
    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    Ingest(Icmp("198.51.100.2", "198.51.100.1"));
    h.Settle();
    W().ListViewHEX->addTopLevelItem(new QTreeWidgetItem(QStringList{"41"}));
    W().txtData->setPlainText(QStringLiteral("A"));
    W().ChooseListViewMode(kModeUdp);
    W().ClearPackets();
    EXPECT_EQ(W().Model()->rowCount(), 0);
    EXPECT_EQ(W().Packets().Count(), 0);
    EXPECT_EQ(W().RawDatagrams().Count(), 0u);
    EXPECT_EQ(W().txtData->toPlainText(), "");
    EXPECT_EQ(W().ListViewHEX->topLevelItemCount(), 0);
    EXPECT_EQ(W().PanelText(2), "0 packet");
    EXPECT_EQ(W().ListViewModeValue(), kModeUdp);  // the mode survives a clear
    EXPECT_EQ(W().PanelText(3), "List view -> UDP");

    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    h.Settle();
    EXPECT_EQ(W().Packets().Count(), 1);
    EXPECT_EQ(W().Packets().Get(1)->mData(), "1");
    EXPECT_EQ(W().Model()->index(0, 0).data(PacketListModel::kTagRole).toString(), "1");
}

TEST_F(PacketList, PacketFailingLiveTestIsStoredAndShownUnderAll) {
    W().ChooseListViewMode(kModeTcp);
    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    h.Settle();
    EXPECT_EQ(W().Model()->rowCount(), 0);
    EXPECT_EQ(W().Packets().Count(), 1);
    EXPECT_EQ(W().PanelText(2), "0 packet");
    W().ChooseListViewMode(kModeAll);
    EXPECT_EQ(W().Model()->rowCount(), 1);
    EXPECT_EQ(W().PanelText(2), "1 packet");
}

struct LiveCase {
    const char* name;
    std::int32_t mode;
    const char* src;
    const char* dst;
    std::uint8_t protocol;
    bool listedOnArrival;
    bool listedAfterRebuild;
};

class LiveModes : public PacketList, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveModes, ArrivalAndRebuildAsEachModeSays) {
    const LiveCase& c = GetParam();
    W().ChooseListViewMode(c.mode);
    DatagramFields s = Udp(c.src, c.dst);
    s.protocol = c.protocol;
    Ingest(s);
    h.Settle();
    EXPECT_EQ(W().Model()->rowCount(), c.listedOnArrival ? 1 : 0);
    // Rebuild under the same mode by leaving it and coming back.
    W().ChooseListViewMode(c.mode == kModeAll ? kModeTcp : kModeAll);
    W().ChooseListViewMode(c.mode);
    EXPECT_EQ(W().Model()->rowCount(), c.listedAfterRebuild ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LiveModes,
    ::testing::Values(LiveCase{"All", kModeAll, "198.51.100.2", "198.51.100.1", 17, true, true},
                      LiveCase{"ReceivedIncoming", kModeReceived, "198.51.100.2", "198.51.100.1", 17, true, true},
                      LiveCase{"ReceivedLocalToLocal", kModeReceived, "198.51.100.1", "203.0.113.1", 17, false, true},
                      LiveCase{"SentLocalToLocal", kModeSent, "198.51.100.1", "203.0.113.1", 17, false, true},
                      LiveCase{"ReceivedForeignBroadcast", kModeReceived, "198.51.100.9", "255.255.255.255", 17, true, false},
                      LiveCase{"SentForeignBroadcast", kModeSent, "198.51.100.9", "255.255.255.255", 17, true, false},
                      LiveCase{"SentOutgoing", kModeSent, "198.51.100.1", "198.51.100.2", 17, true, true},
                      LiveCase{"TcpSkipsUdp", kModeTcp, "198.51.100.2", "198.51.100.1", 17, false, false},
                      LiveCase{"UdpTakesUdp", kModeUdp, "198.51.100.2", "198.51.100.1", 17, true, true},
                      LiveCase{"IcmpTakesIcmp", kModeIcmp, "198.51.100.2", "198.51.100.1", 1, true, true},
                      LiveCase{"IcmpSkipsProtocol2", kModeIcmp, "198.51.100.2", "198.51.100.1", 2, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketList, ModelSurvivesAppendClearAndRebuildUnderTester) {
    for (int i = 0; i < 50; ++i) Ingest(i % 2 ? Udp("198.51.100.2", "198.51.100.1") : Icmp("198.51.100.1", "198.51.100.2"));
    h.Settle();
    W().ChooseListViewMode(kModeIcmp);
    EXPECT_EQ(W().Model()->rowCount(), 25);
    W().ClearPackets();
    W().ChooseListViewMode(kModeAll);
    EXPECT_EQ(W().Model()->rowCount(), 0);
    EXPECT_EQ(W().PanelText(2), "0 packet");
}

}  // namespace
}  // namespace wirelens
