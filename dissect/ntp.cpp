#include "dissect/ntp.h"

#include <string_view>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::string_view kModes[8] = {"unspecified", "Symmetric Active", "Symmetric Passive", "Client",
                                        "Server",      "Broadcast",        "Control Message",   "Reserved"};
constexpr std::string_view kLeap[4] = {"no warning", "last minute has 61 seconds",
                                       "last minute has 59 seconds", "clock unsynchronized"};

// Seconds since 1900, then the fraction in hex so that no bit is rounded away.
std::string Timestamp(const ByteReader& packet, std::size_t offset) {
    return Decimal(packet.U32Be(offset)) + '.' + Hex(packet.U32Be(offset + 4), 8);
}

}  // namespace

NtpPacket DecodeNtp(const ByteReader& packet, std::uint32_t length) {
    NtpPacket ntp;
    ntp.length = length;
    if (!packet.Has(0, 1)) {
        ntp.cut = true;
        return ntp;
    }
    const std::uint8_t first = packet.U8(0);
    ntp.leap = first >> 6;
    ntp.version = (first >> 3) & 0x07;
    ntp.mode = first & 0x07;
    return ntp;
}

void AppendNtpSummary(const NtpPacket& ntp, std::string& out) {
    if (ntp.cut) {
        out += "[|ntp]";
        return;
    }
    out += "NTPv";
    AppendDecimal(out, ntp.version);
    out += ", ";
    out += kModes[ntp.mode];
    out += ", length ";
    AppendDecimal(out, ntp.length);
}

void AddNtpLayer(const NtpPacket& ntp, const ByteReader& packet, std::uint32_t base, DissectTree& tree) {
    LayerBuilder layer(tree, "Network Time Protocol", packet, base);
    if (ntp.cut) {
        layer.Note("Header", "cut [|ntp]");
        return;
    }
    layer.Add("Leap Indicator", Named(ntp.leap, kLeap[ntp.leap]), 0, 1);
    layer.Add("Version", Decimal(ntp.version), 0, 1);
    layer.Add("Mode", Named(ntp.mode, kModes[ntp.mode]), 0, 1);
    layer.Add("Stratum", Decimal(packet.U8(1)), 1, 1);
    layer.Add("Poll", Decimal(packet.U8(2)), 2, 1);
    layer.Add("Precision", std::to_string(static_cast<std::int8_t>(packet.U8(3))), 3, 1);
    layer.Add("Root Delay", Hex(packet.U32Be(4), 8), 4, 4);
    layer.Add("Root Dispersion", Hex(packet.U32Be(8), 8), 8, 4);
    layer.Add("Reference ID", Hex(packet.U32Be(12), 8), 12, 4);
    layer.Add("Reference Timestamp", Timestamp(packet, 16), 16, 8);
    layer.Add("Origin Timestamp", Timestamp(packet, 24), 24, 8);
    layer.Add("Receive Timestamp", Timestamp(packet, 32), 32, 8);
    layer.Add("Transmit Timestamp", Timestamp(packet, 40), 40, 8);
    if (ntp.mode != 6 && !packet.Has(0, kNtpHeader)) layer.Note("Header", "cut [|ntp]");
}

}  // namespace wirelens::dissect
