#include "dissect/ipv4.h"

#include <algorithm>

#include "dissect/protocol_names.h"
#include "dissect/text.h"

namespace wirelens::dissect {

Ipv4Header DecodeIpv4(const ByteReader& datagram, std::uint32_t wireLength) {
    Ipv4Header ip;
    wireLength = std::max<std::uint32_t>(wireLength, static_cast<std::uint32_t>(datagram.Size()));
    if (!datagram.Has(0, kIpv4MinimumHeader)) {
        ip.problem = Ipv4Header::Problem::Cut;
        return ip;
    }
    ip.version = datagram.U8(0) >> 4;
    ip.headerLength = static_cast<std::uint8_t>((datagram.U8(0) & 0x0F) * 4);
    ip.tos = datagram.U8(1);
    ip.totalLength = datagram.U16Be(2);
    ip.id = datagram.U16Be(4);
    const std::uint16_t flagsOffset = datagram.U16Be(6);
    ip.reservedFlag = flagsOffset & 0x8000;
    ip.dontFragment = flagsOffset & 0x4000;
    ip.moreFragments = flagsOffset & 0x2000;
    ip.fragmentOffset = static_cast<std::uint32_t>(flagsOffset & 0x1FFF) * 8;
    ip.ttl = datagram.U8(8);
    ip.protocol = datagram.U8(9);
    ip.checksum = datagram.U16Be(10);
    ip.src = datagram.U32Be(12);
    ip.dst = datagram.U32Be(16);

    if (ip.version != 4) {
        ip.problem = Ipv4Header::Problem::BadVersion;
    } else if (ip.headerLength < kIpv4MinimumHeader) {
        ip.problem = Ipv4Header::Problem::HeaderTooShort;
    } else if (ip.totalLength < ip.headerLength) {
        ip.problem = Ipv4Header::Problem::TotalUnderHeader;
    } else if (ip.headerLength > wireLength) {
        ip.problem = Ipv4Header::Problem::HeaderBeyondEnd;
    } else if (!datagram.Has(0, ip.headerLength)) {
        ip.problem = Ipv4Header::Problem::OptionsCut;
    }
    if (!ip.Usable()) return ip;

    // Bytes after the total length are link padding; a total length past the
    // wire's end is not believed.
    std::uint32_t end = ip.totalLength;
    if (end > wireLength) {
        ip.missing = end - wireLength;
        end = wireLength;
    }
    ip.payloadLength = end - ip.headerLength;
    ip.payload = datagram.Sub(ip.headerLength, ip.payloadLength);
    return ip;
}

void AppendIpv4Problem(const Ipv4Header& ip, std::string& out) {
    switch (ip.problem) {
    case Ipv4Header::Problem::None:
        if (ip.missing != 0) {
            out += "truncated-ip - ";
            AppendDecimal(out, ip.missing);
            out += " bytes missing! ";
        }
        return;
    case Ipv4Header::Problem::Cut:
    case Ipv4Header::Problem::OptionsCut:
        out += "[|ip]";
        return;
    case Ipv4Header::Problem::BadVersion:
        out += "IP";
        AppendDecimal(out, ip.version);
        out += ", wrong version";
        return;
    case Ipv4Header::Problem::HeaderTooShort:
        out += "bad-hlen ";
        AppendDecimal(out, ip.headerLength);
        return;
    case Ipv4Header::Problem::TotalUnderHeader:
        out += "bad-len ";
        AppendDecimal(out, ip.totalLength);
        return;
    case Ipv4Header::Problem::HeaderBeyondEnd:
        out += "bad-hlen ";
        AppendDecimal(out, ip.headerLength);
        out += " beyond the datagram";
        return;
    }
}

void AppendIpv4Fragment(const Ipv4Header& ip, std::string& out) {
    out += "frag id ";
    AppendDecimal(out, ip.id);
    out += ", offset ";
    AppendDecimal(out, ip.fragmentOffset);
    if (ip.moreFragments) out += ", more";
}

namespace {

std::string FlagsText(const Ipv4Header& ip) {
    std::string s = "[";
    if (ip.reservedFlag) s += "rsvd";
    if (ip.dontFragment) s += (s.size() > 1 ? "+DF" : "DF");
    if (ip.moreFragments) s += (s.size() > 1 ? "+MF" : "MF");
    if (s.size() == 1) s += "none";
    s += ']';
    return s;
}

std::string_view OptionName(std::uint8_t type) {
    switch (type) {
    case 0: return "EOL";
    case 1: return "NOP";
    case 7: return "RR";
    case 68: return "TS";
    case 130: return "SEC";
    case 131: return "LSRR";
    case 137: return "SSRR";
    case 148: return "RA";
    default: return {};
    }
}

void AddOptions(LayerBuilder& layer, const ByteReader& datagram, std::size_t end) {
    std::size_t at = kIpv4MinimumHeader;
    while (at < end && datagram.Has(at, 1)) {
        const std::uint8_t type = datagram.U8(at);
        std::size_t length = 1;
        if (type > 1) {
            length = datagram.U8(at + 1);
            if (length < 2 || at + length > end) {
                layer.Add("Option", "bad length " + Decimal(length), at, std::min<std::size_t>(2, end - at), 1);
                return;
            }
        }
        layer.Add("Option", Named(type, OptionName(type)), at, length, 1);
        if (type == 0) return;
        at += length;
    }
}

}  // namespace

void AddIpv4Layer(const Ipv4Header& ip, const ByteReader& datagram, std::uint32_t base, DissectTree& tree) {
    std::string title = "Internet Protocol Version 4";
    if (ip.problem != Ipv4Header::Problem::Cut) {
        title += ", Src: " + Ipv4Text(ip.src) + ", Dst: " + Ipv4Text(ip.dst);
    }
    const ByteReader header = datagram.Sub(0, ip.Usable() ? ip.headerLength : kIpv4MinimumHeader);
    LayerBuilder layer(tree, std::move(title), header, base);
    if (!ip.Usable()) {
        std::string why;
        AppendIpv4Problem(ip, why);
        layer.Note("Not trusted", std::move(why));
    }
    if (ip.problem == Ipv4Header::Problem::Cut) return;
    layer.Add("Version", Decimal(ip.version), 0, 1);
    layer.Add("Header Length", Decimal(ip.headerLength) + " bytes", 0, 1);
    layer.Add("Type of Service", Hex(ip.tos, 2), 1, 1);
    layer.Add("Total Length", Decimal(ip.totalLength), 2, 2);
    if (ip.missing != 0) layer.Note("Total Length", Decimal(ip.missing) + " bytes beyond the wire length");
    layer.Add("Identification", Hex(ip.id, 4) + " (" + Decimal(ip.id) + ")", 4, 2);
    layer.Add("Flags", FlagsText(ip), 6, 1);
    layer.Add("Fragment Offset", Decimal(ip.fragmentOffset), 6, 2);
    layer.Add("Time to Live", Decimal(ip.ttl), 8, 1);
    layer.Add("Protocol", Named(ip.protocol, ProtocolName(ip.protocol)), 9, 1);
    layer.Add("Header Checksum", Hex(ip.checksum, 4), 10, 2);
    layer.Add("Source Address", Ipv4Text(ip.src), 12, 4);
    layer.Add("Destination Address", Ipv4Text(ip.dst), 16, 4);
    if (ip.Usable() && ip.headerLength > kIpv4MinimumHeader) {
        if (layer.Add("Options", Decimal(ip.headerLength - kIpv4MinimumHeader) + " bytes", kIpv4MinimumHeader,
                      ip.headerLength - kIpv4MinimumHeader)) {
            AddOptions(layer, datagram, ip.headerLength);
        } else {
            layer.Note("Options", "cut [|ip]");
        }
    }
}

}  // namespace wirelens::dissect
