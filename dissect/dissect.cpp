#include "dissect/dissect.h"

#include <algorithm>

#include "dissect/icmp.h"
#include "dissect/igmp.h"
#include "dissect/ipv4.h"
#include "dissect/protocol_names.h"
#include "dissect/tcp.h"
#include "dissect/text.h"
#include "dissect/udp.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint8_t kIcmp = 1, kIgmp = 2, kTcp = 6, kUdp = 17;
constexpr std::uint32_t kMaxIpv4Payload = 65535 - kIpv4MinimumHeader;

// A first fragment's UDP length counts the whole datagram, not this fragment.
std::uint32_t TransportLength(const Ipv4Header& ip) {
    return ip.moreFragments && ip.protocol == kUdp ? kMaxIpv4Payload : ip.payloadLength;
}

}  // namespace

void AppendDatagramSummary(std::span<const std::uint8_t> bytes, std::uint32_t wireLength, std::string& out) {
    const ByteReader datagram(bytes);
    const Ipv4Header ip = DecodeIpv4(datagram, wireLength);
    AppendIpv4Problem(ip, out);
    if (!ip.Usable()) return;
    if (ip.fragmentOffset != 0) {
        AppendIpv4Fragment(ip, out);
        return;
    }
    const std::uint32_t length = TransportLength(ip);
    switch (ip.protocol) {
    case kTcp:
        AppendTcpSummary(DecodeTcp(ip.payload, length), ip.payload, out);
        break;
    case kUdp:
        AppendUdpSummary(DecodeUdp(ip.payload, length), out);
        break;
    case kIcmp:
        AppendIcmpSummary(DecodeIcmp(ip.payload, length), out);
        break;
    case kIgmp:
        AppendIgmpSummary(DecodeIgmp(ip.payload, length), out);
        break;
    default:
        AppendOtherSummary(ip.protocol, ip.payload, length, out);
        break;
    }
    if (ip.moreFragments) {
        out += " (";
        AppendIpv4Fragment(ip, out);
        out += ')';
    }
}

std::string DatagramSummary(std::span<const std::uint8_t> bytes, std::uint32_t wireLength) {
    std::string out;
    AppendDatagramSummary(bytes, wireLength, out);
    return out;
}

DissectTree DissectDatagram(std::span<const std::uint8_t> bytes, std::uint32_t wireLength) {
    DissectTree tree;
    const ByteReader datagram(bytes);
    const auto kept = static_cast<std::uint32_t>(bytes.size());
    wireLength = std::max(wireLength, kept);
    {
        LayerBuilder frame(tree, "Datagram: " + Decimal(wireLength) + " bytes on wire, " + Decimal(kept) +
                                     " bytes kept", datagram, 0);
        frame.Note("Length on Wire", Decimal(wireLength));
        frame.Note("Bytes Kept", Decimal(kept));
    }
    const Ipv4Header ip = DecodeIpv4(datagram, wireLength);
    AddIpv4Layer(ip, datagram, 0, tree);
    if (!ip.Usable()) return tree;
    const std::uint32_t base = ip.headerLength;
    if (ip.fragmentOffset != 0) {
        LayerBuilder fragment(tree, "Fragment data", ip.payload, base);
        std::string text;
        AppendIpv4Fragment(ip, text);
        fragment.Note("Fragment", std::move(text));
        fragment.Note("Length", Decimal(ip.payloadLength));
        return tree;
    }
    const std::uint32_t length = TransportLength(ip);
    switch (ip.protocol) {
    case kTcp:
        AddTcpLayer(DecodeTcp(ip.payload, length), ip.payload, base, tree);
        break;
    case kUdp:
        AddUdpLayers(DecodeUdp(ip.payload, length), ip.payload, base, tree);
        break;
    case kIcmp:
        AddIcmpLayers(DecodeIcmp(ip.payload, length), ip.payload, base, tree);
        break;
    case kIgmp:
        AddIgmpLayer(DecodeIgmp(ip.payload, length), ip.payload, base, tree);
        break;
    default:
        AddOtherLayer(ip.protocol, ip.payload, length, base, tree);
        break;
    }
    return tree;
}

}  // namespace wirelens::dissect
