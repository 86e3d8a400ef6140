#pragma once
// One decoder's fuzz target. Built into the corpus test with g++, or alone as
// a libFuzzer entry point (WIRELENS_LIBFUZZER, clang's -fsanitize=fuzzer).
//
// Input: two bytes of wire length (little-endian), then the bytes kept. A
// target traps when a decoder breaks its promises: a field range outside the
// bytes kept, or a summary with a character that is not printable.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::fuzz {

using Target = int (*)(const std::uint8_t*, std::size_t);

struct NamedTarget {
    std::string name;
    Target run;
};

inline std::vector<NamedTarget>& Targets() {
    static std::vector<NamedTarget> targets;
    return targets;
}

inline bool Register(const char* name, Target run) {
    Targets().push_back({name, run});
    return true;
}

struct FuzzInput {
    ByteReader bytes{{}};
    std::uint32_t wireLength = 0;
};

inline FuzzInput Split(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return {};
    const ByteReader all({data, size});
    return {all.Sub(2), static_cast<std::uint32_t>(all.U8(0) | all.U8(1) << 8)};
}

[[noreturn]] inline void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed: %s: %s\n", what, detail.c_str());
    __builtin_trap();
}

inline void CheckSummary(const std::string& summary) {
    for (const char c : summary) {
        if (c < ' ' || c > '~') Fail("unprintable summary", summary);
    }
}

inline void CheckTree(const dissect::DissectTree& tree, std::size_t kept) {
    for (const auto& layer : tree.layers) {
        if (layer.offset + std::size_t{layer.length} > kept) Fail("layer beyond the bytes", layer.title);
        CheckSummary(layer.title);
        for (const auto& field : layer.fields) {
            if (field.offset + std::size_t{field.length} > kept) Fail("field beyond the bytes", field.name);
            CheckSummary(field.value);
        }
    }
}

}  // namespace wirelens::fuzz

#ifdef WIRELENS_LIBFUZZER
#define WIRELENS_FUZZ_ENTRY(fn) \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { return fn(data, size); }
#else
#define WIRELENS_FUZZ_ENTRY(fn)
#endif

#define WIRELENS_FUZZ_TARGET(fn)                                                              \
    static int fn(const std::uint8_t* data, std::size_t size);                                \
    WIRELENS_FUZZ_ENTRY(fn)                                                                   \
    [[maybe_unused]] static const bool fn##Registered = ::wirelens::fuzz::Register(#fn, fn); \
    static int fn(const std::uint8_t* data, std::size_t size)
