#pragma once
// How much memory the machine can still give the capture, so that a long
// capture stops in time instead of the whole window being killed for memory.
#include <cstdint>
#include <optional>
#include <string_view>

namespace wirelens {

// MemAvailable of /proc/meminfo in bytes: what can be allocated without
// swapping. Nothing when it cannot be read.
std::optional<std::uint64_t> AvailableMemoryBytes();

// The MemAvailable line of meminfo text ("MemAvailable:   123456 kB"), in bytes.
std::optional<std::uint64_t> ParseMemAvailable(std::string_view meminfo);

}  // namespace wirelens
