#pragma once
// TCP header (RFC 9293) from its real data offset, with its options.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kTcpMinimumHeader = 20;

struct TcpHeader {
    enum class Problem : std::uint8_t {
        None,
        Cut,            // fewer than 20 bytes kept
        OffsetTooShort, // data offset under 20
        OffsetTooLong,  // data offset beyond the segment
    };
    Problem problem = Problem::None;
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t headerLength = 0;  // bytes
    std::uint16_t flags = 0;        // the nine flag bits, NS highest
    std::uint16_t window = 0;
    std::uint16_t checksum = 0;
    std::uint16_t urgent = 0;
    std::uint32_t payloadLength = 0;
};

namespace tcp_flag {
inline constexpr std::uint16_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPush = 0x08, kAck = 0x10,
                               kUrg = 0x20, kEce = 0x40, kCwr = 0x80, kNs = 0x100;
}

// `segment` holds the bytes kept of the segment; `segmentLength` is its true
// length (from the IP header).
TcpHeader DecodeTcp(const ByteReader& segment, std::uint32_t segmentLength);

// "Flags [S.], seq 3405691582, ack 1, win 64240, options [mss 1460,...], length 0".
void AppendTcpSummary(const TcpHeader& tcp, const ByteReader& segment, std::string& out);

void AddTcpLayer(const TcpHeader& tcp, const ByteReader& segment, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
