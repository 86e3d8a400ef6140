#include "dissect/icmp.h"

#include <string_view>

#include "dissect/protocol_names.h"
#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint8_t kEchoReply = 0, kUnreachable = 3, kSourceQuench = 4, kRedirect = 5, kEchoRequest = 8,
                       kRouterAdvert = 9, kRouterSolicit = 10, kTimeExceeded = 11, kParameterProblem = 12,
                       kTimestampRequest = 13, kTimestampReply = 14, kInfoRequest = 15, kInfoReply = 16,
                       kMaskRequest = 17, kMaskReply = 18;
constexpr std::uint8_t kPortUnreachable = 3, kNeedFragment = 4;

// The quoted datagram is TCP or UDP from its start, but its ports were not kept.
bool QuotedPortsCut(const IcmpMessage& icmp) {
    return (icmp.quoted.protocol == 6 || icmp.quoted.protocol == 17) && icmp.quoted.fragmentOffset == 0 &&
           !icmp.quotedHasPorts;
}

// Queries and their replies, which carry an identifier and a sequence number.
bool HasIdAndSeq(std::uint8_t type) {
    return type == kEchoReply || type == kEchoRequest || type == kTimestampRequest || type == kTimestampReply ||
           type == kInfoRequest || type == kInfoReply;
}

bool IsError(std::uint8_t type) {
    return type == kUnreachable || type == kSourceQuench || type == kRedirect || type == kTimeExceeded ||
           type == kParameterProblem;
}

std::string_view TypeName(std::uint8_t type) {
    switch (type) {
    case kEchoReply: return "echo reply";
    case kUnreachable: return "destination unreachable";
    case kSourceQuench: return "source quench";
    case kRedirect: return "redirect";
    case kEchoRequest: return "echo request";
    case kRouterAdvert: return "router advertisement";
    case kRouterSolicit: return "router solicitation";
    case kTimeExceeded: return "time exceeded";
    case kParameterProblem: return "parameter problem";
    case kTimestampRequest: return "time stamp query";
    case kTimestampReply: return "time stamp reply";
    case kInfoRequest: return "information request";
    case kInfoReply: return "information reply";
    case kMaskRequest: return "address mask request";
    case kMaskReply: return "address mask reply";
    default: return {};
    }
}

// Destination unreachable, by code (RFC 792, RFC 1812): the part before and
// after the quoted destination address. Protocol and port unreachable name
// more than the address and are written on their own.
struct UnreachableText {
    std::string_view before;
    std::string_view after;
};
UnreachableText Unreachable(std::uint8_t code) {
    switch (code) {
    case 0: return {"net ", " unreachable"};
    case 1: return {"host ", " unreachable"};
    case 4: return {"", " unreachable - need to frag"};
    case 5: return {"", " unreachable - source route failed"};
    case 6: return {"net ", " unreachable - unknown"};
    case 7: return {"host ", " unreachable - unknown"};
    case 8: return {"", " unreachable - source host isolated"};
    case 9: return {"net ", " unreachable - admin prohibited"};
    case 10: return {"host ", " unreachable - admin prohibited"};
    case 11: return {"net ", " unreachable - tos prohibited"};
    case 12: return {"host ", " unreachable - tos prohibited"};
    case 13: return {"host ", " unreachable - admin prohibited filter"};
    case 14: return {"host ", " unreachable - host precedence violation"};
    case 15: return {"host ", " unreachable - precedence cutoff"};
    default: return {"", " unreachable - #"};
    }
}

void AppendEndpoint(std::uint32_t address, bool withPort, std::uint16_t port, std::string& out) {
    AppendIpv4(out, address);
    if (withPort) {
        out += '.';
        AppendDecimal(out, port);
    }
}

// tcpdump's text of a destination unreachable message.
void AppendUnreachable(const IcmpMessage& icmp, std::string& out) {
    const std::uint32_t dst = icmp.quoted.dst;
    if (icmp.code == kPortUnreachable) {
        AppendIpv4(out, dst);
        const std::uint8_t p = icmp.quoted.protocol;
        out += p == 6 ? " tcp port " : p == 17 ? " udp port " : " port ";
        if (icmp.quotedHasPorts) {
            AppendDecimal(out, icmp.quotedDstPort);
        } else {
            out += '?';
        }
        out += " unreachable";
        return;
    }
    if (icmp.code == 2) {
        AppendIpv4(out, dst);
        out += " protocol ";
        AppendDecimal(out, icmp.quoted.protocol);
        out += " unreachable";
        return;
    }
    const UnreachableText text = Unreachable(icmp.code);
    out += text.before;
    AppendIpv4(out, dst);
    out += text.after;
    if (icmp.code == kNeedFragment && icmp.Seq() != 0) {
        out += " (mtu ";
        AppendDecimal(out, icmp.Seq());
        out += ')';
    } else if (icmp.code > 15) {
        AppendDecimal(out, icmp.code);
    }
}

void AppendMessageText(const IcmpMessage& icmp, std::string& out) {
    if (HasIdAndSeq(icmp.type)) {
        out += TypeName(icmp.type);
        out += ", id ";
        AppendDecimal(out, icmp.Id());
        out += ", seq ";
        AppendDecimal(out, icmp.Seq());
        return;
    }
    switch (icmp.type) {
    case kUnreachable:
        AppendUnreachable(icmp, out);
        return;
    case kRedirect:
        out += icmp.code >= 2 ? "redirect-tos " : "redirect ";
        AppendIpv4(out, icmp.quoted.dst);
        out += (icmp.code & 1) ? " to host " : " to net ";
        AppendIpv4(out, icmp.rest);
        return;
    case kTimeExceeded:
        if (icmp.code == 0) {
            out += "time exceeded in-transit";
        } else if (icmp.code == 1) {
            out += "ip reassembly time exceeded";
        } else {
            out += "time exceeded-#";
            AppendDecimal(out, icmp.code);
        }
        return;
    case kParameterProblem:
        if (icmp.code == 0) {
            out += "parameter problem - octet ";
            AppendDecimal(out, icmp.rest >> 24);
        } else {
            out += "parameter problem code ";
            AppendDecimal(out, icmp.code);
        }
        return;
    default: {
        const std::string_view name = TypeName(icmp.type);
        if (name.empty()) {
            out += "type-#";
            AppendDecimal(out, icmp.type);
        } else {
            out += name;
        }
        return;
    }
    }
}

}  // namespace

IcmpMessage DecodeIcmp(const ByteReader& message, std::uint32_t length) {
    IcmpMessage icmp;
    icmp.length = length;
    if (!message.Has(0, kIcmpHeader)) {
        icmp.cut = true;
        return icmp;
    }
    icmp.type = message.U8(0);
    icmp.code = message.U8(1);
    icmp.checksum = message.U16Be(2);
    icmp.rest = message.U32Be(4);
    icmp.error = IsError(icmp.type);
    if (!icmp.error) return icmp;
    const std::uint32_t quotedLength = length > kIcmpHeader ? length - kIcmpHeader : 0;
    const ByteReader quoted = message.Sub(kIcmpHeader);
    icmp.quoted = DecodeIpv4(quoted, quotedLength);
    if (icmp.quoted.Usable() && (icmp.quoted.protocol == 6 || icmp.quoted.protocol == 17) &&
        icmp.quoted.fragmentOffset == 0 && quoted.Has(icmp.quoted.headerLength, 4)) {
        icmp.quotedHasPorts = true;
        icmp.quotedSrcPort = quoted.U16Be(icmp.quoted.headerLength);
        icmp.quotedDstPort = quoted.U16Be(icmp.quoted.headerLength + 2u);
    }
    return icmp;
}

void AppendIcmpSummary(const IcmpMessage& icmp, std::string& out) {
    out += "ICMP ";
    if (icmp.cut) {
        out += "[|icmp]";
        return;
    }
    if (icmp.error && !icmp.quoted.Usable()) {
        out += TypeName(icmp.type);
        out += " [|icmp]";
        return;
    }
    AppendMessageText(icmp, out);
    out += ", length ";
    AppendDecimal(out, icmp.length);
    if (icmp.error) {
        out += " (";
        AppendProtocolName(icmp.quoted.protocol, out);
        out += ' ';
        AppendEndpoint(icmp.quoted.src, icmp.quotedHasPorts, icmp.quotedSrcPort, out);
        out += " > ";
        AppendEndpoint(icmp.quoted.dst, icmp.quotedHasPorts, icmp.quotedDstPort, out);
        out += ')';
        if (QuotedPortsCut(icmp)) out += " [|icmp]";
    }
}

void AddIcmpLayers(const IcmpMessage& icmp, const ByteReader& message, std::uint32_t base, DissectTree& tree) {
    {
        LayerBuilder layer(tree, "Internet Control Message Protocol", message.Sub(0, kIcmpHeader), base);
        if (icmp.cut) {
            layer.Note("Header", "cut [|icmp]");
            return;
        }
        layer.Add("Type", Named(icmp.type, TypeName(icmp.type)), 0, 1);
        std::string code = Decimal(icmp.code);
        if (icmp.type == kUnreachable || icmp.type == kTimeExceeded || icmp.type == kRedirect) {
            std::string text;
            AppendMessageText(icmp, text);
            code += " (" + text + ')';
        }
        layer.Add("Code", std::move(code), 1, 1);
        layer.Add("Checksum", Hex(icmp.checksum, 4), 2, 2);
        if (HasIdAndSeq(icmp.type)) {
            layer.Add("Identifier", Decimal(icmp.Id()), 4, 2);
            layer.Add("Sequence Number", Decimal(icmp.Seq()), 6, 2);
        }
        switch (icmp.type) {
        case kRedirect:
            layer.Add("Gateway Address", Ipv4Text(icmp.rest), 4, 4);
            break;
        case kUnreachable:
            if (icmp.code == kNeedFragment) layer.Add("Next-Hop MTU", Decimal(icmp.Seq()), 6, 2);
            break;
        case kParameterProblem:
            layer.Add("Pointer", Decimal(icmp.rest >> 24), 4, 1);
            break;
        default:
            break;
        }
        layer.Note("Length", Decimal(icmp.length));
    }
    if (!icmp.error) return;
    const ByteReader quoted = message.Sub(kIcmpHeader);
    const auto quotedBase = base + static_cast<std::uint32_t>(kIcmpHeader);
    AddIpv4Layer(icmp.quoted, quoted, quotedBase, tree);
    tree.layers.back().title.insert(0, "Quoted ");
    if (icmp.quotedHasPorts) {
        LayerBuilder ports(tree, icmp.quoted.protocol == 6 ? "Quoted TCP ports" : "Quoted UDP ports",
                           quoted.Sub(icmp.quoted.headerLength, 4), quotedBase + icmp.quoted.headerLength);
        ports.Add("Source Port", Decimal(icmp.quotedSrcPort), 0, 2);
        ports.Add("Destination Port", Decimal(icmp.quotedDstPort), 2, 2);
    }
}

}  // namespace wirelens::dissect
