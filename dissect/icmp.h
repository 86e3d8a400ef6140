#pragma once
// ICMP message (RFC 792, RFC 1191), and for an error the datagram it quotes.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/ipv4.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kIcmpHeader = 8;

struct IcmpMessage {
    bool cut = false;  // fewer than 8 bytes kept
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint16_t checksum = 0;
    std::uint32_t rest = 0;  // the header's second word: id and seq, gateway, MTU, pointer
    std::uint32_t length = 0;
    // An error quotes the start of the datagram that caused it.
    bool error = false;
    Ipv4Header quoted;
    bool quotedHasPorts = false;  // TCP or UDP ports of the quoted datagram were kept
    std::uint16_t quotedSrcPort = 0;
    std::uint16_t quotedDstPort = 0;

    std::uint16_t Id() const { return static_cast<std::uint16_t>(rest >> 16); }
    std::uint16_t Seq() const { return static_cast<std::uint16_t>(rest & 0xFFFF); }
};

IcmpMessage DecodeIcmp(const ByteReader& message, std::uint32_t length);

// "ICMP echo request, id 7, seq 1, length 64";
// "ICMP 198.51.100.2 udp port 9 unreachable, length 36 (UDP 198.51.100.1.40000 > 198.51.100.2.9)".
void AppendIcmpSummary(const IcmpMessage& icmp, std::string& out);

// The ICMP layer, then the quoted datagram's header as a layer of its own.
void AddIcmpLayers(const IcmpMessage& icmp, const ByteReader& message, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
