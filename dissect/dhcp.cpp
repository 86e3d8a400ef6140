#include "dissect/dhcp.h"

#include <string_view>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint32_t kMagicCookie = 0x63825363;
constexpr std::size_t kChaddrOffset = 28;
constexpr std::uint8_t kOptionPad = 0, kOptionMessageType = 53, kOptionEnd = 255;

std::string_view MessageTypeName(std::uint8_t type) {
    constexpr std::string_view kNames[] = {"",        "Discover",      "Offer",         "Request",
                                           "Decline", "ACK",           "NACK",          "Release",
                                           "Inform",  "ForceRenew",    "LeaseQuery",    "LeaseUnassigned",
                                           "LeaseUnknown", "LeaseActive", "BulkLeaseQuery", "LeaseQueryDone",
                                           "ActiveLeaseQuery", "LeaseQueryStatus", "TLS"};
    return type < std::size(kNames) ? kNames[type] : std::string_view{};
}

void AppendMac(const std::array<std::uint8_t, 6>& mac, std::string& out) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i != 0) out += ':';
        const std::uint8_t b = mac[i];
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
}

bool EthernetClient(const DhcpMessage& dhcp) { return dhcp.hardwareType == 1 && dhcp.hardwareLength == 6; }

}  // namespace

DhcpMessage DecodeDhcp(const ByteReader& message, std::uint32_t length) {
    DhcpMessage dhcp;
    dhcp.length = length;
    if (!message.Has(0, kBootpFixed)) {
        dhcp.cut = true;
        return dhcp;
    }
    dhcp.op = message.U8(0);
    dhcp.hardwareType = message.U8(1);
    dhcp.hardwareLength = message.U8(2);
    dhcp.xid = message.U32Be(4);
    dhcp.flags = message.U16Be(10);
    dhcp.clientAddress = message.U32Be(12);
    dhcp.yourAddress = message.U32Be(16);
    dhcp.serverAddress = message.U32Be(20);
    dhcp.relayAddress = message.U32Be(24);
    for (std::size_t i = 0; i < dhcp.clientMac.size(); ++i) dhcp.clientMac[i] = message.U8(kChaddrOffset + i);
    if (!message.Has(kBootpFixed, 4)) {
        dhcp.optionsCut = length > kBootpFixed;
        return dhcp;
    }
    dhcp.hasCookie = message.U32Be(kBootpFixed) == kMagicCookie;
    if (!dhcp.hasCookie) return dhcp;
    std::size_t at = kBootpFixed + 4;
    for (;;) {
        if (!message.Has(at, 1)) {
            dhcp.optionsCut = true;
            return dhcp;
        }
        const std::uint8_t code = message.U8(at);
        if (code == kOptionEnd) return dhcp;
        if (code == kOptionPad) {
            ++at;
            continue;
        }
        if (!message.Has(at + 1, 1) || !message.Has(at + 2, message.U8(at + 1))) {
            dhcp.optionsCut = true;
            return dhcp;
        }
        if (code == kOptionMessageType && message.U8(at + 1) >= 1) {
            dhcp.messageType = message.U8(at + 2);
            dhcp.messageTypeOffset = at;
            return dhcp;
        }
        at += 2u + message.U8(at + 1);
    }
}

void AppendDhcpSummary(const DhcpMessage& dhcp, std::string& out) {
    if (dhcp.cut) {
        out += "[|bootp]";
        return;
    }
    out += "BOOTP/DHCP, ";
    if (dhcp.op == 1) {
        out += "Request";
    } else if (dhcp.op == 2) {
        out += "Reply";
    } else {
        out += "unknown (";
        AppendHex(out, dhcp.op, 2);
        out += ')';
    }
    // Only an Ethernet client's address has a known form; others stay unsaid.
    if (dhcp.op == 1 && EthernetClient(dhcp)) {
        out += " from ";
        AppendMac(dhcp.clientMac, out);
    }
    out += ", length ";
    AppendDecimal(out, dhcp.length);
    out += ", xid ";
    AppendHex(out, dhcp.xid);
    if (dhcp.messageType != 0) {
        out += ", DHCP ";
        const std::string_view name = MessageTypeName(dhcp.messageType);
        if (name.empty()) {
            out += "type ";
            AppendDecimal(out, dhcp.messageType);
        } else {
            out += name;
        }
    }
    if (dhcp.optionsCut) out += " [|bootp]";
}

void AddDhcpLayer(const DhcpMessage& dhcp, const ByteReader& message, std::uint32_t base, DissectTree& tree) {
    LayerBuilder layer(tree, "Dynamic Host Configuration Protocol", message, base);
    if (dhcp.cut) {
        layer.Note("Message", "cut [|bootp]");
        return;
    }
    layer.Add("Message Type", dhcp.op == 1 ? "Boot Request (1)" : dhcp.op == 2 ? "Boot Reply (2)" : Decimal(dhcp.op),
              0, 1);
    layer.Add("Hardware Type", Decimal(dhcp.hardwareType), 1, 1);
    layer.Add("Hardware Address Length", Decimal(dhcp.hardwareLength), 2, 1);
    layer.Add("Hops", Decimal(message.U8(3)), 3, 1);
    layer.Add("Transaction ID", Hex(dhcp.xid, 8), 4, 4);
    layer.Add("Seconds Elapsed", Decimal(message.U16Be(8)), 8, 2);
    layer.Add("Flags", Hex(dhcp.flags, 4) + ((dhcp.flags & 0x8000) ? " (Broadcast)" : " (Unicast)"), 10, 2);
    layer.Add("Client IP Address", Ipv4Text(dhcp.clientAddress), 12, 4);
    layer.Add("Your IP Address", Ipv4Text(dhcp.yourAddress), 16, 4);
    layer.Add("Next Server IP Address", Ipv4Text(dhcp.serverAddress), 20, 4);
    layer.Add("Relay Agent IP Address", Ipv4Text(dhcp.relayAddress), 24, 4);
    if (EthernetClient(dhcp)) {
        std::string mac;
        AppendMac(dhcp.clientMac, mac);
        layer.Add("Client MAC Address", std::move(mac), kChaddrOffset, 6);
    }
    if (!dhcp.hasCookie) {
        layer.Note("Magic Cookie", "absent (BOOTP)");
        return;
    }
    layer.Add("Magic Cookie", "DHCP", kBootpFixed, 4);
    if (dhcp.messageType != 0) {
        layer.Add("DHCP Message Type", Named(dhcp.messageType, MessageTypeName(dhcp.messageType)),
                  dhcp.messageTypeOffset, 3);
    }
    if (dhcp.optionsCut) layer.Note("Options", "cut [|bootp]");
}

}  // namespace wirelens::dissect
