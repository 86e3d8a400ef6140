#include "capture/capture_pump.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>


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
    : mFd(fd), mBlockBytes(std::max(blockBytes, 2 * kLargestFrame)), mMaxBlocks(std::max<std::size_t>(maxBlocks, 2)) {
    mNoticeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (mNoticeFd < 0 || mWakeFd < 0) {
        const int error = errno;
        if (mNoticeFd >= 0) close(mNoticeFd);
        if (mWakeFd >= 0) close(mWakeFd);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    mThread = std::thread([this] { Run(); });
}

CapturePump::CapturePump(int fd, std::unique_ptr<RingMapping> ring) : CapturePump(fd) {
    // Only the taker's thread uses the ring.
    mRing = std::move(ring);
    if (mRing) mRingReader.emplace(*mRing);
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
    std::unique_ptr<Block> block;
    if (!mFree.empty()) {
        block = std::move(mFree.back());
        mFree.pop_back();
        block->published = 0;
        block->sealed = false;
    } else {
        lock.unlock();  // the allocation needs no lock, and the taker may want it meanwhile
        try {
            block = std::make_unique<Block>();
            block->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(mBlockBytes);
        } catch (const std::bad_alloc&) {
            EndWith(End::Failed, ENOMEM);  // what was read before stays for the taker
            return nullptr;
        }
        lock.lock();
        ++mMade;
    }
    if (!mQueue.empty()) mQueue.back()->sealed = true;
    mQueue.push_back(std::move(block));
    mPeakBlocks = std::max(mPeakBlocks, mQueue.size());
    return mQueue.back().get();
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
            std::memcpy(next->bytes.get(), block->bytes.get() + whole, end - whole);
            block = next;
            end -= whole;
            whole = 0;
        }
        const ssize_t n = ::read(mFd, block->bytes.get() + end, mBlockBytes - end);
        if (n > 0) {
            end += static_cast<std::size_t>(n);
            for (;;) {
                const FrameAt at = ParseFrameAt({block->bytes.get() + whole, end - whole});
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
        bool finish = false;
        {
            std::lock_guard lock(mMutex);
            if (mStop) return;
            finish = mFinish;
        }
        if (finish) return EndWith(End::Finished);
        pollfd watched[2] = {{mFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) return EndWith(End::Failed, errno);
        if ((watched[1].revents & POLLIN) != 0) Quiet(mWakeFd);
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
                mBatch = {front.bytes.get() + mTaken, front.published - mTaken};
                break;
            }
            if (!front.sealed) break;
            // Taken to its end and written no more: reuse it.
            if (mFree.size() < kFreeBlocksKept) mFree.push_back(std::move(mQueue.front()));
            mQueue.pop_front();
            mTaken = 0;
            freed = true;
        }
        if (mBatch.empty()) mEndSeen = mEnd;
    }
    if (freed) mChanged.notify_all();
}

std::optional<Frame> CapturePump::TakeStreamFrame() {
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

std::optional<Frame> CapturePump::TakeFrame() {
    if (!mRingReader) return TakeStreamFrame();
    for (;;) {
        if (mBatch.empty()) Refill();
        if (!mBatch.empty()) {
            const FrameAt at = ParseFrameAt(mBatch);
            // The helper's news of an end follows the datagrams it put in the ring before it.
            if (at.frame.type == FrameType::Error) {
                if (auto datagram = mRingReader->Next()) return datagram;
            }
            auto frame = TakeStreamFrame();
            if (frame->type == FrameType::Published) continue;  // the ring is read below anyway
            return frame;
        }
        // Refill has seen no more of the stream, and noted its end if any:
        // the helper has then stopped writing to the ring too.
        if (auto datagram = mRingReader->Next()) return datagram;
        if (mRingReader->Corrupt()) mEndSeen = End::Corrupt;
        return std::nullopt;
    }
}

bool CapturePump::AskForNotice() {
    // The ring first: a Published frame it causes is then seen below, or gives the notice.
    if (mRingReader && !mRingReader->AskForWake()) return false;
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
    // Frames in the ring now, or a Published frame on the stream with the next ones.
    if (mRingReader && !mRingReader->AskForWake()) return;
    std::unique_lock lock(mMutex);
    mChanged.wait(lock, [this] { return WaitingLocked() || mEnd != End::None; });
}

int CapturePump::LastErrno() const {
    std::lock_guard lock(mMutex);
    return mErrno;
}

std::size_t CapturePump::BytesWaiting() const {
    const std::size_t inRing = mRingReader ? mRingReader->BytesWaiting() : 0;
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
    const std::size_t inRing = mRingReader ? mRingReader->PeakBytes() : 0;
    std::lock_guard lock(mMutex);
    return inRing + mPeakBlocks * mBlockBytes;
}

std::size_t CapturePump::BlocksMade() const {
    std::lock_guard lock(mMutex);
    return mMade;
}

}  // namespace wirelens
