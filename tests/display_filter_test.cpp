// Display filters against tcpdump: the same crafted datagrams go into a pcap
// file (raw IPv4, kept bytes and original lengths as a capture keeps them), and
// for each expression the datagrams the filter passes must be exactly those
// `tcpdump -r FILE EXPR` prints.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "capture/decode.h"
#include "packets/display_filter.h"
#include "packets/packet_sort.h"
#include "tests/datagram_builder.h"
#include "tests/tcpdump_compare.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;

using testing::Crafted;
using testing::PcapFile;
using testing::RunTcpdump;
using testing::TcpdumpPath;
using testing::TcpdumpRun;

Crafted Whole(std::vector<std::uint8_t> bytes) {
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() > kReceiveBufferSize) bytes.resize(kReceiveBufferSize);
    return {std::move(bytes), length};
}

DatagramFields Udp(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport, std::size_t payload) {
    DatagramFields f;
    f.protocol = kProtocolUdp;
    f.src = src;
    f.dst = dst;
    f.srcPort = sport;
    f.dstPort = dport;
    f.payload = testing::Bytes(payload, 0x41);
    return f;
}

DatagramFields Tcp(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport) {
    DatagramFields f = Udp(src, dst, sport, dport, 8);
    f.protocol = kProtocolTcp;
    f.payload = testing::Bytes(8, 0x42);
    return f;
}

std::vector<std::uint8_t> WithTcpFlags(std::vector<std::uint8_t> d, std::uint8_t flags) {
    const std::size_t ihl = (d[0] & 0x0F) * 4u;
    d[ihl + 12] = 0x50;  // data offset 5 words
    d[ihl + 13] = flags;
    return d;
}

std::vector<std::uint8_t> Icmp(std::uint8_t type, const char* src, const char* dst) {
    DatagramFields f;
    f.protocol = kProtocolIcmp;
    f.src = src;
    f.dst = dst;
    f.payload = testing::Bytes(32, 0x61);
    auto d = BuildDatagram(f);
    d[20] = type;
    return d;
}

// Fragment: flags and offset (in 8-byte units) in bytes 6 and 7.
std::vector<std::uint8_t> Fragment(std::vector<std::uint8_t> d, bool moreFragments, std::uint16_t offset) {
    const std::uint16_t field = static_cast<std::uint16_t>((moreFragments ? 0x2000 : 0) | offset);
    d[6] = static_cast<std::uint8_t>(field >> 8);
    d[7] = static_cast<std::uint8_t>(field & 0xFF);
    return d;
}

std::vector<Crafted> CraftedDatagrams() {
    std::vector<Crafted> all;
    all.push_back(Whole(WithTcpFlags(BuildDatagram(Tcp("198.51.100.2", "198.51.100.1", 40000, 443)), 0x02)));
    all.push_back(Whole(WithTcpFlags(BuildDatagram(Tcp("198.51.100.1", "198.51.100.2", 443, 40000)), 0x12)));
    all.push_back(Whole(WithTcpFlags(BuildDatagram(Tcp("203.0.113.7", "198.51.100.1", 5000, 80)), 0x10)));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40001, 53, 30))));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.1", "198.51.100.2", 53, 40001, 90))));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 5555, 4444, 12))));
    all.push_back(Whole(Icmp(8, "198.51.100.2", "198.51.100.1")));
    all.push_back(Whole(Icmp(0, "198.51.100.1", "198.51.100.2")));
    all.push_back(Whole(Icmp(3, "203.0.113.1", "198.51.100.2")));
    // A UDP datagram to port 80 in two fragments; the second's first bytes look like ports.
    all.push_back(Whole(Fragment(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40002, 80, 64)), true, 0)));
    {
        auto tail = BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 80, 80, 64));
        all.push_back(Whole(Fragment(tail, false, 9)));
    }
    // IP options move the transport header by 4 bytes.
    {
        DatagramFields f = Tcp("198.51.100.2", "198.51.100.1", 40003, 80);
        f.ipOptionBytes = 4;
        all.push_back(Whole(WithTcpFlags(BuildDatagram(f), 0x18)));
    }
    {
        DatagramFields f = Udp("198.51.100.2", "198.51.100.1", 40004, 53, 20);
        f.ipOptionBytes = 8;
        all.push_back(Whole(BuildDatagram(f)));
    }
    // Short datagrams: a cut IPv4 header, and a UDP header kept only in part.
    {
        auto d = BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40005, 53, 10));
        d.resize(10);
        all.push_back({d, 10});
    }
    {
        auto d = BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40006, 53, 100));
        const auto wire = static_cast<std::uint32_t>(d.size());
        d.resize(22);
        all.push_back({d, wire});
    }
    // Lengths around `greater 1000`, and one longer than what is kept.
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40007, 9, 1000 - 28))));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40007, 9, 1001 - 28))));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 40008, 9, 3000 - 28))));
    // Multicast, broadcast, and a protocol without ports.
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "224.0.0.251", 5353, 5353, 40))));
    all.push_back(Whole(BuildDatagram(Udp("198.51.100.2", "255.255.255.255", 68, 67, 40))));
    {
        DatagramFields f;
        f.protocol = 47;
        f.src = "203.0.113.5";
        f.dst = "198.51.100.1";
        f.payload = testing::Bytes(24, 0);
        all.push_back(Whole(BuildDatagram(f)));
    }
    return all;
}

class FilterAgainstTcpdump : public ::testing::TestWithParam<const char*> {};

TEST_P(FilterAgainstTcpdump, PassesWhatTcpdumpPrints) {
    if (TcpdumpPath().empty()) GTEST_SKIP() << "tcpdump is not installed";
    const auto datagrams = CraftedDatagrams();
    PcapFile file(datagrams);
    ASSERT_TRUE(file.Error().empty()) << file.Error();

    const std::string expression = GetParam();
    DisplayFilterResult compiled = DisplayFilter::Compile(expression);
    ASSERT_TRUE(compiled.Ok()) << compiled.error;
    std::set<std::size_t> passed;
    for (std::size_t i = 0; i < datagrams.size(); ++i)
        if (compiled.filter.Matches(datagrams[i].kept, datagrams[i].wireLength)) passed.insert(i);

    const TcpdumpRun tcpdump = RunTcpdump(file.Path(), expression);
    ASSERT_EQ(tcpdump.status, 0) << tcpdump.errors;
    EXPECT_EQ(passed, tcpdump.printed) << expression;
    // A filter that passes all or nothing would prove little.
    EXPECT_FALSE(passed.empty()) << expression;
    EXPECT_LT(passed.size(), datagrams.size()) << expression;
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, FilterAgainstTcpdump,
    ::testing::Values("host 198.51.100.2 and tcp port 443", "udp and not port 53", "icmp[icmptype] == icmp-echo",
                      "ip[6:2] & 0x1fff != 0", "greater 1000", "less 100", "len > 2000", "tcp", "udp", "icmp",
                      "port 80", "udp port 80", "dst port 53", "src host 198.51.100.1", "net 203.0.113.0/24",
                      "ip multicast", "ip proto 47", "tcp[tcpflags] & tcp-syn != 0",
                      "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn", "ip[0] & 0xf > 5",
                      "icmp[icmptype] != icmp-echo and icmp[icmptype] != icmp-echoreply", "udp[8] == 0x41",
                      "portrange 4000-6000", "host 255.255.255.255 or dst host 224.0.0.251",
                      "not ip[6:2] & 0x3fff != 0 and udp", "ip[2:2] > 500"),
    [](const ::testing::TestParamInfo<const char*>& info) {
        std::string name;
        for (const char* c = info.param; *c != '\0'; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return std::to_string(info.index) + "_" + name;
    });

TEST(DisplayFilter, GreaterUsesTheOriginalLengthOfADatagramKeptInPart) {
    const auto long3000 = BuildDatagram(Udp("198.51.100.2", "198.51.100.1", 1, 2, 3000 - 28));
    const std::span<const std::uint8_t> kept(long3000.data(), kReceiveBufferSize);
    DisplayFilterResult greater = DisplayFilter::Compile("greater 2500");
    ASSERT_TRUE(greater.Ok()) << greater.error;
    EXPECT_TRUE(greater.filter.Matches(kept, 3000));
    EXPECT_FALSE(greater.filter.Matches(kept, 2000));
    // A field beyond the kept bytes fails the test, as in tcpdump.
    DisplayFilterResult late = DisplayFilter::Compile("ip[2100] == 0x41");
    ASSERT_TRUE(late.Ok()) << late.error;
    EXPECT_FALSE(late.filter.Matches(kept, 3000));
    EXPECT_TRUE(late.filter.Matches(long3000, 3000));
}

TEST(DisplayFilter, BlankExpressionIsNoFilter) {
    for (const char* blank : {"", " ", "\t \n"}) {
        DisplayFilterResult r = DisplayFilter::Compile(blank);
        EXPECT_TRUE(r.Ok());
        EXPECT_TRUE(r.filter.IsEmpty());
        EXPECT_TRUE(r.filter.Matches({}, 0));
    }
    DisplayFilterResult tcp = DisplayFilter::Compile(" tcp ");
    ASSERT_TRUE(tcp.Ok());
    EXPECT_FALSE(tcp.filter.IsEmpty());
    EXPECT_EQ(tcp.filter.Expression(), " tcp ");
    EXPECT_FALSE(tcp.filter.Matches({}, 0));
}

class InvalidExpression : public ::testing::TestWithParam<const char*> {};

TEST_P(InvalidExpression, GivesLibpcapsMessageAsTcpdumpShowsIt) {
    DisplayFilterResult r = DisplayFilter::Compile(GetParam());
    ASSERT_FALSE(r.Ok());
    EXPECT_TRUE(r.filter.IsEmpty());
    if (TcpdumpPath().empty()) GTEST_SKIP() << "tcpdump is not installed";
    PcapFile file(CraftedDatagrams());
    ASSERT_TRUE(file.Error().empty()) << file.Error();
    const TcpdumpRun tcpdump = RunTcpdump(file.Path(), GetParam());
    EXPECT_NE(tcpdump.status, 0);
    EXPECT_NE(tcpdump.errors.find(r.error), std::string::npos) << "ours: " << r.error << "\ntcpdump: " << tcpdump.errors;
}

INSTANTIATE_TEST_SUITE_P(Expressions, InvalidExpression,
                         ::testing::Values("tcp port", "host 198.51.100.300", "frobnicate", "ip[", "port 99999",
                                           "udp and", "ether host 00:11:22:33:44:55"));

// tcpdump reads files with a netmask of 0 and so takes "ip broadcast" as
// 255.255.255.255 or 0.0.0.0 only; a display filter knows no netmask and says so
// rather than silently missing subnet broadcasts.
TEST(DisplayFilter, BroadcastNeedsANetmaskAndSaysSo) {
    DisplayFilterResult r = DisplayFilter::Compile("ip broadcast");
    ASSERT_FALSE(r.Ok());
    EXPECT_NE(r.error.find("netmask not known"), std::string::npos) << r.error;
}

TEST(FilterExpressions, CombineKeepsWhatStandsThereAndGroupsBothSides) {
    EXPECT_EQ(CombineFilterExpressions("", "tcp", FilterJoin::And), "tcp");
    EXPECT_EQ(CombineFilterExpressions("  ", "tcp", FilterJoin::Or), "tcp");
    EXPECT_EQ(CombineFilterExpressions("udp", "tcp", FilterJoin::Replace), "tcp");
    EXPECT_EQ(CombineFilterExpressions("udp or icmp", "host 198.51.100.1", FilterJoin::And),
              "(udp or icmp) and (host 198.51.100.1)");
    EXPECT_EQ(CombineFilterExpressions("udp", "port 53", FilterJoin::Or), "(udp) or (port 53)");
    EXPECT_EQ(CombineFilterExpressions("udp", "", FilterJoin::And), "udp");
    // Grouping matters: "udp or icmp and host X" would mean "(udp or icmp) and host X" only by luck.
    EXPECT_TRUE(DisplayFilter::Compile(CombineFilterExpressions("udp or icmp", "not tcp", FilterJoin::And)).Ok());
}

TEST(FilterExpressions, CellFilterSelectsTheCellsValue) {
    auto record = [](std::uint8_t proto, bool ports) {
        clV r;
        r.add(proto, testing::Addr("198.51.100.2"), ports ? std::optional<std::uint16_t>(40000) : std::nullopt,
              testing::Addr("203.0.113.9"), ports ? std::optional<std::uint16_t>(443) : std::nullopt, 10, 1, {});
        return r;
    };
    const clV tcp = record(kProtocolTcp, true);
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Protocol), tcp), "tcp");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::SrcAddr), tcp), "host 198.51.100.2");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::DestAddr), tcp), "host 203.0.113.9");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::SrcPort), tcp), "port 40000");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::DestPort), tcp), "port 443");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Size), tcp), "");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Time), tcp), "");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Protocol), record(kProtocolUdp, true)), "udp");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Protocol), record(kProtocolIcmp, false)), "icmp");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::Protocol), record(47, false)), "ip proto 47");
    EXPECT_EQ(CellFilterExpression(static_cast<int>(SortColumn::SrcPort), record(kProtocolIcmp, false)), "");
    // Each expression is one libpcap takes.
    for (int column = 0; column < kSortColumnCount; ++column) {
        const std::string e = CellFilterExpression(column, tcp);
        if (!e.empty()) {
            EXPECT_TRUE(DisplayFilter::Compile(e).Ok()) << e;
        }
    }
}

}  // namespace
}  // namespace wirelens
