#pragma once
// IPv4 header (RFC 791): the header as it says it is, checked against itself
// and against the bytes that were on the wire.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kIpv4MinimumHeader = 20;

struct Ipv4Header {
    enum class Problem : std::uint8_t {
        None,
        Cut,              // fewer than 20 bytes kept
        BadVersion,       // not 4
        HeaderTooShort,   // header length under 20
        TotalUnderHeader, // total length shorter than the header
        HeaderBeyondEnd,  // header longer than the datagram
        OptionsCut,       // options not wholly kept
    };
    Problem problem = Problem::None;
    std::uint8_t version = 0;
    std::uint8_t headerLength = 0;  // bytes
    std::uint8_t tos = 0;
    std::uint16_t totalLength = 0;
    std::uint16_t id = 0;
    bool reservedFlag = false;
    bool dontFragment = false;
    bool moreFragments = false;
    std::uint32_t fragmentOffset = 0;  // bytes
    std::uint8_t ttl = 0;
    std::uint8_t protocol = 0;
    std::uint16_t checksum = 0;
    std::uint32_t src = 0;  // big-endian value
    std::uint32_t dst = 0;
    // Bytes the total length claims beyond what was on the wire (then the
    // payload is taken as what was on the wire).
    std::uint32_t missing = 0;
    // The payload as the header places it: its true length and its bytes kept.
    std::uint32_t payloadLength = 0;
    ByteReader payload{{}};

    bool Usable() const { return problem == Problem::None; }
    bool Fragment() const { return moreFragments || fragmentOffset != 0; }
};

// `datagram` holds the bytes kept; `wireLength` is how many were on the wire.
Ipv4Header DecodeIpv4(const ByteReader& datagram, std::uint32_t wireLength);

// tcpdump's text for a header that cannot be trusted ("[|ip]", "bad-hlen 16"),
// or nothing for a usable one.
void AppendIpv4Problem(const Ipv4Header& ip, std::string& out);
// "frag id 4321, offset 600, more".
void AppendIpv4Fragment(const Ipv4Header& ip, std::string& out);

void AddIpv4Layer(const Ipv4Header& ip, const ByteReader& datagram, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
