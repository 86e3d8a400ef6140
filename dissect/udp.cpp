#include "dissect/udp.h"

#include <algorithm>

#include "dissect/dhcp.h"
#include "dissect/dns.h"
#include "dissect/ntp.h"
#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint16_t kPortDns = 53, kPortMdns = 5353, kPortDhcpServer = 67, kPortDhcpClient = 68,
                        kPortNtp = 123;

UdpHeader::Application ApplicationOf(std::uint16_t port) {
    switch (port) {
    case kPortDns:
    case kPortMdns: return UdpHeader::Application::Dns;
    case kPortDhcpServer:
    case kPortDhcpClient: return UdpHeader::Application::Dhcp;
    case kPortNtp: return UdpHeader::Application::Ntp;
    default: return UdpHeader::Application::None;
    }
}

}  // namespace

UdpHeader DecodeUdp(const ByteReader& segment, std::uint32_t segmentLength) {
    UdpHeader udp;
    udp.segmentLength = segmentLength;
    if (!segment.Has(0, kUdpHeader)) {
        udp.problem = UdpHeader::Problem::Cut;
        return udp;
    }
    udp.srcPort = segment.U16Be(0);
    udp.dstPort = segment.U16Be(2);
    udp.length = segment.U16Be(4);
    udp.checksum = segment.U16Be(6);
    if (udp.length < kUdpHeader) {
        udp.problem = UdpHeader::Problem::LengthTooShort;
        return udp;
    }
    if (udp.length > segmentLength) {
        udp.problem = UdpHeader::Problem::LengthTooLong;
        return udp;
    }
    udp.payloadLength = udp.length - kUdpHeader;
    udp.payload = segment.Sub(kUdpHeader, udp.payloadLength);
    // The lower port names the service, as a server's port usually is.
    udp.application = ApplicationOf(std::min(udp.srcPort, udp.dstPort));
    if (udp.application == UdpHeader::Application::None) {
        udp.application = ApplicationOf(std::max(udp.srcPort, udp.dstPort));
    }
    return udp;
}

void AppendUdpSummary(const UdpHeader& udp, std::string& out) {
    switch (udp.problem) {
    case UdpHeader::Problem::None:
        break;
    case UdpHeader::Problem::Cut:
        out += "[|udp]";
        return;
    case UdpHeader::Problem::LengthTooShort:
        out += "UDP, bad length ";
        AppendDecimal(out, udp.length);
        out += " < 8";
        return;
    case UdpHeader::Problem::LengthTooLong:
        out += "UDP, bad length ";
        AppendDecimal(out, udp.length);
        out += " > ";
        AppendDecimal(out, udp.segmentLength);
        return;
    }
    switch (udp.application) {
    case UdpHeader::Application::Dns:
        AppendDnsSummary(DecodeDns(udp.payload, udp.payloadLength), udp.payload, out);
        return;
    case UdpHeader::Application::Dhcp:
        AppendDhcpSummary(DecodeDhcp(udp.payload, udp.payloadLength), out);
        return;
    case UdpHeader::Application::Ntp:
        AppendNtpSummary(DecodeNtp(udp.payload, udp.payloadLength), out);
        return;
    case UdpHeader::Application::None:
        out += "UDP, length ";
        AppendDecimal(out, udp.payloadLength);
        return;
    }
}

void AddUdpLayers(const UdpHeader& udp, const ByteReader& segment, std::uint32_t base, DissectTree& tree) {
    std::string title = "User Datagram Protocol";
    if (udp.problem != UdpHeader::Problem::Cut) {
        title += ", Src Port: " + Decimal(udp.srcPort) + ", Dst Port: " + Decimal(udp.dstPort);
    }
    {
        LayerBuilder layer(tree, std::move(title), segment.Sub(0, kUdpHeader), base);
        if (udp.problem == UdpHeader::Problem::Cut) {
            layer.Note("Header", "cut [|udp]");
            return;
        }
        layer.Add("Source Port", Decimal(udp.srcPort), 0, 2);
        layer.Add("Destination Port", Decimal(udp.dstPort), 2, 2);
        layer.Add("Length", Decimal(udp.length), 4, 2);
        layer.Add("Checksum", Hex(udp.checksum, 4), 6, 2);
        if (udp.problem != UdpHeader::Problem::None) {
            std::string why;
            AppendUdpSummary(udp, why);
            layer.Note("Not trusted", std::move(why));
            return;
        }
        layer.Note("Payload Length", Decimal(udp.payloadLength));
    }
    const auto payloadBase = base + static_cast<std::uint32_t>(kUdpHeader);
    switch (udp.application) {
    case UdpHeader::Application::Dns:
        AddDnsLayer(DecodeDns(udp.payload, udp.payloadLength), udp.payload, payloadBase, tree);
        break;
    case UdpHeader::Application::Dhcp:
        AddDhcpLayer(DecodeDhcp(udp.payload, udp.payloadLength), udp.payload, payloadBase, tree);
        break;
    case UdpHeader::Application::Ntp:
        AddNtpLayer(DecodeNtp(udp.payload, udp.payloadLength), udp.payload, payloadBase, tree);
        break;
    case UdpHeader::Application::None:
        break;
    }
}

}  // namespace wirelens::dissect
