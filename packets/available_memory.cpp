#include "packets/available_memory.h"

#include <malloc.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <string>

namespace wirelens {

namespace {
constexpr std::string_view kField = "MemAvailable:";
constexpr std::uint64_t kBytesPerKiB = 1024;
}  // namespace

std::optional<std::uint64_t> ParseMemAvailable(std::string_view meminfo) {
    std::size_t at = 0;
    while (at < meminfo.size()) {
        const std::size_t end = std::min(meminfo.find('\n', at), meminfo.size());
        std::string_view line = meminfo.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(kField)) continue;
        line.remove_prefix(kField.size());
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        std::uint64_t kib = 0;
        const auto [next, error] = std::from_chars(line.data(), line.data() + line.size(), kib);
        if (error != std::errc() || next == line.data()) return std::nullopt;
        if (std::string_view(next, static_cast<std::size_t>(line.data() + line.size() - next)) != " kB")
            return std::nullopt;
        if (kib > UINT64_MAX / kBytesPerKiB) return std::nullopt;
        return kib * kBytesPerKiB;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> AvailableMemoryBytes() {
    std::ifstream in("/proc/meminfo");
    if (!in) return std::nullopt;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return ParseMemAvailable(text);
}

bool KeepLargeBlocksMapped() {
    return mallopt(M_MMAP_THRESHOLD, kMappedBlockBytes) == 1 && mallopt(M_TRIM_THRESHOLD, 2 * kMappedBlockBytes) == 1;
}

}  // namespace wirelens
