#pragma once
// NTP packet header (RFC 5905 section 7.3).
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kNtpHeader = 48;

struct NtpPacket {
    bool cut = false;  // not even the first byte kept
    std::uint8_t leap = 0;
    std::uint8_t version = 0;
    std::uint8_t mode = 0;
    std::uint32_t length = 0;
};

NtpPacket DecodeNtp(const ByteReader& packet, std::uint32_t length);

// "NTPv4, Client, length 48".
void AppendNtpSummary(const NtpPacket& ntp, std::string& out);

void AddNtpLayer(const NtpPacket& ntp, const ByteReader& packet, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
