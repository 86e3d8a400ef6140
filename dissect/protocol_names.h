#pragma once
// Names of IP protocol numbers (the IANA registry's keywords).
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

// The registry's keyword ("GRE", "ESP", "OSPF", ...), or empty for a number
// without one.
std::string_view ProtocolName(std::uint8_t protocol);
// The keyword, or "ip-proto-N" for a number without one (as tcpdump prints it).
void AppendProtocolName(std::uint8_t protocol, std::string& out);

// A payload of a protocol without a decoder here: its name and length, and
// for ESP and AH (RFC 4303, RFC 4302) the SPI and sequence number:
// "GRE, length 24", "ESP(spi=0x00001234,seq=0x1), length 100", "ip-proto-253, length 8".
void AppendOtherSummary(std::uint8_t protocol, const ByteReader& payload, std::uint32_t length, std::string& out);

void AddOtherLayer(std::uint8_t protocol, const ByteReader& payload, std::uint32_t length, std::uint32_t base,
                   DissectTree& tree);

}  // namespace wirelens::dissect
