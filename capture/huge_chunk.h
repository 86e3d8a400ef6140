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
// Memory that grows for as long as a capture runs (the packet records) is
// faulted in small pages all the same. A huge page's fault clears its 2 MiB
// in one step the scheduler cannot cut short, and where the host backs a
// virtual machine's fresh memory only when first touched, that step took
// 4.3 ms here (a small page: under 0.1 ms, 0.7 ms for 2 MiB of them). Every
// such step of the fault-ahead thread kept the window's thread, woken
// meanwhile, off that CPU. Chunks that are used again and again (the
// datagram store's) keep huge pages: they are faulted in once, and written
// out with O_DIRECT, which pins far fewer pages of them.
//
// That thread runs kFaultAheadNiceBehind nice levels behind the thread that
// last asked it (an ordinary thread's priority for a window the capture
// helper raised). It only saves its askers faults, so it must never keep them
// off a CPU: here a small page's fault costs about 10 µs (5 ms per 2 MiB), and
// at the asker's priority its runs of several milliseconds were most of the
// time the window's thread, woken meanwhile, waited for a CPU. Behind it, the
// asker takes the CPU back at its next fault; at worst the asker takes some
// faults itself, a page at a time.
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
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace wirelens {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// The smallest page, which a mapping without huge pages (or a fallback from
// them) comes in.
inline constexpr std::size_t kSmallPageBytes = 4096;

// `n` rounded up to a whole number of `unit`s.
constexpr std::size_t RoundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// How far behind its askers the fault-ahead thread runs.
inline constexpr int kFaultAheadNiceBehind = 10;

// Drops the fault-ahead requests that fall in [begin, begin + bytes) and
// waits for one being served there; after it, the memory may be freed.
void ForgetFaultAhead(const void* begin, std::size_t bytes) noexcept;

// Gives the pages of [begin, begin + bytes) back, keeping the address space:
// the next write faults in zeroed pages. Fault-ahead requests are forgotten
// first, or one still queued would bring the pages back.
void GivePagesBack(void* begin, std::size_t bytes) noexcept;

struct FreeChunk {
    void operator()(void* p) const noexcept {
        ForgetFaultAhead(p, malloc_usable_size(p));
        std::free(p);
    }
};
template <typename T>
using HugeChunk = std::unique_ptr<T[], FreeChunk>;

enum class ChunkPages {
    Huge,   // transparent huge pages where the kernel offers them
    Small,  // the kernel's ordinary pages
};

// `bytes` must be a multiple of kHugePageBytes; the chunk is aligned to one.
template <typename T>
HugeChunk<T> AllocateHugeChunk(std::size_t bytes, ChunkPages pages = ChunkPages::Huge) {
    void* p = std::aligned_alloc(kHugePageBytes, bytes);
    if (p == nullptr) throw std::bad_alloc();
    // Advice only: without huge pages it is ordinary memory.
    if (pages == ChunkPages::Huge) madvise(p, bytes, MADV_HUGEPAGE);
    return HugeChunk<T>(static_cast<T*>(p));
}

// Address space for memory that grows as long as a capture runs, taken
// whole before it starts; its pages cost nothing until written.
//
// Every mmap, munmap and brk of the window's thread during a capture can
// wait for another task: a new mapping the kernel merges into the one beside
// it takes that mapping's reverse-map lock, which the kernel's own page
// walkers (reclaim, compaction, DAMON) hold while they look at its pages, and
// it waits for that lock holding the whole process's memory map. Here one
// such wait, in an mmap of the window's thread mid-capture, held it for
// 1.6 s and cost half a million datagrams. Growing into
// address space reserved ahead makes no such call: a first write to a page
// takes only the lock of the mapping it falls in.
class ReservedMemory {
public:
    ReservedMemory() = default;
    // Reserves `bytes` (a multiple of kHugePageBytes), aligned to
    // kHugePageBytes, in small pages by default (memory that grows with a
    // capture: see AllocateHugeChunk); empty when the system refuses so much
    // address space (strict overcommit, an address-space limit).
    static ReservedMemory Reserve(std::size_t bytes, ChunkPages pages = ChunkPages::Small);
    ReservedMemory(ReservedMemory&& other) noexcept;
    ReservedMemory& operator=(ReservedMemory&& other) noexcept;
    ReservedMemory(const ReservedMemory&) = delete;
    ReservedMemory& operator=(const ReservedMemory&) = delete;
    // Forgets the fault-ahead requests that fall in it, then unmaps it.
    ~ReservedMemory();

    std::uint8_t* get() const { return mBase; }
    explicit operator bool() const { return mBase != nullptr; }

private:
    void Release() noexcept;

    std::uint8_t* mBase = nullptr;  // aligned, in the mapping
    std::size_t mBytes = 0;
    void* mMapping = nullptr;  // longer than asked for, to align in
    std::size_t mMapped = 0;
};

// Address space for `slots` chunks of `slotBytes` (a multiple of
// kHugePageBytes) that come and go: a store's chunks, written out to a file
// and used again. Taking a slot and giving it back make no mapping and end
// none, so chunks that pile up behind a slow disk cost the process no call
// that waits for its memory map (see ReservedMemory), and however many there
// were, the map holds one mapping for them all. A slot costs memory only once
// written, and gives its pages back when it is given back.
class ChunkSpace {
public:
    // In huge pages where the kernel offers them; nullptr when refused.
    static std::shared_ptr<ChunkSpace> Reserve(std::size_t slotBytes, std::size_t slots);
    ChunkSpace(const ChunkSpace&) = delete;
    ChunkSpace& operator=(const ChunkSpace&) = delete;
    // A free slot, or nullptr when every one is taken. Any thread.
    std::uint8_t* Take();
    // Drops the slot's fault-ahead requests and pages, and frees it. Any thread.
    void Give(std::uint8_t* slot) noexcept;

private:
    ChunkSpace(ReservedMemory memory, std::size_t slotBytes, std::size_t slots);

    ReservedMemory mMemory;
    const std::size_t mSlotBytes;
    std::mutex mMutex;
    std::vector<std::uint8_t*> mFree;  // the last given back is taken first
};

// A chunk's memory: a slot of `space`, given back to it, or (no space) a
// HugeChunk's block of its own, freed.
struct ReleaseChunk {
    std::shared_ptr<ChunkSpace> space;
    void operator()(std::uint8_t* p) const noexcept {
        if (space) space->Give(p);
        else FreeChunk{}(p);
    }
};
using ChunkMemory = std::unique_ptr<std::uint8_t[], ReleaseChunk>;

// Faults in [begin, begin + bytes), which lies in a HugeChunk (or other
// memory that calls ForgetFaultAhead before it goes), on the
// fault-ahead thread, as if written, without changing what is there: the
// caller may write the same pages at any time. Never blocks; a request that
// finds the queue full is dropped (the writer then takes the fault itself, as
// without this).
void FaultInAhead(const void* begin, std::size_t bytes);

// Faults in [begin, begin + bytes) here, on the calling thread, as
// FaultInAhead does: by writes from user space, which take only the lock of
// the mapping they fall in, where a fault the kernel takes for a system call
// (a read() into the pages) takes the process's memory map. Bytes there stay.
void FaultInNow(void* begin, std::size_t bytes);

// Waits until every request made so far has been served or dropped; for
// callers that must know the pages are in.
void WaitForFaultAhead();

// Runs `release` (which frees chunks, ends files) on a thread of its own, or
// here when no thread can be made. Unmapping hundreds of megabytes takes
// tens of milliseconds: a window clearing a long capture would stand still.
template <typename Release>
void ReleaseInBackground(Release release);

// Waits until every release handed over so far has ended.
void WaitForBackgroundReleases();

namespace detail {
// Starts `run` on a detached thread, counted until it ends; false when no
// thread could be made.
bool StartRelease(std::function<void()> run);
}  // namespace detail

template <typename Release>
void ReleaseInBackground(Release release) {
    // Held apart, so that it is still here to run if no thread can be made.
    auto held = std::make_shared<Release>(std::move(release));
    if (!detail::StartRelease([held] { (*held)(); })) (*held)();
}

// What a writer filling a chunk from `before` to `after` bytes asks for: the
// next huge page when this write is the first into a page. Returns true when
// that next page would be past `chunkBytes`: the writer should then make its
// next chunk ready and fault in that chunk's first page instead.
bool FaultInNextHugePage(const void* chunk, std::size_t chunkBytes, std::size_t before, std::size_t after);

}  // namespace wirelens
