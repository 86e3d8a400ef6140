#pragma once
// The kernel's flags for the mapping that holds an address, from
// /proc/self/smaps (" hg": advised to have huge pages).
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace wirelens::testing {

// The VmFlags line of the mapping that holds `p`; empty when none does.
inline std::string VmFlagsOf(const void* p) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t begin = 0;
        std::uintptr_t end = 0;
        // A mapping's first line is "BEGIN-END perms ..."; its fields are "Name: value".
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &begin, &end) == 2 &&
            line.find(':') > line.find(' ')) {
            inside = begin <= at && at < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return {};
}

// Where the mapping that holds `p` starts; 0 when none does.
inline std::uintptr_t MappingStartOf(const void* p) {
    std::ifstream maps("/proc/self/maps");
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t begin = 0;
        std::uintptr_t end = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR, &begin, &end) == 2 && begin <= at && at < end)
            return begin;
    }
    return 0;
}

}  // namespace wirelens::testing
