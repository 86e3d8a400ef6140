// The true decode on real datagrams: summaries as tcpdump prints them, each
// datagram cut at every length, headers that contradict themselves, and the
// byte ranges of the field tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dissect/dissect.h"
#include "tests/dissect_fixtures.h"

namespace wirelens::dissect {
namespace {

using namespace wirelens::testing;

// Cuts shorter than `end` (and not shorter than the boundary before) end with `marker`.
struct Boundary {
    std::size_t end;
    std::string marker;
};

struct DatagramCase {
    std::string name;
    ByteVector bytes;
    std::string summary;  // of the whole datagram
    std::vector<Boundary> boundaries;
};

std::string PrintCaseName(const ::testing::TestParamInfo<DatagramCase>& info) { return info.param.name; }

std::vector<DatagramCase> DatagramCases() {
    const Boundary ip{20, "[|ip]"};
    return {
        {"TcpSynAckWithOptions", TcpSynAck(),
         "Flags [S.], seq 3405691582, ack 1, win 64240, options [mss 1460,sackOK,TS val 1 ecr 2,nop,wscale 7], "
         "length 0",
         {ip, {40, "[|tcp]"}, {60, "[|tcp]"}}},
        {"TcpDataCountsOnlyPayload", TcpData(),
         "Flags [P.], seq 1000:1100, ack 2000, win 502, options [nop,nop,TS val 3 ecr 4], length 100",
         {ip, {40, "[|tcp]"}, {52, "[|tcp]"}}},
        {"TcpSackBlocks", TcpSack(),
         "Flags [.], ack 9, win 100, options [nop,nop,sack 2 {100:200}{300:400}], length 0",
         {ip, {40, "[|tcp]"}, {60, "[|tcp]"}}},
        {"DnsQuery", DnsQuery(), "4660+ A? example.test. (30)", {ip, {28, "[|udp]"}, {40, "[|domain]"}, {58, "[|domain]"}}},
        {"DnsResponseNxDomain", DnsResponse(), "4660 NXDomain* q: AAAA? nowhere.example.test. 0/1/0 (84)",
         {ip, {28, "[|udp]"}, {40, "[|domain]"}, {66, "[|domain]"}}},
        {"IcmpEchoRequest", IcmpEchoRequest(), "ICMP echo request, id 7, seq 1, length 64", {ip, {28, "ICMP [|icmp]"}}},
        {"IcmpPortUnreachable", IcmpPortUnreachable(),
         "ICMP 198.51.100.2 udp port 9 unreachable, length 40 (UDP 198.51.100.1.40000 > 198.51.100.2.9)",
         {ip, {28, "ICMP [|icmp]"}, {48, "[|icmp]"}, {52, "[|icmp]"}}},
        {"IcmpTimeExceededQuotesTcp", IcmpTimeExceeded(),
         "ICMP time exceeded in-transit, length 36 (TCP 198.51.100.1.40000 > 203.0.113.9.80)",
         {ip, {28, "ICMP [|icmp]"}, {48, "[|icmp]"}, {52, "[|icmp]"}}},
        {"MiddleFragment", UdpFragment(), "frag id 4321, offset 600, more", {ip}},
        {"DhcpDiscover", DhcpDiscover(),
         "BOOTP/DHCP, Request from 02:00:5e:00:01:aa, length 244, xid 0x3903f326, DHCP Discover",
         {ip, {28, "[|udp]"}, {264, "[|bootp]"}, {271, "[|bootp]"}}},
        {"NtpClient", NtpClient(), "NTPv4, Client, length 48", {ip, {28, "[|udp]"}, {29, "[|ntp]"}}},
        {"IgmpV2Report", IgmpV2Report(), "igmp v2 report 224.0.0.251", {ip, {28, "[|igmp]"}}},
        {"EspSpiAndSequence", Esp(), "ESP(spi=0x00001234,seq=0x1), length 32", {ip, {28, "ESP [|esp]"}}},
        {"GreByName", Gre(), "GRE, length 24", {ip}},
    };
}

class DatagramSummaryTest : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(DatagramSummaryTest, WholeDatagramReadsAsTcpdumpPrintsIt) {
    const auto& c = GetParam();
    EXPECT_EQ(DatagramSummary(c.bytes, static_cast<std::uint32_t>(c.bytes.size())), c.summary);
}

// The wire length stays the datagram's: a datagram kept short is still
// described by its true lengths, and a header cut short says where.
TEST_P(DatagramSummaryTest, EveryCutLengthEndsWhereTheBytesEnd) {
    const auto& c = GetParam();
    const auto wire = static_cast<std::uint32_t>(c.bytes.size());
    for (std::size_t kept = 0; kept <= c.bytes.size(); ++kept) {
        SCOPED_TRACE("kept " + std::to_string(kept));
        const std::span<const std::uint8_t> bytes(c.bytes.data(), kept);
        const std::string summary = DatagramSummary(bytes, wire);
        const auto boundary = std::find_if(c.boundaries.begin(), c.boundaries.end(),
                                           [&](const Boundary& b) { return kept < b.end; });
        if (boundary == c.boundaries.end()) {
            EXPECT_EQ(summary, c.summary);
        } else {
            EXPECT_TRUE(summary.ends_with(boundary->marker)) << summary;
        }
        for (const auto& layer : DissectDatagram(bytes, wire).layers) {
            EXPECT_LE(layer.offset + layer.length, kept) << layer.title;
            for (const auto& field : layer.fields) {
                EXPECT_LE(field.offset + field.length, kept) << layer.title << ": " << field.name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dissect, DatagramSummaryTest, ::testing::ValuesIn(DatagramCases()), PrintCaseName);

// Headers that contradict themselves or the wire are said so, not trusted.
struct ContradictionCase {
    std::string name;
    ByteVector bytes;
    std::uint32_t wireLength;  // 0: the bytes' size
    std::string summary;
};

std::string PrintContradictionName(const ::testing::TestParamInfo<ContradictionCase>& info) {
    return info.param.name;
}

ByteVector With(ByteVector bytes, std::size_t offset, std::initializer_list<std::uint8_t> values) {
    std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

ByteVector Kept(ByteVector bytes, std::size_t count) {
    bytes.resize(count);
    return bytes;
}

// The SYN-ACK with a 4-byte Router Alert option in its IPv4 header.
ByteVector SynAckWithIpOption() {
    ByteVector bytes = TcpSynAck();
    const ByteVector option{0x94, 0x04, 0x00, 0x00};
    bytes.insert(bytes.begin() + 20, option.begin(), option.end());
    bytes[0] = 0x46;
    bytes[3] = static_cast<std::uint8_t>(bytes.size());
    return bytes;
}

// Ethernet pads a short frame; the padding is not the segment's.
ByteVector SackWithLinkPadding() {
    ByteVector bytes = TcpSack();
    bytes.insert(bytes.end(), 6, 0);
    return bytes;
}

// A query for www.example.test. whose name ends in a pointer to a later
// "example.test." (RFC 1035 section 4.1.4).
ByteVector DnsQueryWithPointer() {
    ByteVector bytes = DnsQuery();
    bytes.resize(40);
    // "\3www", a pointer to offset 22, type A, class IN, then "\7example\4test\0" at 22.
    const ByteVector message = FromHex("03777777c01600010001076578616d706c650474657374" "00");
    bytes.insert(bytes.end(), message.begin(), message.end());
    bytes[3] = static_cast<std::uint8_t>(bytes.size());
    bytes[25] = static_cast<std::uint8_t>(bytes.size() - 20);
    return bytes;
}

std::vector<ContradictionCase> ContradictionCases() {
    const std::string synAck =
        "Flags [S.], seq 3405691582, ack 1, win 64240, options [mss 1460,sackOK,TS val 1 ecr 2,nop,wscale 7], length 0";
    return {
        {"HeaderLengthUnder20", With(TcpSynAck(), 0, {0x44}), 0, "bad-hlen 16"},
        {"NotVersion4", With(TcpSynAck(), 0, {0x65}), 0, "IP6, wrong version"},
        {"TotalLengthUnderHeader", With(TcpSynAck(), 2, {0x00, 0x0a}), 0, "bad-len 10"},
        {"TotalLengthBeyondWire", With(DnsQuery(), 2, {0x00, 0x46}), 0,
         "truncated-ip - 12 bytes missing! 4660+ A? example.test. (30)"},
        {"HeaderLongerThanDatagram", With(IgmpV2Report(), 0, {0x4f, 0x00, 0x00, 0x3c}), 0, "bad-hlen 60 beyond the datagram"},
        {"TcpReadAtTheRealHeaderLength", SynAckWithIpOption(), 0, synAck},
        {"IpOptionsCut", Kept(SynAckWithIpOption(), 22), 64, "[|ip]"},
        {"LinkPaddingIsNotPayload", SackWithLinkPadding(), 0,
         "Flags [.], ack 9, win 100, options [nop,nop,sack 2 {100:200}{300:400}], length 0"},
        {"TcpDataOffsetUnder20", With(TcpSynAck(), 32, {0x40}), 0, "[bad hdr length 16 - too short, < 20]"},
        {"TcpDataOffsetBeyondSegment", With(TcpSynAck(), 32, {0xf0}), 0, "[bad hdr length 60 - too long, > segment]"},
        {"TcpOptionLengthBeyondHeader", With(TcpSynAck(), 40, {0x02, 0x30}), 0,
         "Flags [S.], seq 3405691582, ack 1, win 64240, options [[bad opt]], length 0"},
        {"TcpOptionWrongLengthForKind", With(TcpSynAck(), 40, {0x02, 0x03}), 0,
         "Flags [S.], seq 3405691582, ack 1, win 64240, options [[bad opt]], length 0"},
        {"UdpLengthBeyondSegment", With(DnsQuery(), 24, {0x00, 0x64}), 0, "UDP, bad length 100 > 38"},
        {"UdpLengthUnder8", With(DnsQuery(), 24, {0x00, 0x04}), 0, "UDP, bad length 4 < 8"},
        {"DnsNamePointingAtItself", With(DnsQuery(), 40, {0xc0, 0x0c}), 0, "4660+ [|domain]"},
        {"DnsNameWithCompression", DnsQueryWithPointer(), 0, "4660+ A? www.example.test. (36)"},
        {"DnsLabelBytesEscaped", With(DnsQuery(), 41, {'a', ' ', '.'}), 0, "4660+ A? a\\032\\046mple.test. (30)"},
        {"UnknownProtocolByNumber", With(Gre(), 9, {253}), 0, "ip-proto-253, length 24"},
        {"FirstFragmentSaysSo", With(DnsQuery(), 6, {0x20, 0x00}), 0,
         "4660+ A? example.test. (30) (frag id 1, offset 0, more)"},
    };
}

class ContradictionTest : public ::testing::TestWithParam<ContradictionCase> {};

TEST_P(ContradictionTest, IsSaidNotTrusted) {
    const auto& c = GetParam();
    const auto wire = c.wireLength != 0 ? c.wireLength : static_cast<std::uint32_t>(c.bytes.size());
    EXPECT_EQ(DatagramSummary(c.bytes, wire), c.summary);
}

INSTANTIATE_TEST_SUITE_P(Dissect, ContradictionTest, ::testing::ValuesIn(ContradictionCases()),
                         PrintContradictionName);

// Finds a field by layer title prefix and field name.
const DissectField* FindField(const DissectTree& tree, std::string_view layerPrefix, std::string_view name,
                              std::size_t nth = 0) {
    for (const auto& layer : tree.layers) {
        if (!layer.title.starts_with(layerPrefix)) continue;
        for (const auto& field : layer.fields) {
            if (field.name == name && nth-- == 0) return &field;
        }
    }
    return nullptr;
}

struct FieldCase {
    std::string name;
    ByteVector bytes;
    std::string layer;
    std::string field;
    std::size_t nth;
    std::string value;
    std::uint32_t offset;
    std::uint32_t length;
    std::uint8_t depth;
};

std::string PrintFieldName(const ::testing::TestParamInfo<FieldCase>& info) { return info.param.name; }

std::vector<FieldCase> FieldCases() {
    return {
        {"IpTimeToLive", TcpSynAck(), "Internet Protocol", "Time to Live", 0, "64", 8, 1, 0},
        {"IpFragmentOffsetInBytes", UdpFragment(), "Internet Protocol", "Fragment Offset", 0, "600", 6, 2, 0},
        {"IpOptionBehindHeader", SynAckWithIpOption(), "Internet Protocol", "Option", 0, "148 (RA)", 20, 4, 1},
        {"TcpWindowAfterIpOption", SynAckWithIpOption(), "Transmission", "Window", 0, "64240", 38, 2, 0},
        {"TcpFirstOption", TcpSynAck(), "Transmission", "Option", 0, "mss 1460", 40, 4, 1},
        {"TcpTimestampOption", TcpSynAck(), "Transmission", "Option", 2, "TS val 1 ecr 2", 46, 10, 1},
        {"TcpSackOption", TcpSack(), "Transmission", "Option", 2, "sack 2 {100:200}{300:400}", 42, 18, 1},
        {"DnsQuestionName", DnsQuery(), "Domain Name System", "Name", 0, "example.test.", 40, 14, 1},
        {"DnsQuestionType", DnsQuery(), "Domain Name System", "Type", 0, "1 (A)", 54, 2, 1},
        {"DnsReplyCode", DnsResponse(), "Domain Name System", "Reply Code", 0, "3 (NXDomain)", 31, 1, 1},
        {"IcmpEchoSequence", IcmpEchoRequest(), "Internet Control", "Sequence Number", 0, "1", 26, 2, 0},
        {"IcmpQuotedDestination", IcmpPortUnreachable(), "Quoted Internet Protocol", "Destination Address", 0,
         "198.51.100.2", 44, 4, 0},
        {"IcmpQuotedPort", IcmpPortUnreachable(), "Quoted UDP", "Destination Port", 0, "9", 50, 2, 0},
        {"DhcpMessageType", DhcpDiscover(), "Dynamic Host", "DHCP Message Type", 0, "1 (Discover)", 268, 3, 0},
        {"DhcpClientMac", DhcpDiscover(), "Dynamic Host", "Client MAC Address", 0, "02:00:5e:00:01:aa", 56, 6, 0},
        {"NtpMode", NtpClient(), "Network Time", "Mode", 0, "3 (Client)", 28, 1, 0},
        {"IgmpGroup", IgmpV2Report(), "Internet Group", "Group Address", 0, "224.0.0.251", 24, 4, 0},
        {"EspSpi", Esp(), "ESP", "Security Parameters Index", 0, "0x00001234", 20, 4, 0},
    };
}

class FieldTreeTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldTreeTest, FieldCoversItsBytes) {
    const auto& c = GetParam();
    const DissectTree tree = DissectDatagram(c.bytes, static_cast<std::uint32_t>(c.bytes.size()));
    const DissectField* field = FindField(tree, c.layer, c.field, c.nth);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->value, c.value);
    EXPECT_EQ(field->offset, c.offset);
    EXPECT_EQ(field->length, c.length);
    EXPECT_EQ(field->depth, c.depth);
}

INSTANTIATE_TEST_SUITE_P(Dissect, FieldTreeTest, ::testing::ValuesIn(FieldCases()), PrintFieldName);

TEST(DissectTree, LayersFollowTheDatagramInOrder) {
    const ByteVector bytes = IcmpPortUnreachable();
    const DissectTree tree = DissectDatagram(bytes, static_cast<std::uint32_t>(bytes.size()));
    std::vector<std::string> titles;
    std::vector<std::uint32_t> offsets;
    for (const auto& layer : tree.layers) {
        titles.push_back(layer.title);
        offsets.push_back(layer.offset);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{
                          "Datagram: 60 bytes on wire, 60 bytes kept",
                          "Internet Protocol Version 4, Src: 198.51.100.2, Dst: 198.51.100.1",
                          "Internet Control Message Protocol",
                          "Quoted Internet Protocol Version 4, Src: 198.51.100.1, Dst: 198.51.100.2",
                          "Quoted UDP ports",
                      }));
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 0, 20, 28, 48}));
}

TEST(DissectSummary, AppendsToWhatIsAlreadyThere) {
    const ByteVector bytes = IgmpV2Report();
    std::string out = "x ";
    AppendDatagramSummary(bytes, static_cast<std::uint32_t>(bytes.size()), out);
    EXPECT_EQ(out, "x igmp v2 report 224.0.0.251");
}

}  // namespace
}  // namespace wirelens::dissect
