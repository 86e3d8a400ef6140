#pragma once
// Large store chunks backed by transparent huge pages where the kernel offers
// them: filling a chunk then takes one page fault per 2 MiB instead of 512,
// which is most of the cost of filing packets quickly. Pages stay untouched
// (not resident) until written, as with new[].
//
// The one fault per 2 MiB clears a whole huge page, which takes milliseconds
// on a virtual machine; a writer that takes it stalls for that long. So the
// stores ask for each next huge page to be faulted in ahead of them, on a
// thread of its own (FaultInAhead), as soon as they start filling the one
// before it: the other thread then has a whole page's worth of writes to
// clear the next one in.
//
// That thread faults a page in by writing to it, not by asking the kernel to
// populate it (MADV_POPULATE_WRITE): the kernel populates under the read side
// of the process's memory-map lock, and a huge page cleared under it, when the
// machine is busy, kept every mmap, munmap and brk of the process (malloc
// growing the heap in the window's thread) waiting for milliseconds. A write
// fault takes only the lock of the mapping it falls in. Writing means the
// memory must still be there: a chunk forgets its requests before it is freed.
#include <malloc.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace wirelens {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Drops the fault-ahead requests that fall in [begin, begin + bytes) and
// waits for one being served there; after it, the memory may be freed.
void ForgetFaultAhead(const void* begin, std::size_t bytes) noexcept;

struct FreeChunk {
    void operator()(void* p) const noexcept {
        ForgetFaultAhead(p, malloc_usable_size(p));
        std::free(p);
    }
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

// Faults in [begin, begin + bytes), which lies in a HugeChunk (or other
// memory that calls ForgetFaultAhead before it goes), on the
// fault-ahead thread, as if written, without changing what is there: the
// caller may write the same pages at any time. Never blocks; a request that
// finds the queue full is dropped (the writer then takes the fault itself, as
// without this).
void FaultInAhead(const void* begin, std::size_t bytes);

// Waits until every request made so far has been served or dropped; for
// callers that must know the pages are in.
void WaitForFaultAhead();

// What a writer filling a chunk from `before` to `after` bytes asks for: the
// next huge page when this write is the first into a page. Returns true when
// that next page would be past `chunkBytes`: the writer should then make its
// next chunk ready and fault in that chunk's first page instead.
bool FaultInNextHugePage(const void* chunk, std::size_t chunkBytes, std::size_t before, std::size_t after);

}  // namespace wirelens
