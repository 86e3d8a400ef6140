// Link-layer removal: every link type, with padded, truncated and oversized frames.
#include "capture/link_layer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "capture/decode.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::BuildDatagram;
using testing::DatagramFields;

Bytes Udp(std::size_t payloadBytes) {
    DatagramFields fields;
    fields.payload = Bytes(payloadBytes, 0x5A);
    return BuildDatagram(fields);
}

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes PaddedTo(Bytes frame, std::size_t length) {
    if (frame.size() < length) frame.resize(length, 0);
    return frame;
}

Bytes Cut(Bytes frame, std::size_t length) {
    frame.resize(std::min(frame.size(), length));
    return frame;
}

Bytes WithTotalLength(Bytes datagram, std::uint16_t totalLength) {
    datagram[2] = static_cast<std::uint8_t>(totalLength >> 8);
    datagram[3] = static_cast<std::uint8_t>(totalLength);
    return datagram;
}

Bytes WithVersion(Bytes datagram, std::uint8_t version) {
    datagram[0] = static_cast<std::uint8_t>((version << 4) | (datagram[0] & 0x0F));
    return datagram;
}

// Destination, source, then the tag types in order and the final EtherType.
Bytes EthernetHeader(std::initializer_list<std::uint16_t> types) {
    Bytes header(12, 0);
    header[0] = 0x02;
    header[6] = 0x02;
    header[11] = 0x01;
    bool first = true;
    for (std::uint16_t type : types) {
        if (!first) {  // tag control information: priority 0, VLAN 100
            header.push_back(0x00);
            header.push_back(0x64);
        }
        header.push_back(static_cast<std::uint8_t>(type >> 8));
        header.push_back(static_cast<std::uint8_t>(type));
        first = false;
    }
    return header;
}

Bytes SllHeader(std::uint16_t protocol) {
    Bytes header(16, 0);
    header[1] = 0x00;  // packet type: to us
    header[3] = 0x01;  // ARPHRD_ETHER
    header[5] = 6;     // address length
    header[14] = static_cast<std::uint8_t>(protocol >> 8);
    header[15] = static_cast<std::uint8_t>(protocol);
    return header;
}

Bytes Sll2Header(std::uint16_t protocol) {
    Bytes header(20, 0);
    header[0] = static_cast<std::uint8_t>(protocol >> 8);
    header[1] = static_cast<std::uint8_t>(protocol);
    header[7] = 2;     // interface index
    header[9] = 0x01;  // ARPHRD_ETHER
    header[11] = 6;    // address length
    return header;
}

Bytes FamilyLittleEndian(std::uint32_t family) {
    return {static_cast<std::uint8_t>(family), static_cast<std::uint8_t>(family >> 8),
            static_cast<std::uint8_t>(family >> 16), static_cast<std::uint8_t>(family >> 24)};
}

Bytes FamilyBigEndian(std::uint32_t family) {
    return {static_cast<std::uint8_t>(family >> 24), static_cast<std::uint8_t>(family >> 16),
            static_cast<std::uint8_t>(family >> 8), static_cast<std::uint8_t>(family)};
}

struct StripCase {
    std::string name;
    LinkType type;
    Bytes frame;
    std::size_t frameWireLength;  // 0: the frame was captured whole
    std::optional<std::size_t> offset;  // where the datagram starts; nothing: not IPv4
    std::size_t length = 0;             // bytes handed on
    std::uint32_t wireLength = 0;
};

void PrintTo(const StripCase& c, std::ostream* os) { *os << c.name; }

std::vector<StripCase> StripCases() {
    const Bytes udp100 = Udp(72);          // 100-byte datagram
    const Bytes udp28 = Udp(0);            // the smallest UDP datagram
    const Bytes udp3028 = Udp(3000);       // larger than the receive buffer
    const Bytes eth = EthernetHeader({0x0800});
    const std::uint16_t ipv4 = 0x0800;
    std::vector<StripCase> cases = {
        {"EthernetUntagged", LinkType::Ethernet, Concat(eth, udp100), 0, 14, 100, 100},
        {"EthernetOneCustomerTag", LinkType::Ethernet,
         Concat(EthernetHeader({0x8100, ipv4}), udp100), 0, 18, 100, 100},
        {"EthernetServiceThenCustomerTag", LinkType::Ethernet,
         Concat(EthernetHeader({0x88A8, 0x8100, ipv4}), udp100), 0, 22, 100, 100},
        {"EthernetTwoCustomerTags", LinkType::Ethernet,
         Concat(EthernetHeader({0x8100, 0x8100, ipv4}), udp100), 0, 22, 100, 100},
        {"EthernetThreeTagsIsNotTaken", LinkType::Ethernet,
         Concat(EthernetHeader({0x8100, 0x8100, 0x8100, ipv4}), udp100), 0, std::nullopt},
        {"EthernetPaddingTrimmedToTotalLength", LinkType::Ethernet,
         PaddedTo(Concat(eth, udp28), 60), 0, 14, 28, 28},
        {"TaggedEthernetPaddingTrimmed", LinkType::Ethernet,
         PaddedTo(Concat(EthernetHeader({0x8100, ipv4}), udp28), 64), 0, 18, 28, 28},
        {"EthernetArpIsNotIpv4", LinkType::Ethernet,
         PaddedTo(EthernetHeader({0x0806}), 60), 0, std::nullopt},
        {"EthernetIpv6IsNotIpv4", LinkType::Ethernet, Concat(EthernetHeader({0x86DD}), udp100),
         0, std::nullopt},
        {"EthernetTypeWithVersion6Nibble", LinkType::Ethernet,
         Concat(eth, WithVersion(udp100, 6)), 0, std::nullopt},
        {"EthernetCutInsideMacAddresses", LinkType::Ethernet, Cut(Concat(eth, udp100), 10), 114,
         std::nullopt},
        {"EthernetCutAfterEtherType", LinkType::Ethernet, Cut(Concat(eth, udp100), 14), 114,
         std::nullopt},
        {"EthernetCutInsideVlanTag", LinkType::Ethernet,
         Cut(Concat(EthernetHeader({0x8100, ipv4}), udp100), 16), 118, std::nullopt},
        {"EthernetCutInsideIpHeaderKeepsCapturedBytes", LinkType::Ethernet,
         Cut(Concat(eth, udp100), 24), 114, 14, 10, 100},
        {"EthernetCutBeforeTotalLengthKeepsCapturedBytes", LinkType::Ethernet,
         Cut(Concat(eth, udp100), 17), 114, 14, 3, 100},
        {"SnapLengthCutKeepsCapturedBytesAndWireLength", LinkType::Ethernet,
         Cut(Concat(eth, udp3028), 14 + 2000 + 8), 14 + 3028, 14, 2000, 3028},
        {"TotalLengthZeroKeepsCapturedBytes", LinkType::Ethernet,
         Concat(eth, WithTotalLength(udp100, 0)), 0, 14, 100, 100},
        {"TotalLengthBelowHeaderKeepsCapturedBytes", LinkType::Ethernet,
         Concat(eth, WithTotalLength(udp100, 19)), 0, 14, 100, 100},
        {"TotalLengthBeyondWireKeepsCapturedBytes", LinkType::Ethernet,
         Concat(eth, WithTotalLength(udp100, 5000)), 0, 14, 100, 100},
        {"LinuxCookedV1", LinkType::LinuxSll, Concat(SllHeader(ipv4), udp100), 0, 16, 100, 100},
        {"LinuxCookedV1PaddingTrimmed", LinkType::LinuxSll,
         PaddedTo(Concat(SllHeader(ipv4), udp28), 62), 0, 16, 28, 28},
        {"LinuxCookedV1Arp", LinkType::LinuxSll, Concat(SllHeader(0x0806), Bytes(28, 1)), 0,
         std::nullopt},
        {"LinuxCookedV1CutInsideHeader", LinkType::LinuxSll,
         Cut(Concat(SllHeader(ipv4), udp100), 15), 116, std::nullopt},
        {"LinuxCookedV2", LinkType::LinuxSll2, Concat(Sll2Header(ipv4), udp100), 0, 20, 100, 100},
        {"LinuxCookedV2PaddingTrimmed", LinkType::LinuxSll2,
         PaddedTo(Concat(Sll2Header(ipv4), udp28), 66), 0, 20, 28, 28},
        {"LinuxCookedV2Ipv6", LinkType::LinuxSll2, Concat(Sll2Header(0x86DD), udp100), 0,
         std::nullopt},
        {"LinuxCookedV2CutInsideHeader", LinkType::LinuxSll2,
         Cut(Concat(Sll2Header(ipv4), udp100), 19), 120, std::nullopt},
        {"RawIpv4", LinkType::Raw, udp100, 0, 0, 100, 100},
        {"RawIpv6", LinkType::Raw, WithVersion(udp100, 6), 0, std::nullopt},
        {"RawEmpty", LinkType::Raw, Bytes{}, 0, std::nullopt},
        {"RawOversizedCutToReceiveBuffer", LinkType::Raw, udp3028, 0, 0, 2000, 3028},
        {"DltIpv4", LinkType::Ipv4, udp100, 0, 0, 100, 100},
        {"DltIpv4Version6", LinkType::Ipv4, WithVersion(udp100, 6), 0, std::nullopt},
        {"NullLittleEndianFamily", LinkType::Null, Concat(FamilyLittleEndian(2), udp100), 0, 4,
         100, 100},
        {"NullBigEndianFamily", LinkType::Null, Concat(FamilyBigEndian(2), udp100), 0, 4, 100,
         100},
        {"NullBsdIpv6Family", LinkType::Null, Concat(FamilyLittleEndian(24), udp100), 0,
         std::nullopt},
        {"NullCutInsideFamily", LinkType::Null, Bytes{2, 0, 0}, 104, std::nullopt},
        {"LoopNetworkOrderFamily", LinkType::Loop, Concat(FamilyBigEndian(2), udp100), 0, 4, 100,
         100},
        {"LoopHostOrderFamily", LinkType::Loop, Concat(FamilyLittleEndian(2), udp100), 0, 4, 100,
         100},
        {"LoopIpv6Family", LinkType::Loop, Concat(FamilyBigEndian(30), udp100), 0, std::nullopt},
    };
    return cases;
}

class StripLinkLayerTest : public ::testing::TestWithParam<StripCase> {};

TEST_P(StripLinkLayerTest, GivesTheDatagramInsideTheFrame) {
    const StripCase& c = GetParam();
    const std::size_t wire = c.frameWireLength != 0 ? c.frameWireLength : c.frame.size();
    const auto result = StripLinkLayer(c.type, c.frame, wire);
    if (!c.offset) {
        EXPECT_FALSE(result.has_value());
        return;
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->bytes.data(), c.frame.data() + *c.offset);
    EXPECT_EQ(result->bytes.size(), c.length);
    EXPECT_EQ(result->wireLength, c.wireLength);
}

// Whatever prefix of a frame was captured, the result stays inside it. Each
// prefix lives in its own exactly sized allocation, so AddressSanitizer
// reports any read past it.
TEST_P(StripLinkLayerTest, EveryCapturedPrefixStaysInsideTheFrame) {
    const StripCase& c = GetParam();
    for (std::size_t length = 0; length <= c.frame.size(); ++length) {
        const Bytes prefix(c.frame.begin(), c.frame.begin() + static_cast<std::ptrdiff_t>(length));
        const auto result = StripLinkLayer(c.type, prefix, c.frame.size());
        if (!result) continue;
        EXPECT_GE(result->bytes.data(), prefix.data()) << "prefix " << length;
        EXPECT_LE(result->bytes.data() + result->bytes.size(), prefix.data() + prefix.size())
            << "prefix " << length;
        EXPECT_LE(result->bytes.size(), kReceiveBufferSize);
        EXPECT_GE(result->wireLength, result->bytes.size());
    }
}

INSTANTIATE_TEST_SUITE_P(LinkTypes, StripLinkLayerTest, ::testing::ValuesIn(StripCases()),
                         [](const auto& info) { return info.param.name; });

TEST(StripLinkLayer, SmallestUdpDatagramInMinimumEthernetFrameHasSizeZero) {
    const Bytes frame = PaddedTo(Concat(EthernetHeader({0x0800}), Udp(0)), 60);
    const auto result = StripLinkLayer(LinkType::Ethernet, frame);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(DecodeDatagram(result->bytes).size, 0);
}

TEST(LinkTypeFromDlt, AcceptsEachStrippableTypeByItsDltNumber) {
    const std::pair<int, LinkType> known[] = {
        {0, LinkType::Null},       {1, LinkType::Ethernet}, {12, LinkType::Raw},
        {108, LinkType::Loop},     {113, LinkType::LinuxSll}, {228, LinkType::Ipv4},
        {276, LinkType::LinuxSll2},
    };
    for (const auto& [dlt, type] : known) {
        const auto converted = LinkTypeFromDlt(dlt);
        ASSERT_TRUE(converted.has_value()) << dlt;
        EXPECT_EQ(*converted, type) << dlt;
    }
}

TEST(LinkTypeFromDlt, RefusesTypesItCannotStrip) {
    for (int dlt : {-1, 2, 9, 14, 101, 105, 127, 229, 1000}) EXPECT_FALSE(LinkTypeFromDlt(dlt)) << dlt;
}

TEST(LinkTypeFromFileLinktype, ReadsRawIpByEveryNumberFilesUseAndTheRestAsDlt) {
    const std::pair<std::uint32_t, LinkType> known[] = {
        {101, LinkType::Raw},  {12, LinkType::Raw},          {14, LinkType::Raw},
        {1, LinkType::Ethernet}, {0x04000001, LinkType::Ethernet},  // FCS length bits above the type
        {276, LinkType::LinuxSll2}, {228, LinkType::Ipv4},    {0, LinkType::Null},
    };
    for (const auto& [linktype, type] : known) {
        const auto converted = LinkTypeFromFileLinktype(linktype);
        ASSERT_TRUE(converted.has_value()) << linktype;
        EXPECT_EQ(*converted, type) << linktype;
    }
    for (std::uint32_t linktype : {105u, 127u, 229u, 0x10065u}) EXPECT_FALSE(LinkTypeFromFileLinktype(linktype)) << linktype;
}

}  // namespace
}  // namespace wirelens
