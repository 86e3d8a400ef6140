#pragma once
// IGMP message (RFC 2236, RFC 3376): its type and group.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kIgmpHeader = 8;

struct IgmpMessage {
    bool cut = false;  // fewer than 8 bytes kept
    std::uint8_t type = 0;
    std::uint8_t maxResponse = 0;  // tenths of a second (v1, v2), a code in v3
    std::uint16_t checksum = 0;
    std::uint32_t group = 0;
    std::uint16_t records = 0;  // v3 report: group records; v3 query: sources
    std::uint32_t length = 0;
};

IgmpMessage DecodeIgmp(const ByteReader& message, std::uint32_t length);

// tcpdump's: "igmp v2 report 224.0.0.251", "igmp query v3", "igmp leave 224.1.2.3".
void AppendIgmpSummary(const IgmpMessage& igmp, std::string& out);

void AddIgmpLayer(const IgmpMessage& igmp, const ByteReader& message, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
