#include "capture/capture_pump.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "capture/thread_priority.h"


namespace wirelens {

namespace {
// Blocks kept for reuse beyond those in the queue: enough for the usual
// handful in flight, without holding a flood's worth of memory afterwards.
constexpr std::size_t kFreeBlocksKept = 8;

void Signal(int fd) {
    const std::uint64_t one = 1;
    // A full counter (never, at one per notice) would mean it is readable anyway.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Quiet(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}
}  // namespace

CapturePump::CapturePump(int fd, std::size_t blockBytes, std::size_t maxBlocks)
    : CapturePump(fd, nullptr, blockBytes, maxBlocks) {}

CapturePump::CapturePump(int fd, std::unique_ptr<RingMapping> ring, std::size_t blockBytes, std::size_t maxBlocks)
    : CapturePump(std::move(ring), blockBytes, maxBlocks) {
    Start(fd);
}

CapturePump::CapturePump(std::unique_ptr<RingMapping> ring, std::size_t blockBytes, std::size_t maxBlocks)
    : mBlockBytes(std::max(blockBytes, 2 * kLargestFrame)),
      mMaxBlocks(std::max<std::size_t>(maxBlocks, 2)),
      mRing(std::move(ring)) {
    // Slots of whole pages, so that giving one's pages back leaves its
    // neighbours alone; the blocks' headers are made now too, so that taking
    // one allocates nothing.
    mSpace = ReservedMemory::Reserve(RoundUp(mMaxBlocks * SlotBytes(), kHugePageBytes));
    if (mSpace) {
        // The first write into a mapping sets up its reverse map under the
        // process's memory map; later faults in it take only the mapping's lock.
        mSpace.get()[0] = 0;
        mCold.reserve(mMaxBlocks);
        for (std::size_t slot = mMaxBlocks; slot-- > 0;) {  // the first slots are taken first
            mCold.push_back(std::make_unique<Block>());
            mCold.back()->bytes = mSpace.get() + slot * SlotBytes();
        }
        mFree.reserve(mMaxBlocks);
        mExtra.reserve(mMaxBlocks);
    }
    if (mRing) {
        mRingReader.emplace(*mRing);
        mRingTaken.store(mRingReader->TakenPosition());
    }
    mNoticeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (mNoticeFd < 0 || mWakeFd < 0) {
        const int error = errno;
        if (mNoticeFd >= 0) close(mNoticeFd);
        if (mWakeFd >= 0) close(mWakeFd);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    mThread = std::thread([this] {
        {
            std::unique_lock lock(mMutex);
            mChanged.wait(lock, [this] { return mStarted || mStop; });
            if (mStop) return;
        }
        if (mRingReader) RunWithRing();
        else Run();
    });
    // Named from here, so that the name is there before anyone looks.
    NameThread(mThread.native_handle(), kCapturePumpThreadName);
}

void CapturePump::Start(int fd) {
    std::unique_lock lock(mMutex);
    if (mStarted) return;
    if (mRing) mRing->CloseFd();
    mFd = fd;
    mStarted = true;
    lock.unlock();
    mChanged.notify_all();
}

CapturePump::~CapturePump() {
    {
        std::lock_guard lock(mMutex);
        mStop = true;
    }
    mChanged.notify_all();
    Signal(mWakeFd);
    mThread.join();
    close(mNoticeFd);
    close(mWakeFd);
}

CapturePump::Block* CapturePump::AcquireBlock() {
    std::unique_lock lock(mMutex);
    mChanged.wait(lock, [this] { return mStop || mQueue.size() < mMaxBlocks; });
    if (mStop) return nullptr;
    if (mFree.size() > kFreeBlocksKept) {
        lock.unlock();
        FreeExtraBlocks();
        lock.lock();
        if (mStop) return nullptr;
    }
    // A block comes from those taken before, or from a slot of the space:
    // allocating one instead would map it, and an mmap waits for the
    // process's memory map, which the window's thread may hold (growing its
    // heap) while it waits itself for a kernel page walker. That held the pump
    // here for over 200 ms, and the rings overflowed behind it.
    std::unique_ptr<Block> block;
    if (!mFree.empty()) {
        block = std::move(mFree.back());
        mFree.pop_back();
    } else if (!mCold.empty()) {
        block = std::move(mCold.back());
        mCold.pop_back();
        lock.unlock();
        // Its pages are faulted in here: a read() into them would fault them
        // in under the process's memory map, behind any mmap or munmap of the
        // window's, which itself waits for whoever holds the map.
        FaultInNow(block->bytes, SlotBytes());
        lock.lock();
        ++mMade;
    } else {
        lock.unlock();  // the allocation needs no lock, and the taker may want it meanwhile
        try {
            block = std::make_unique<Block>();
            block->own = std::make_unique_for_overwrite<std::uint8_t[]>(mBlockBytes);
            block->bytes = block->own.get();
        } catch (const std::bad_alloc&) {
            EndWith(End::Failed, ENOMEM);  // what was read before stays for the taker
            return nullptr;
        }
        lock.lock();
        ++mMade;
    }
    // Empty whatever it held before: a block whose pages went back keeps its
    // old mark and seal, and a taker would pass over what is written into it.
    block->published = 0;
    block->sealed = false;
    if (!mQueue.empty()) mQueue.back()->sealed = true;
    mQueue.push_back(std::move(block));
    mPeakBlocks = std::max(mPeakBlocks, mQueue.size());
    return mQueue.back().get();
}

void CapturePump::FreeExtraBlocks() {
    // Here, on the pump's thread, not on the taker's: giving pages back is a
    // system call, and freeing a block of its own unmaps it.
    {
        std::lock_guard lock(mMutex);
        if (mFree.size() <= kFreeBlocksKept) return;
        mExtra.assign(std::make_move_iterator(mFree.begin() + kFreeBlocksKept), std::make_move_iterator(mFree.end()));
        mFree.resize(kFreeBlocksKept);
    }
    for (auto& block : mExtra) {
        if (block->own) block.reset();  // outside the lock: it unmaps
        else GivePagesBack(block->bytes, SlotBytes());
    }
    std::lock_guard lock(mMutex);
    for (auto& block : mExtra)
        if (block) mCold.push_back(std::move(block));  // reserved for every block: cannot allocate
    mExtra.clear();
}

CapturePump::Idle CapturePump::WhenIdle() {
    std::lock_guard lock(mMutex);
    if (mStop) return Idle::Stop;
    return mFinish ? Idle::Finish : Idle::Wait;
}

bool CapturePump::Sleep() {
    FreeExtraBlocks();  // nothing to read now: what a burst needed goes
    pollfd watched[2] = {{mFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
        EndWith(End::Failed, errno);
        return false;
    }
    if ((watched[1].revents & POLLIN) != 0) Quiet(mWakeFd);
    return true;
}

template <typename Change>
void CapturePump::Announce(Change change) {
    bool asked = false;
    {
        std::lock_guard lock(mMutex);
        if (!change()) return;
        asked = std::exchange(mNoticeAsked, false);
    }
    mChanged.notify_all();
    if (asked) Signal(mNoticeFd);
}

void CapturePump::Publish(Block& block, std::size_t whole) {
    Announce([&] { return std::exchange(block.published, whole) != whole; });
}

void CapturePump::EndWith(End end, int error) {
    Announce([&] {
        mEnd = end;
        mErrno = error;
        return true;
    });
}

void CapturePump::Run() {
    Block* block = AcquireBlock();
    if (block == nullptr) return;
    std::size_t end = 0;    // bytes read into the block
    std::size_t whole = 0;  // of them, whole frames
    for (;;) {
        if (mBlockBytes - end < kLargestFrame) {
            // The next frame might not fit: it starts a new block, which takes
            // the partial frame along. The block holds at least one whole frame.
            Block* next = AcquireBlock();
            if (next == nullptr) return;
            std::memcpy(next->bytes, block->bytes + whole, end - whole);
            block = next;
            end -= whole;
            whole = 0;
        }
        const ssize_t n = ::read(mFd, block->bytes + end, mBlockBytes - end);
        if (n > 0) {
            end += static_cast<std::size_t>(n);
            for (;;) {
                const FrameAt at = ParseFrameAt({block->bytes + whole, end - whole});
                if (at.cut == FrameCut::Whole) {
                    whole += at.size;
                    continue;
                }
                if (at.cut == FrameCut::Corrupt) {
                    Publish(*block, whole);
                    return EndWith(End::Corrupt);
                }
                break;
            }
            Publish(*block, whole);
            continue;
        }
        if (n == 0) return EndWith(End::EndOfStream);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return EndWith(End::Failed, errno);
        switch (WhenIdle()) {
            case Idle::Stop: return;
            case Idle::Finish: return EndWith(End::Finished);
            case Idle::Wait: break;
        }
        if (!Sleep()) return;
    }
}

void CapturePump::RunWithRing() {
    Block* block = AcquireBlock();
    if (block == nullptr) return;
    std::size_t end = 0;  // bytes of whole frames in the block: each is copied in whole
    // The stream's bytes read and not yet filed, from the front.
    std::vector<std::uint8_t> stream(std::max<std::size_t>(64 << 10, 2 * kLargestFrame));
    std::size_t streamEnd = 0;

    // Files one whole frame; false when the pump stops or memory ran out.
    const auto put = [&](std::span<const std::uint8_t> frame) {
        if (mBlockBytes - end < frame.size()) {
            Publish(*block, end);
            Block* next = AcquireBlock();
            if (next == nullptr) return false;
            block = next;
            end = 0;
        }
        std::memcpy(block->bytes + end, frame.data(), frame.size());
        end += frame.size();
        return true;
    };
    // Files what the ring holds now; false when reading has ended.
    const auto drain = [&] {
        bool filed = false;
        for (std::span<const std::uint8_t> frame; !(frame = mRingReader->NextFrameBytes()).empty(); filed = true)
            if (!put(frame)) return false;
        mRingPeak.store(mRingReader->PeakBytes(), std::memory_order_relaxed);
        mRingTaken.store(mRingReader->TakenPosition(), std::memory_order_relaxed);
        if (mRingReader->Corrupt()) {
            Publish(*block, end);
            EndWith(End::Corrupt);
            return false;
        }
        if (filed) Publish(*block, end);
        return true;
    };
    // What the ring holds, then the stream's frames read so far: the helper
    // published its datagrams before it wrote what follows them.
    const auto file = [&] {
        std::size_t at = 0;
        for (;;) {
            const FrameAt frame = ParseFrameAt({stream.data() + at, streamEnd - at});
            if (frame.cut == FrameCut::Corrupt) {
                Publish(*block, end);
                EndWith(End::Corrupt);
                return false;
            }
            if (frame.cut == FrameCut::Partial) break;
            if (!drain()) return false;
            if (frame.frame.type != FrameType::Published && !put({stream.data() + at, frame.size})) return false;
            at += frame.size;
        }
        std::memmove(stream.data(), stream.data() + at, streamEnd - at);
        streamEnd -= at;
        Publish(*block, end);
        return true;
    };

    for (;;) {
        if (!drain()) return;
        const ssize_t n = ::read(mFd, stream.data() + streamEnd, stream.size() - streamEnd);
        if (n > 0) {
            streamEnd += static_cast<std::size_t>(n);
            if (!file()) return;
            continue;
        }
        if (n == 0) {
            // The helper has ended: it writes no more to the ring either.
            if (drain()) EndWith(End::EndOfStream);
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return EndWith(End::Failed, errno);
        const Idle idle = WhenIdle();
        if (idle == Idle::Stop) return;
        if (idle == Idle::Finish) {
            if (drain()) EndWith(End::Finished);
            return;
        }
        // Asleep until the helper's next frames: it sends a Published frame
        // with them once asked; frames that came meanwhile are taken first.
        if (!mRingReader->AskForWake()) continue;
        if (!Sleep()) return;
    }
}

bool CapturePump::WaitingLocked() const {
    if (mQueue.empty()) return false;
    // Only the taker moves past a block, so a front block fully taken and
    // sealed means the next one may hold frames.
    const Block& front = *mQueue.front();
    if (mTaken < front.published) return true;
    return front.sealed && mQueue.size() > 1 && mQueue[1]->published > 0;
}

void CapturePump::Refill() {
    bool freed = false;
    {
        std::lock_guard lock(mMutex);
        while (!mQueue.empty()) {
            Block& front = *mQueue.front();
            if (mTaken < front.published) {
                mBatch = {front.bytes + mTaken, front.published - mTaken};
                break;
            }
            if (!front.sealed) break;
            // Taken to its end and written no more: reuse it (the pump's
            // thread frees those past the few it keeps).
            mFree.push_back(std::move(mQueue.front()));
            mQueue.pop_front();
            mTaken = 0;
            freed = true;
        }
        if (mBatch.empty()) mEndSeen = mEnd;
    }
    if (freed) mChanged.notify_all();
}

std::optional<Frame> CapturePump::TakeFrame() {
    if (mBatch.empty()) {
        Refill();
        if (mBatch.empty()) return std::nullopt;
    }
    // Whole by construction: the pump publishes whole frames only.
    const FrameAt at = ParseFrameAt(mBatch);
    mBatch = mBatch.subspan(at.size);
    mTaken += at.size;
    return at.frame;
}

bool CapturePump::AskForNotice() {
    std::lock_guard lock(mMutex);
    if (WaitingLocked() || mEnd != End::None) return false;
    mNoticeAsked = true;
    return true;
}

void CapturePump::ClearNotice() { Quiet(mNoticeFd); }

void CapturePump::Finish() {
    {
        std::lock_guard lock(mMutex);
        mFinish = true;
    }
    Signal(mWakeFd);
}

void CapturePump::WaitForFrames() {
    std::unique_lock lock(mMutex);
    mChanged.wait(lock, [this] { return WaitingLocked() || mEnd != End::None; });
}

int CapturePump::LastErrno() const {
    std::lock_guard lock(mMutex);
    return mErrno;
}

std::uint64_t CapturePump::RingBytesPublished() const {
    return mRing ? mRing->Positions().published.load(std::memory_order_acquire) : 0;
}

std::size_t CapturePump::BytesWaiting() const {
    std::size_t inRing = 0;
    if (mRing) {
        const std::uint64_t published = mRing->Positions().published.load(std::memory_order_acquire);
        const std::uint64_t taken = mRingTaken.load(std::memory_order_relaxed);
        if (published > taken) inRing = static_cast<std::size_t>(published - taken);
    }
    std::lock_guard lock(mMutex);
    std::size_t bytes = 0;
    for (const auto& block : mQueue) bytes += block->published;
    return inRing + (mQueue.empty() ? 0 : bytes - mTaken);
}

std::size_t CapturePump::BlocksHeld() const {
    std::lock_guard lock(mMutex);
    return mQueue.size() + mFree.size();
}

std::size_t CapturePump::PeakBytes() const {
    const std::size_t inRing = mRingPeak.load(std::memory_order_relaxed);
    std::lock_guard lock(mMutex);
    return inRing + mPeakBlocks * mBlockBytes;
}

std::size_t CapturePump::BlocksMade() const {
    std::lock_guard lock(mMutex);
    return mMade;
}

}  // namespace wirelens
