#pragma once
// Large store chunks backed by transparent huge pages where the kernel offers
// them: filling a chunk then takes one page fault per 2 MiB instead of 512,
// which is most of the cost of filing packets quickly. Pages stay untouched
// (not resident) until written, as with new[].
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace wirelens {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

struct FreeChunk {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using HugeChunk = std::unique_ptr<T[], FreeChunk>;

// `bytes` must be a multiple of kHugePageBytes.
template <typename T>
HugeChunk<T> AllocateHugeChunk(std::size_t bytes) {
    void* p = std::aligned_alloc(kHugePageBytes, bytes);
    if (p == nullptr) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // advice only: without huge pages it is ordinary memory
    return HugeChunk<T>(static_cast<T*>(p));
}

}  // namespace wirelens
