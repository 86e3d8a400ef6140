#pragma once
// UDP header (RFC 768) and the choice of what its payload is, by port.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kUdpHeader = 8;

struct UdpHeader {
    enum class Problem : std::uint8_t {
        None,
        Cut,              // fewer than 8 bytes kept
        LengthTooShort,   // length field under 8
        LengthTooLong,    // length field beyond the datagram's payload
    };
    enum class Application : std::uint8_t { None, Dns, Dhcp, Ntp };
    Problem problem = Problem::None;
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint16_t length = 0;
    std::uint16_t checksum = 0;
    std::uint32_t segmentLength = 0;  // from the IP header
    Application application = Application::None;
    std::uint32_t payloadLength = 0;  // per the length field
    ByteReader payload{{}};
};

UdpHeader DecodeUdp(const ByteReader& segment, std::uint32_t segmentLength);

// "UDP, length 100", or the application's summary.
void AppendUdpSummary(const UdpHeader& udp, std::string& out);

// The UDP layer and the application's layer after it.
void AddUdpLayers(const UdpHeader& udp, const ByteReader& segment, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
