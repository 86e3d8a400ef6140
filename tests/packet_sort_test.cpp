#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "packets/packet_sort.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

using testing::Addr;

struct Row {
    std::uint8_t proto;
    const char* src;
    const char* dst;
    int srcPort;  // -1: no ports
    int dstPort;
    std::int32_t size;
    PacketTime time;
};

clV Record(const Row& r) {
    clV record;
    const bool ports = r.srcPort >= 0;
    record.add(r.proto, Addr(r.src), ports ? std::optional<std::uint16_t>(r.srcPort) : std::nullopt, Addr(r.dst),
               ports ? std::optional<std::uint16_t>(r.dstPort) : std::nullopt, r.size, 1, CaptureTime{});
    record.SetTimestamp(r.time);
    return record;
}

// Keys 1..n in capture order; even keys are marked outgoing, so the bit must travel with its row.
std::vector<std::uint32_t> FillStore(PacketStore& store, const std::vector<Row>& rows) {
    std::vector<std::uint32_t> entries;
    for (const Row& r : rows) {
        const auto key = store.Count() + 1;
        store.Put(key, Record(r));
        entries.push_back(static_cast<std::uint32_t>(key) | (key % 2 == 0 ? kRowOutgoingBit : 0u));
    }
    return entries;
}

std::vector<std::int32_t> Keys(const std::vector<std::uint32_t>& entries) {
    std::vector<std::int32_t> keys;
    for (const std::uint32_t e : entries) keys.push_back(RowKey(e));
    return keys;
}

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kDay1 = 1700006400;  // a midnight, UTC

// Packet 4 was captured the day before, late in the evening: first by
// timestamp, last by time of day. Packet 6 is 1 ns after packets 2 and 3.
const std::vector<Row> kRows = {
    {6, "10.0.0.1", "198.51.100.1", 443, 9, 100, {kDay1 + 500, 0}},          // 1
    {17, "9.255.0.1", "198.51.100.1", 53, 10, 20, {kDay1 + 300, 0}},         // 2
    {1, "198.51.100.2", "203.0.113.1", -1, -1, 40, {kDay1 + 300, 0}},        // 3
    {47, "203.0.113.5", "9.0.0.1", -1, -1, -3, {kDay1 - kDay + 80000, 0}},   // 4
    {2, "198.51.100.2", "198.51.100.10", -1, -1, 0, {kDay1 + 800, 0}},       // 5
    {17, "10.0.0.1", "198.51.100.9", 9, 1000, 1480, {kDay1 + 300, 1}},       // 6
    {6, "198.51.100.10", "198.51.100.2", 80, 65535, 20, {kDay1 + 700, 0}},   // 7
};

struct SortCase {
    const char* name;
    SortColumn column;
    SortOrder order;
    std::vector<std::int32_t> keys;
};

class SortOrders : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortOrders, GiveTheColumnsOrderWithCaptureOrderForTies) {
    PacketStore store;
    std::vector<std::uint32_t> rows = FillStore(store, kRows);
    SortRows(rows, {GetParam().column, GetParam().order}, store);
    EXPECT_EQ(Keys(rows), GetParam().keys);
    for (const std::uint32_t e : rows) EXPECT_EQ((e & kRowOutgoingBit) != 0, RowKey(e) % 2 == 0) << RowKey(e);
}

INSTANTIATE_TEST_SUITE_P(
    Columns, SortOrders,
    ::testing::Values(
        // Texts: "2" < "47" < "ICMP" < "TCP" < "UDP".
        SortCase{"ProtocolByText", SortColumn::Protocol, SortOrder::Ascending, {5, 4, 3, 1, 7, 2, 6}},
        SortCase{"ProtocolByTextDescending", SortColumn::Protocol, SortOrder::Descending, {2, 6, 1, 7, 3, 4, 5}},
        // As numbers: 9.255.0.1 before 10.0.0.1, 198.51.100.2 before 198.51.100.10.
        SortCase{"SourceAddressAsNumber", SortColumn::SrcAddr, SortOrder::Ascending, {2, 1, 6, 3, 5, 7, 4}},
        SortCase{"DestinationAddressDescending", SortColumn::DestAddr, SortOrder::Descending, {3, 5, 6, 7, 1, 2, 4}},
        // Rows without ports (empty cells) come first; 9 before 53 before 80 before 443.
        SortCase{"SourcePortAsNumber", SortColumn::SrcPort, SortOrder::Ascending, {3, 4, 5, 6, 2, 7, 1}},
        SortCase{"DestinationPortDescending", SortColumn::DestPort, SortOrder::Descending, {7, 6, 2, 1, 3, 4, 5}},
        // Negative lengths (short datagrams) are the smallest.
        SortCase{"LengthAsNumber", SortColumn::Size, SortOrder::Ascending, {4, 5, 2, 7, 3, 1, 6}},
        SortCase{"LengthDescending", SortColumn::Size, SortOrder::Descending, {6, 1, 3, 2, 7, 5, 4}},
        SortCase{"TimeByFullTimestamp", SortColumn::Time, SortOrder::Ascending, {4, 2, 3, 6, 1, 7, 5}},
        SortCase{"TimeDescendingKeepsCaptureOrderForTies", SortColumn::Time, SortOrder::Descending,
                 {5, 7, 1, 6, 2, 3, 4}}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return std::string(info.param.name); });

std::vector<Row> RandomRows(std::size_t n, unsigned seed) {
    static const char* const kAddresses[] = {"198.51.100.1", "198.51.100.2", "198.51.100.10", "203.0.113.9", "9.1.1.1"};
    static const std::uint8_t kProtos[] = {1, 6, 17, 47};
    std::mt19937 random(seed);
    std::vector<Row> rows;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t proto = kProtos[random() % 4];
        const bool ports = proto == 6 || proto == 17;
        rows.push_back({proto, kAddresses[random() % 5], kAddresses[random() % 5],
                        ports ? static_cast<int>(random() % 8) : -1, ports ? static_cast<int>(random() % 8) : -1,
                        static_cast<std::int32_t>(random() % 12) - 2,
                        {kDay1 + static_cast<std::int64_t>(random() % 3) * kDay + static_cast<std::int64_t>(random() % 3),
                         static_cast<std::uint32_t>(random() % 3)}});
    }
    return rows;
}

TEST(SortedInsertion, BatchesLandWhereAFullSortPutsThem) {
    for (int column = 0; column < kSortColumnCount; ++column) {
        for (const SortOrder direction : {SortOrder::Ascending, SortOrder::Descending}) {
            const RowOrder order{static_cast<SortColumn>(column), direction};
            PacketStore store;
            const std::vector<std::uint32_t> all = FillStore(store, RandomRows(600, 7u + static_cast<unsigned>(column)));
            std::vector<std::uint32_t> rows(all.begin(), all.begin() + 200);
            SortRows(rows, order, store);
            RowArray list;  // the model's own container takes the same batches
            list.assign(rows);
            // Batches of growing size, the last one larger than the list it joins.
            std::size_t next = 200;
            for (const std::size_t batchSize : {1u, 7u, 92u, 300u}) {
                std::vector<std::uint32_t> batch(all.begin() + static_cast<std::ptrdiff_t>(next),
                                                 all.begin() + static_cast<std::ptrdiff_t>(next + batchSize));
                std::reverse(batch.begin(), batch.end());
                next += batchSize;
                const std::vector<std::size_t> taken = InsertSortedRows(rows, batch, order, store);
                EXPECT_EQ(InsertSortedRows(list, batch, order, store), taken);
                EXPECT_TRUE(list == rows) << "column " << column << " batch " << batchSize;

                std::vector<std::uint32_t> expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(next));
                SortRows(expected, order, store);
                ASSERT_EQ(rows, expected) << "column " << column << " batch " << batchSize;
                ASSERT_EQ(taken.size(), batchSize);
                EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
                std::vector<std::uint32_t> atTaken;
                for (const std::size_t index : taken) atTaken.push_back(rows[index]);
                std::sort(atTaken.begin(), atTaken.end());
                std::sort(batch.begin(), batch.end());
                EXPECT_EQ(atTaken, batch);
            }
        }
    }
}

// Newest first: a capture's batch is newer than every row listed, and the
// list takes it in room before its first row, moving none of the rows it
// holds; a batch that lands at both ends still gives the full sort's order.
TEST(SortedInsertion, NewestFirstTakesEachBatchAtTheFrontWithoutMovingTheList) {
    PacketStore store;
    std::vector<Row> timed;
    for (std::size_t i = 0; i < 4000; ++i)
        timed.push_back({17, "198.51.100.1", "198.51.100.2", 9, 9, 100,
                         {kDay1 + static_cast<std::int64_t>(i / 10), static_cast<std::uint32_t>(i % 10)}});
    const std::vector<std::uint32_t> all = FillStore(store, timed);
    const RowOrder newestFirst{SortColumn::Time, SortOrder::Descending};
    std::vector<std::uint32_t> start(all.begin(), all.begin() + 1000);
    SortRows(start, newestFirst, store);
    RowArray list;
    list.assign(start);
    // The room before the first row grows now and then (the mapping moves,
    // nothing is copied); between those times the listed rows stay put.
    int stayed = 0;
    for (std::size_t next = 1000; next < all.size(); next += 500) {
        const std::uint32_t* oldFirst = list.data();
        const std::vector<std::uint32_t> batch(all.begin() + static_cast<std::ptrdiff_t>(next),
                                               all.begin() + static_cast<std::ptrdiff_t>(next + 500));
        const std::vector<std::size_t> taken = InsertSortedRows(list, batch, newestFirst, store);
        stayed += list.data() + 500 == oldFirst ? 1 : 0;
        EXPECT_EQ(taken.front(), 0u);
        EXPECT_EQ(taken.back(), 499u);
        std::vector<std::uint32_t> expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(next + 500));
        SortRows(expected, newestFirst, store);
        ASSERT_TRUE(list == expected) << "at " << next;
    }
    EXPECT_GE(stayed, 3) << "of 6 batches";
    // One batch with both the newest and the oldest packet: part at each end.
    std::vector<Row> ends{{6, "9.1.1.1", "9.1.1.1", 1, 1, 1, {kDay1 + 100000, 0}}, {6, "9.1.1.1", "9.1.1.1", 1, 1, 1, {kDay1 - 5, 0}}};
    const std::vector<std::uint32_t> both = FillStore(store, ends);
    const std::vector<std::size_t> taken = InsertSortedRows(list, both, newestFirst, store);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken.front(), 0u);
    EXPECT_EQ(taken.back(), list.size() - 1);
    std::vector<std::uint32_t> expected = all;
    expected.insert(expected.end(), both.begin(), both.end());
    SortRows(expected, newestFirst, store);
    EXPECT_TRUE(list == expected);
}

// A live capture merges a batch at every event-loop turn into a list that may
// hold millions of rows: the merge must reuse the list's room, not rebuild it.
TEST(SortedInsertion, MergesIntoTheListsOwnBufferWhenItHasRoom) {
    PacketStore store;
    const std::vector<std::uint32_t> all = FillStore(store, RandomRows(500, 31u));
    const RowOrder order{SortColumn::SrcPort, SortOrder::Descending};
    std::vector<std::uint32_t> rows(all.begin(), all.begin() + 300);
    SortRows(rows, order, store);
    rows.reserve(all.size());
    const std::uint32_t* buffer = rows.data();
    const std::vector<std::uint32_t> batch(all.begin() + 300, all.end());
    InsertSortedRows(rows, batch, order, store);
    EXPECT_EQ(rows.data(), buffer);
    std::vector<std::uint32_t> expected = all;
    SortRows(expected, order, store);
    EXPECT_EQ(rows, expected);
}

TEST(SortRows, AgreesWithAStableSortOnTheCellValues) {
    PacketStore store;
    const std::vector<std::uint32_t> all = FillStore(store, RandomRows(2000, 99u));
    auto address = [](std::uint32_t a) { return ntohl(a); };
    // Each column's value as the user reads it, compared plainly.
    auto less = [&](int column, std::uint32_t x, std::uint32_t y) {
        const clV& a = *store.Get(RowKey(x));
        const clV& b = *store.Get(RowKey(y));
        switch (static_cast<SortColumn>(column)) {
            case SortColumn::Protocol: return a.mProtocol() < b.mProtocol();
            case SortColumn::SrcAddr: return address(a.SrcAddress()) < address(b.SrcAddress());
            case SortColumn::DestAddr: return address(a.DestAddress()) < address(b.DestAddress());
            case SortColumn::SrcPort:
                return a.mSrcPort().empty() != b.mSrcPort().empty() ? a.mSrcPort().empty()
                                                                    : std::atoi(a.mSrcPort().c_str()) < std::atoi(b.mSrcPort().c_str());
            case SortColumn::DestPort:
                return a.mDestPort().empty() != b.mDestPort().empty() ? a.mDestPort().empty()
                                                                      : std::atoi(a.mDestPort().c_str()) < std::atoi(b.mDestPort().c_str());
            case SortColumn::Size: return a.Size() < b.Size();
            case SortColumn::Time: return *a.Timestamp() < *b.Timestamp();
        }
        return false;
    };
    for (int column = 0; column < kSortColumnCount; ++column) {
        std::vector<std::uint32_t> ascending = all, descending = all;
        SortRows(ascending, {static_cast<SortColumn>(column), SortOrder::Ascending}, store);
        SortRows(descending, {static_cast<SortColumn>(column), SortOrder::Descending}, store);
        std::vector<std::uint32_t> expectedUp = all, expectedDown = all;
        std::stable_sort(expectedUp.begin(), expectedUp.end(),
                         [&](std::uint32_t x, std::uint32_t y) { return less(column, x, y); });
        std::stable_sort(expectedDown.begin(), expectedDown.end(),
                         [&](std::uint32_t x, std::uint32_t y) { return less(column, y, x); });
        EXPECT_EQ(ascending, expectedUp) << "column " << column;
        EXPECT_EQ(descending, expectedDown) << "column " << column;
    }
}

}  // namespace
}  // namespace wirelens
