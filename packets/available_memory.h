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

// Makes malloc give every block of kMappedBlockBytes or more a mapping of
// its own, from now on. glibc otherwise raises that threshold each time such
// a block is freed (up to 32 MiB), after which blocks that large come from the
// heap, and growing one copies it whole. Qt's row header keeps 8 bytes a row
// in a list that grows that way: at millions of rows one such copy held the
// window for 20-30 ms, in a flood 20-40 ms at half a million and a million
// rows with an 8 MiB threshold. A mapped block grows by moving its pages
// instead. The price is a fresh block's page faults, so freed heap pages are
// kept, as glibc's own rule keeps them, up to twice the threshold.
// False when the allocator has no such setting (a sanitizer's).
inline constexpr int kMappedBlockBytes = 1 << 20;
bool KeepLargeBlocksMapped();

}  // namespace wirelens
