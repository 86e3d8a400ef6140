#include "capture/decode.h"

#include <cctype>

#include "capture/byte_reader.h"

namespace wirelens {

namespace {
constexpr std::size_t kProtocolOffset = 9;
constexpr std::size_t kSrcAddrOffset = 12;
constexpr std::size_t kDstAddrOffset = 16;
// The transport header is taken to start here whatever the IPv4 header length says.
constexpr std::size_t kSrcPortOffset = 20;
constexpr std::size_t kDstPortOffset = 22;

char* WriteDecimal(unsigned value, char* out) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}
}  // namespace

int HeaderLengthOf(std::uint8_t protocol) {
    switch (protocol) {
        case kProtocolTcp: return kTcpDataOffset;
        case kProtocolUdp: return kUdpDataOffset;
        default: return kIpHeaderLength;  // ICMP's own header counts as data
    }
}

DecodedDatagram DecodeDatagram(std::span<const std::uint8_t> bytes) {
    const ByteReader reader(bytes);
    DecodedDatagram d;
    d.protocol = reader.U8(kProtocolOffset);
    d.srcAddr = reader.U32Raw(kSrcAddrOffset);
    d.dstAddr = reader.U32Raw(kDstAddrOffset);
    d.hasPorts = d.protocol == kProtocolTcp || d.protocol == kProtocolUdp;
    if (d.hasPorts) {
        d.srcPort = reader.U16Be(kSrcPortOffset);
        d.dstPort = reader.U16Be(kDstPortOffset);
    }
    d.headerLength = HeaderLengthOf(d.protocol);
    d.size = static_cast<std::int32_t>(bytes.size()) - d.headerLength;
    return d;
}

std::string ProtocolText(std::uint8_t protocol) {
    switch (protocol) {
        case kProtocolIcmp: return "ICMP";
        case kProtocolTcp: return "TCP";
        case kProtocolUdp: return "UDP";
        default: {
            char buf[4];
            return std::string(buf, WriteDecimal(protocol, buf));
        }
    }
}

int DataOffsetOfProtocolText(std::string_view protocolText) {
    std::string upper(protocolText);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "TCP") return kTcpDataOffset;
    if (upper == "UDP") return kUdpDataOffset;
    return kIpHeaderLength;
}

std::size_t AddressToText(std::uint32_t networkOrder, char* out) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&networkOrder);
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) *p++ = '.';
        p = WriteDecimal(b[i], p);
    }
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

std::string AddressToText(std::uint32_t networkOrder) {
    char buf[16];
    return std::string(buf, AddressToText(networkOrder, buf));
}

}  // namespace wirelens
