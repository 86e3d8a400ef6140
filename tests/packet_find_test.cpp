#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/decode.h"
#include "packets/capture_session.h"
#include "packets/packet_find.h"
#include "packets/packet_sort.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

// Packets filed as a capture files them, all listed in capture order.
class Capture {
public:
    std::uint32_t Add(const DatagramFields& fields) {
        const IngestResult filed = mSession.Ingest(BuildDatagram(fields), PacketTime{1700000000, 0});
        mRows.push_back(static_cast<std::uint32_t>(filed.key));
        return static_cast<std::uint32_t>(filed.key);
    }
    std::optional<std::size_t> Find(std::optional<std::size_t> from, FindDirection direction, FindKind kind,
                                    const std::string& text) const {
        const FindQueryResult query = MakeFindQuery(kind, text);
        EXPECT_TRUE(query.Ok()) << query.error;
        const auto found = FindRow(mRows, from, direction, query.query, mSession.Packets(), mSession.Raw());
        // The list's own rows give the same, and a run of rows stays one: finding only reads.
        RowArray list;
        list.assign(mRows);
        const bool wasRun = list.IsRun();
        EXPECT_EQ(FindRow(list, from, direction, query.query, mSession.Packets(), mSession.Raw()), found);
        EXPECT_EQ(list.IsRun(), wasRun);
        return found;
    }
    std::vector<std::uint32_t>& Rows() { return mRows; }

private:
    CaptureSession mSession;
    std::vector<std::uint32_t> mRows;
};

DatagramFields Udp(const char* src, std::uint16_t dport, const std::string& payload) {
    DatagramFields f;
    f.protocol = kProtocolUdp;
    f.src = src;
    f.dst = "198.51.100.1";
    f.dstPort = dport;
    f.payload = Text(payload);
    return f;
}

TEST(ParseHexBytes, TakesPairsWithOrWithoutSeparators) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(ParseHexBytes("41 0a"), Bytes({0x41, 0x0a}));
    EXPECT_EQ(ParseHexBytes("410a"), Bytes({0x41, 0x0a}));
    EXPECT_EQ(ParseHexBytes("41:0A-ff"), Bytes({0x41, 0x0a, 0xff}));
    EXPECT_EQ(ParseHexBytes("  7f  "), Bytes({0x7f}));
    EXPECT_FALSE(ParseHexBytes("410"));    // odd digit count
    EXPECT_FALSE(ParseHexBytes("4 10a"));  // a separator inside a byte
    EXPECT_FALSE(ParseHexBytes("4g"));
    EXPECT_FALSE(ParseHexBytes(""));
    EXPECT_FALSE(ParseHexBytes(" : "));
}

TEST(MakeFindQuery, RefusesWhatCannotBeSearched) {
    EXPECT_FALSE(MakeFindQuery(FindKind::DataBytes, "zz").Ok());
    EXPECT_FALSE(MakeFindQuery(FindKind::RowText, "").Ok());
    EXPECT_FALSE(MakeFindQuery(FindKind::DataText, "").Ok());
    EXPECT_TRUE(MakeFindQuery(FindKind::DataBytes, "410a").Ok());
}

struct FindCase {
    const char* name;
    FindKind kind;
    const char* text;
    std::optional<std::size_t> from;
    FindDirection direction;
    std::optional<std::size_t> found;
};

class FindRows : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindRows, FindsTheNearestMatchingRowGoingRound) {
    Capture capture;
    capture.Add(Udp("198.51.100.2", 53, "hello\nworld"));                   // row 0
    capture.Add(Udp("203.0.113.9", 4444, "GET /index HTTP/1.1"));           // row 1
    {
        DatagramFields tcp = Udp("198.51.100.2", 443, "ABC\n");
        tcp.protocol = kProtocolTcp;
        capture.Add(tcp);                                                // row 2
    }
    capture.Add(Udp("198.51.100.7", 53, "plain"));                          // row 3
    const FindCase& c = GetParam();
    EXPECT_EQ(capture.Find(c.from, c.direction, c.kind, c.text), c.found);
}

using D = FindDirection;
using K = FindKind;
INSTANTIATE_TEST_SUITE_P(
    Cases, FindRows,
    ::testing::Values(
        FindCase{"RowTextAddress", K::RowText, "203.0.113", std::nullopt, D::Next, 1},
        FindCase{"RowTextProtocolIgnoresCase", K::RowText, "tcp", std::nullopt, D::Next, 2},
        FindCase{"RowTextPortNextAfterSelection", K::RowText, "53", 0, D::Next, 3},
        FindCase{"RowTextGoesRoundTheEnd", K::RowText, "53", 3, D::Next, 0},
        FindCase{"RowTextPreviousGoesRoundTheStart", K::RowText, "53", 0, D::Previous, 3},
        FindCase{"PreviousWithoutSelectionStartsAtTheEnd", K::RowText, "198.51.100.2", std::nullopt, D::Previous, 2},
        FindCase{"SelectedRowIsLookedAtLast", K::RowText, "203.0.113.9", 1, D::Next, 1},
        FindCase{"RowTextNotFound", K::RowText, "10.9.9.9", std::nullopt, D::Next, std::nullopt},
        FindCase{"DataTextIgnoresCase", K::DataText, "index http", std::nullopt, D::Next, 1},
        FindCase{"DataTextOnlyInTheData", K::DataText, "198.51", std::nullopt, D::Next, std::nullopt},
        FindCase{"DataBytesSpaced", K::DataBytes, "41 42 43 0a", std::nullopt, D::Next, 2},
        FindCase{"DataBytesPacked", K::DataBytes, "6f0a77", std::nullopt, D::Next, 0},
        // The UDP header holds 00 35 (port 53), but headers are not the data.
        FindCase{"DataBytesNotInHeaders", K::DataBytes, "0035", std::nullopt, D::Next, std::nullopt}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST(FindRows, FollowsTheListsOrderNotCaptureOrder) {
    Capture capture;
    capture.Add(Udp("198.51.100.2", 53, "x"));
    capture.Add(Udp("198.51.100.3", 53, "x"));
    capture.Add(Udp("198.51.100.4", 54, "x"));
    std::vector<std::uint32_t>& rows = capture.Rows();
    rows = {3, 1, 2};  // as a sort might leave them
    EXPECT_EQ(capture.Find(0, D::Next, K::RowText, "53"), 1u);
    EXPECT_EQ(capture.Find(std::nullopt, D::Previous, K::RowText, "54"), 0u);
}

TEST(RowOfSequence, FindsThePacketsRowWhereverItIs) {
    const std::vector<std::uint32_t> rows = {5, 2 | kRowOutgoingBit, 9};
    EXPECT_EQ(RowOfSequence(rows, 2), 1u);
    EXPECT_EQ(RowOfSequence(rows, 9), 2u);
    EXPECT_FALSE(RowOfSequence(rows, 3));  // hidden by a mode or filter
    EXPECT_FALSE(RowOfSequence(std::span<const std::uint32_t>(), 1));
    RowArray run;
    run.assign(std::vector<std::uint32_t>{7, 8 | kRowOutgoingBit, 9});
    EXPECT_EQ(RowOfSequence(run, 8), 1u);
    EXPECT_FALSE(RowOfSequence(run, 6));
    EXPECT_TRUE(run.IsRun());
}

TEST(PacketData, StaysInsideTheKeptBytesAndTheLength) {
    Capture capture;
    const auto bytes = BuildDatagram(Udp("198.51.100.2", 53, "abcdef"));
    clV record;
    record.add(kProtocolUdp, 0, std::uint16_t{1}, 0, std::uint16_t{2}, 4, 1, {});
    EXPECT_EQ(PacketData(record, bytes).size(), 4u);
    EXPECT_EQ(PacketData(record, std::span(bytes).first(30)).size(), 2u);
    EXPECT_TRUE(PacketData(record, std::span(bytes).first(20)).empty());
    record.add(kProtocolUdp, 0, std::uint16_t{1}, 0, std::uint16_t{2}, -3, 1, {});
    EXPECT_TRUE(PacketData(record, bytes).empty());
}

}  // namespace
}  // namespace wirelens
