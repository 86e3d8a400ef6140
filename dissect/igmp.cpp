#include "dissect/igmp.h"

#include <string_view>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint8_t kQuery = 0x11, kV1Report = 0x12, kDvmrp = 0x13, kPimV1 = 0x14, kV2Report = 0x16,
                       kLeave = 0x17, kMtraceReply = 0x1e, kMtrace = 0x1f, kV3Report = 0x22;
constexpr std::size_t kV3QueryMinimum = 12;

std::string_view TypeName(std::uint8_t type) {
    switch (type) {
    case kQuery: return "Membership Query";
    case kV1Report: return "Version 1 Membership Report";
    case kDvmrp: return "DVMRP";
    case kPimV1: return "PIM version 1";
    case kV2Report: return "Version 2 Membership Report";
    case kLeave: return "Leave Group";
    case kMtraceReply: return "Multicast Traceroute Response";
    case kMtrace: return "Multicast Traceroute";
    case kV3Report: return "Version 3 Membership Report";
    default: return {};
    }
}

// v1 has no response time, v2 has 8 bytes, v3 more (RFC 3376 section 7.1).
int QueryVersion(const IgmpMessage& igmp) {
    if (igmp.length >= kV3QueryMinimum) return 3;
    return igmp.maxResponse == 0 ? 1 : 2;
}

}  // namespace

IgmpMessage DecodeIgmp(const ByteReader& message, std::uint32_t length) {
    IgmpMessage igmp;
    igmp.length = length;
    if (!message.Has(0, kIgmpHeader)) {
        igmp.cut = true;
        return igmp;
    }
    igmp.type = message.U8(0);
    igmp.maxResponse = message.U8(1);
    igmp.checksum = message.U16Be(2);
    igmp.group = message.U32Be(4);
    if (igmp.type == kV3Report) igmp.records = message.U16Be(6);
    if (igmp.type == kQuery && message.Has(10, 2)) igmp.records = message.U16Be(10);
    return igmp;
}

void AppendIgmpSummary(const IgmpMessage& igmp, std::string& out) {
    if (igmp.cut) {
        out += "[|igmp]";
        return;
    }
    switch (igmp.type) {
    case kQuery:
        out += "igmp query v";
        AppendDecimal(out, QueryVersion(igmp));
        if (igmp.group != 0) {
            out += " [gaddr ";
            AppendIpv4(out, igmp.group);
            out += ']';
        }
        if (QueryVersion(igmp) != 1) {
            out += " [max resp time ";
            AppendDecimal(out, igmp.maxResponse / 10);
            out += '.';
            AppendDecimal(out, igmp.maxResponse % 10);
            out += "s]";
        }
        return;
    case kV1Report:
    case kV2Report:
        out += igmp.type == kV1Report ? "igmp v1 report " : "igmp v2 report ";
        AppendIpv4(out, igmp.group);
        return;
    case kLeave:
        out += "igmp leave ";
        AppendIpv4(out, igmp.group);
        return;
    case kV3Report:
        out += "igmp v3 report, ";
        AppendDecimal(out, igmp.records);
        out += " group record(s)";
        return;
    case kDvmrp: out += "igmp dvmrp"; return;
    case kPimV1: out += "igmp pimv1"; return;
    case kMtraceReply: out += "igmp mtrace-resp"; return;
    case kMtrace: out += "igmp mtrace"; return;
    default:
        out += "igmp-";
        AppendDecimal(out, igmp.type);
        return;
    }
}

void AddIgmpLayer(const IgmpMessage& igmp, const ByteReader& message, std::uint32_t base, DissectTree& tree) {
    LayerBuilder layer(tree, "Internet Group Management Protocol", message, base);
    if (igmp.cut) {
        layer.Note("Header", "cut [|igmp]");
        return;
    }
    layer.Add("Type", Hex(igmp.type, 2) + " (" + std::string(TypeName(igmp.type)) + ')', 0, 1);
    layer.Add("Max Resp Time", Decimal(igmp.maxResponse), 1, 1);
    layer.Add("Checksum", Hex(igmp.checksum, 4), 2, 2);
    if (igmp.type == kV3Report) {
        layer.Add("Group Records", Decimal(igmp.records), 6, 2);
    } else {
        layer.Add("Group Address", Ipv4Text(igmp.group), 4, 4);
    }
    if (igmp.type == kQuery && QueryVersion(igmp) == 3) layer.Add("Sources", Decimal(igmp.records), 10, 2);
}

}  // namespace wirelens::dissect
