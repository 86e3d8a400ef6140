#include "capture/huge_chunk.h"

#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace wirelens {

namespace {

// One thread for the process, started by the first request and ended at exit.
class FaultAheadThread {
public:
    void Request(const void* begin, std::size_t bytes) {
        {
            std::lock_guard lock(mMutex);
            if (mUnsupported || mQueue.size() >= kMaxQueued) return;
            mQueue.emplace_back(reinterpret_cast<std::uintptr_t>(begin), bytes);
            if (!mThread.joinable()) mThread = std::thread([this] { Run(); });
        }
        mWake.notify_one();
    }

    ~FaultAheadThread() {
        {
            std::lock_guard lock(mMutex);
            mStopping = true;
        }
        mWake.notify_one();
        if (mThread.joinable()) mThread.join();
    }

private:
    static constexpr std::size_t kMaxQueued = 64;

    void Run() {
        std::unique_lock lock(mMutex);
        for (;;) {
            mWake.wait(lock, [this] { return mStopping || !mQueue.empty(); });
            if (mStopping) return;
            const auto [begin, bytes] = mQueue.front();
            mQueue.pop_front();
            lock.unlock();
            // The memory may have been freed since the request: the kernel then
            // says ENOMEM and nothing happens. A kernel without the advice says
            // EINVAL once, and no more requests are queued.
            const int result = madvise(reinterpret_cast<void*>(begin), bytes, MADV_POPULATE_WRITE);
            const bool unsupported = result != 0 && errno == EINVAL;
            lock.lock();
            if (unsupported) mUnsupported = true;
        }
    }

    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<std::pair<std::uintptr_t, std::size_t>> mQueue;
    bool mStopping = false;
    bool mUnsupported = false;
    std::thread mThread;
};

FaultAheadThread& Thread() {
    static FaultAheadThread thread;
    return thread;
}

}  // namespace

void FaultInAhead(const void* begin, std::size_t bytes) { Thread().Request(begin, bytes); }

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
