#include "capture/huge_chunk.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "capture/thread_priority.h"

namespace wirelens {

namespace {

struct Range {
    std::uintptr_t begin = 0;
    std::size_t bytes = 0;
    bool Overlaps(const Range& other) const {
        return begin < other.begin + other.bytes && other.begin < begin + bytes;
    }
};

// Writes every page of the range without changing a byte: a locked OR of
// zero reads and writes back what is there in one step, whatever the owner
// of the memory writes at the same moment, so the pages may be written by
// their owner meanwhile.
void FaultIn(const Range& range) {
    auto* const bytes = reinterpret_cast<std::uint8_t*>(range.begin);
    for (std::size_t at = 0; at < range.bytes; at += kSmallPageBytes)
        std::atomic_ref<std::uint8_t>(bytes[at]).fetch_or(0, std::memory_order_relaxed);
}

// One thread for the process, started by the first request. It is never
// destroyed: chunks may be freed during exit, after static destructors ran.
class FaultAheadThread {
public:
    void Request(const void* begin, std::size_t bytes) {
        {
            std::lock_guard lock(mMutex);
            if (mQueue.size() >= kMaxQueued) return;
            mQueue.push_back({reinterpret_cast<std::uintptr_t>(begin), bytes});
            mRequesterNice = getpriority(PRIO_PROCESS, 0);  // on Linux, the calling thread's
            if (!mThread.joinable()) mThread = std::thread([this] { Run(); });
        }
        mWake.notify_one();
    }

    void WaitUntilIdle() {
        std::unique_lock lock(mMutex);
        mServed.wait(lock, [this] { return mQueue.empty() && mServing.bytes == 0; });
    }

    void Forget(const void* begin, std::size_t bytes) {
        const Range freed{reinterpret_cast<std::uintptr_t>(begin), bytes};
        std::unique_lock lock(mMutex);
        std::erase_if(mQueue, [&](const Range& r) { return r.Overlaps(freed); });
        mServed.wait(lock, [&] { return !mServing.Overlaps(freed); });
    }

private:
    static constexpr std::size_t kMaxQueued = 64;

    void Run() {
        NameThread(pthread_self(), kFaultAheadThreadName);
        std::unique_lock lock(mMutex);
        for (;;) {
            mWake.wait(lock, [this] { return !mQueue.empty(); });
            mServing = mQueue.front();
            mQueue.pop_front();
            const int nice = std::min(mRequesterNice + kFaultAheadNiceBehind, 19);
            lock.unlock();
            // Going back up needs CAP_SYS_NICE; without it the thread stays further behind.
            if (getpriority(PRIO_PROCESS, 0) != nice) setpriority(PRIO_PROCESS, 0, nice);
            FaultIn(mServing);
            lock.lock();
            mServing = {};
            mServed.notify_all();
        }
    }

    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mServed;
    std::deque<Range> mQueue;
    Range mServing;  // being faulted in, outside the lock
    int mRequesterNice = 0;  // of the latest request
    std::thread mThread;
};

FaultAheadThread& Thread() {
    static auto* const thread = new FaultAheadThread;
    return *thread;
}

std::atomic<int> gReleasing{0};

}  // namespace

bool detail::StartRelease(std::function<void()> run) {
    gReleasing.fetch_add(1);
    try {
        std::thread([run = std::move(run)] {
            NameThread(pthread_self(), kReleaseThreadName);
            run();
            gReleasing.fetch_sub(1);
        }).detach();
        return true;
    } catch (const std::system_error&) {
        gReleasing.fetch_sub(1);
        return false;
    }
}

void WaitForBackgroundReleases() {
    while (gReleasing.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FaultInAhead(const void* begin, std::size_t bytes) { Thread().Request(begin, bytes); }

void FaultInNow(void* begin, std::size_t bytes) { FaultIn({reinterpret_cast<std::uintptr_t>(begin), bytes}); }

void ForgetFaultAhead(const void* begin, std::size_t bytes) noexcept { Thread().Forget(begin, bytes); }

void WaitForFaultAhead() { Thread().WaitUntilIdle(); }

void GivePagesBack(void* begin, std::size_t bytes) noexcept {
    ForgetFaultAhead(begin, bytes);
    madvise(begin, bytes, MADV_DONTNEED);
}

ReservedMemory ReservedMemory::Reserve(std::size_t bytes, ChunkPages pages) {
    ReservedMemory r;
    // Room to align in, with at least a page to spare on either side.
    const std::size_t mapped = bytes + 2 * kHugePageBytes;
    // Unaccounted: the commit it would count is address space, not memory.
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return r;
    r.mMapping = p;
    r.mMapped = mapped;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    r.mBase = reinterpret_cast<std::uint8_t*>(RoundUp(at + kSmallPageBytes, kHugePageBytes));
    r.mBytes = bytes;
    // The advice splits the aligned part off: the unaligned pages either side,
    // never written, then lie between it and its neighbours, so nothing mapped
    // beside it later is merged into it or shares its reverse-map lock.
    madvise(r.mBase, bytes, pages == ChunkPages::Huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    return r;
}

ReservedMemory::ReservedMemory(ReservedMemory&& other) noexcept
    : mBase(std::exchange(other.mBase, nullptr)),
      mBytes(std::exchange(other.mBytes, 0)),
      mMapping(std::exchange(other.mMapping, nullptr)),
      mMapped(std::exchange(other.mMapped, 0)) {}

ReservedMemory& ReservedMemory::operator=(ReservedMemory&& other) noexcept {
    if (this != &other) {
        Release();
        mBase = std::exchange(other.mBase, nullptr);
        mBytes = std::exchange(other.mBytes, 0);
        mMapping = std::exchange(other.mMapping, nullptr);
        mMapped = std::exchange(other.mMapped, 0);
    }
    return *this;
}

ReservedMemory::~ReservedMemory() { Release(); }

void ReservedMemory::Release() noexcept {
    if (mMapping == nullptr) return;
    ForgetFaultAhead(mBase, mBytes);
    munmap(mMapping, mMapped);
    mMapping = nullptr;
    mBase = nullptr;
    mBytes = 0;
    mMapped = 0;
}

std::shared_ptr<ChunkSpace> ChunkSpace::Reserve(std::size_t slotBytes, std::size_t slots) {
    ReservedMemory memory = ReservedMemory::Reserve(slotBytes * slots, ChunkPages::Huge);
    if (!memory) return nullptr;
    return std::shared_ptr<ChunkSpace>(new ChunkSpace(std::move(memory), slotBytes, slots));
}

ChunkSpace::ChunkSpace(ReservedMemory memory, std::size_t slotBytes, std::size_t slots)
    : mMemory(std::move(memory)), mSlotBytes(slotBytes) {
    mFree.reserve(slots);
    // The first slots are taken first.
    for (std::size_t s = slots; s-- > 0;) mFree.push_back(mMemory.get() + s * slotBytes);
}

std::uint8_t* ChunkSpace::Take() {
    std::lock_guard lock(mMutex);
    if (mFree.empty()) return nullptr;
    std::uint8_t* const slot = mFree.back();
    mFree.pop_back();
    return slot;
}

void ChunkSpace::Give(std::uint8_t* slot) noexcept {
    GivePagesBack(slot, mSlotBytes);
    std::lock_guard lock(mMutex);
    mFree.push_back(slot);  // reserved for every slot: cannot allocate
}

bool FaultInNextHugePage(const void* chunk, std::size_t chunkBytes, std::size_t before, std::size_t after) {
    // The page this write starts when it is the first into it: the writer then
    // has a whole page's worth of writes before it needs the next one.
    const bool entersPage = before == 0 || before / kHugePageBytes != after / kHugePageBytes;
    const std::size_t page = after / kHugePageBytes;
    if (!entersPage || after == before || page * kHugePageBytes >= chunkBytes) return false;
    const std::size_t next = (page + 1) * kHugePageBytes;
    if (next + kHugePageBytes > chunkBytes) return true;
    FaultInAhead(static_cast<const std::uint8_t*>(chunk) + next, kHugePageBytes);
    return false;
}

}  // namespace wirelens
