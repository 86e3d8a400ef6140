#pragma once
// Holds this process's memory map for a while, as the kernel's own walkers
// do at times: another thread populates a gigabyte of small pages, holding
// the map's lock for reading all the while. Any mmap, munmap or brk made
// meanwhile waits until it ends; a write to a page of a mapping that exists
// does not.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace wirelens::testing {

class HeldMemoryMap {
public:
    using Clock = std::chrono::steady_clock;

    // Returns once the populate is under way.
    HeldMemoryMap() {
        mHeld = mmap(nullptr, kHeld, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mHeld == MAP_FAILED) return;
        madvise(mHeld, kHeld, MADV_NOHUGEPAGE);  // small pages: the longest hold
        mThread = std::thread([this] {
            mBegun = Clock::now();
            mPopulating = true;
            if (madvise(mHeld, kHeld, MADV_POPULATE_WRITE) != 0) std::perror("MADV_POPULATE_WRITE");
            mEnded = Clock::now();
        });
        while (!mPopulating) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into the populate
    }
    ~HeldMemoryMap() { Release(); }
    HeldMemoryMap(const HeldMemoryMap&) = delete;
    HeldMemoryMap& operator=(const HeldMemoryMap&) = delete;

    bool Holding() const { return mHeld != MAP_FAILED; }
    // Waits for the populate to end and frees its memory.
    void Release() {
        if (mThread.joinable()) mThread.join();
        if (mHeld != MAP_FAILED) munmap(mHeld, kHeld);
        mHeld = MAP_FAILED;
    }
    // After Release: when the map was let go, and whether it was held long
    // enough to tell a wait from none.
    Clock::time_point Ended() const { return mEnded; }
    bool HeldLongEnough() const { return mEnded - mBegun >= std::chrono::milliseconds(150); }

private:
    static constexpr std::size_t kHeld = std::size_t{1} << 30;
    void* mHeld = MAP_FAILED;
    std::thread mThread;
    std::atomic<bool> mPopulating{false};
    Clock::time_point mBegun;
    Clock::time_point mEnded;
};

}  // namespace wirelens::testing
