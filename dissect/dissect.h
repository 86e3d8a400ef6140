#pragma once
// The true decode of one IPv4 datagram: each header where it really lies,
// checked against itself and against the bytes kept, as a one-line summary
// in tcpdump's manner and as a field tree.
#include <cstdint>
#include <span>
#include <string>

#include "dissect/tree.h"

namespace wirelens::dissect {

// `bytes` are the bytes kept of the datagram (from its IPv4 header on);
// `wireLength` is its length on the wire (taken as bytes.size() when less).
// Appends the summary to `out`; nothing is read outside `bytes`.
void AppendDatagramSummary(std::span<const std::uint8_t> bytes, std::uint32_t wireLength, std::string& out);
std::string DatagramSummary(std::span<const std::uint8_t> bytes, std::uint32_t wireLength);

// Every field's range lies inside `bytes`.
DissectTree DissectDatagram(std::span<const std::uint8_t> bytes, std::uint32_t wireLength);

}  // namespace wirelens::dissect
