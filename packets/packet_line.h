#pragma once
// One packet as a line of text for standard output: the list's seven column
// texts, then the true decode's summary, separated by tabs. No Qt.
#include <cstdint>
#include <span>
#include <string>

#include "packets/clv.h"

namespace wirelens {

// "UDP\t198.51.100.2\t40000\t198.51.100.1\t53\t30\t10:00:00.00\t4660+ A? example.test. (30)".
// `bytes` are the packet's kept bytes and `wireLength` its length on the wire.
// No line end is added.
std::string PrintPacketLine(const clV& record, std::span<const std::uint8_t> bytes, std::uint32_t wireLength);

}  // namespace wirelens
