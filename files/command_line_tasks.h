#pragma once
// What the command line does without a window: convert a capture file, or
// print one line per packet. No Qt.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>

#include "packets/clv.h"

namespace wirelens {

// Chooses packets by their kept bytes and wire length; empty: every packet.
using PacketPredicate = std::function<bool(std::span<const std::uint8_t> bytes, std::uint32_t wireLength)>;

// The text after the seven columns of a printed line (the packet's summary); empty: none.
using PacketSummary = std::function<std::string(const clV&, std::span<const std::uint8_t> bytes, std::uint32_t wireLength)>;

// `-r IN -w OUT`: "-" reads standard input. Returns the process exit status;
// problems go to `err`.
int RunConvert(const std::string& in, const std::string& out, const PacketPredicate& keep, std::ostream& err);

// `-r IN --print`: the seven list columns and the summary, tab-separated.
int RunPrint(const std::string& in, const PacketPredicate& keep, const PacketSummary& summary, std::ostream& out,
             std::ostream& err);

}  // namespace wirelens
