#pragma once
// Reads the capture helper's stream on a thread of its own. The window's
// thread files each datagram, paints and answers the user; while it does that,
// or waits for a CPU that senders on the same machine hold, the pump keeps the
// socket drained, so the helper never waits to write and its packet ring does
// not fill. Frames wait here whole, in stream order, in blocks of memory that
// are used again, until the window takes them: the window stays the only
// writer of the stores.
//
// With a shared ring, the helper puts its datagrams there and the stream
// carries only the rest. The pump's thread takes the ring's frames into its
// blocks as soon as they come, with the stream's frames in the order the
// helper wrote them, so the ring holds only what this thread has not yet
// come to: the blocks are the window's own memory, while a ring the helper
// maps itself counts in its resident memory too. One copy of each datagram
// costs far less than the helper's work for it, and the window takes the
// frames from the blocks as from the stream.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/huge_chunk.h"
#include "capture/shared_ring.h"

namespace wirelens {

class CapturePump {
public:
    static constexpr std::size_t kBlockBytes = 1 << 20;
    // At most 64 MiB wait (over 100 ms of a flood of large datagrams); past
    // that the pump stops reading and the stream's and the helper's buffers
    // fill as they would without it.
    static constexpr std::size_t kMaxBlocks = 64;

    enum class End {
        None,         // reading goes on
        EndOfStream,  // the helper closed its end
        Failed,       // a read failed (LastErrno says why)
        Corrupt,      // a header no well-formed stream carries
        Finished,     // Finish asked for it, and the descriptor held nothing more
    };

    // Starts reading `fd`, a non-blocking stream descriptor the caller keeps
    // open until the pump is gone. Blocks are at least two largest frames.
    explicit CapturePump(int fd, std::size_t blockBytes = kBlockBytes, std::size_t maxBlocks = kMaxBlocks);
    // Reads `fd`, and the datagrams the helper writes to `ring` (null: none).
    CapturePump(int fd, std::unique_ptr<RingMapping> ring, std::size_t blockBytes = kBlockBytes,
                std::size_t maxBlocks = kMaxBlocks);
    // The same, with the thread (named kCapturePumpThreadName) started now
    // and reading once Start gives it the descriptor: a helper started in
    // between finds the thread. Nothing is read when Start never comes.
    explicit CapturePump(std::unique_ptr<RingMapping> ring, std::size_t blockBytes = kBlockBytes,
                         std::size_t maxBlocks = kMaxBlocks);
    // Once: `fd` as above. The ring's descriptor is closed: the helper,
    // started by now, has its own.
    void Start(int fd);
    CapturePump(const CapturePump&) = delete;
    CapturePump& operator=(const CapturePump&) = delete;
    ~CapturePump();  // stops reading; frames not taken are dropped

    // The oldest frame not taken yet, whole; nothing when none waits. Its
    // payload stays valid until the next call. The ring's datagrams come
    // before every frame of the stream the helper wrote after them (an Error
    // frame after the datagrams it had captured); Published frames, which
    // only wake the pump, are not handed out.
    std::optional<Frame> TakeFrame();
    // Why reading ended, once every frame before the end has been taken
    // (TakeFrame found nothing more); None until then.
    End TakenToTheEnd() const { return mEndSeen; }

    // A new pump gives notice of its first frames or its end unasked.
    // When nothing waits and reading goes on: the notice descriptor becomes
    // readable with the next frames or the end, and this returns true. It
    // returns false when there is something to take now.
    bool AskForNotice();
    int NoticeFd() const { return mNoticeFd; }
    // Makes the notice descriptor quiet again (when a notice is acted on).
    void ClearNotice();

    // The writer has ended: read what the descriptor holds now, then end.
    void Finish();
    // Blocks until frames wait or reading has ended.
    void WaitForFrames();

    int LastErrno() const;
    // Bytes of whole frames read and not taken yet (ask from the taker's thread).
    std::size_t BytesWaiting() const;
    // Blocks holding frames or kept for reuse, and blocks ever made (tests).
    std::size_t BlocksHeld() const;
    std::size_t BlocksMade() const;
    // The most bytes of blocks that frames ever held at once, and of the ring.
    std::size_t PeakBytes() const;
    // Of them, the most the shared ring held before the pump's thread came to it.
    std::size_t RingPeakBytes() const { return mRingPeak.load(std::memory_order_relaxed); }
    // Bytes of records the helper ever published in the shared ring, and of
    // them the bytes the pump's thread took (0 without a ring): set against
    // the frames filed, they tell where a frame went missing.
    std::uint64_t RingBytesPublished() const;
    std::uint64_t RingBytesTaken() const { return mRingTaken.load(std::memory_order_relaxed); }

private:
    struct Block {
        std::uint8_t* bytes = nullptr;       // a slot of mSpace, or `own`
        std::unique_ptr<std::uint8_t[]> own;  // without a space
        std::size_t published = 0;  // whole frames the reader may take
        bool sealed = false;        // the pump writes no more into it
    };

    // Points the batch at the oldest whole frames not taken yet, back to back,
    // reusing blocks taken to their end; when none wait, notes the end, if any.
    void Refill();
    void Run();
    void RunWithRing();
    // The next block to read into, once there is room; null when stopping, or
    // when out of memory (reading has then ended as failed).
    Block* AcquireBlock();
    // Frees the blocks kept for reuse past the few the pump keeps.
    void FreeExtraBlocks();
    // A block's slot in mSpace: its bytes rounded up to whole pages.
    std::size_t SlotBytes() const { return RoundUp(mBlockBytes, kSmallPageBytes); }
    // What the pump's thread does when the descriptor holds nothing now,
    // as asked from the other side.
    enum class Idle { Stop, Finish, Wait };
    Idle WhenIdle();
    // Until the descriptor is readable or the pump is woken; false when
    // the wait failed, which ends the reading.
    bool Sleep();
    // Runs `change` under the lock; when it changed something, wakes whoever
    // waits and gives the notice asked for.
    template <typename Change>
    void Announce(Change change);
    void Publish(Block& block, std::size_t whole);
    void EndWith(End end, int error = 0);
    bool WaitingLocked() const;

    int mFd = -1;  // set before the thread reads, under the lock
    bool mStarted = false;
    const std::size_t mBlockBytes;
    const std::size_t mMaxBlocks;
    int mNoticeFd = -1;  // eventfd the window watches
    int mWakeFd = -1;    // eventfd that wakes the pump for Finish and stop

    mutable std::mutex mMutex;
    std::condition_variable mChanged;  // frames published, the end, a block freed, a stop
    std::deque<std::unique_ptr<Block>> mQueue;  // oldest first; the last is being written
    std::vector<std::unique_ptr<Block>> mFree;
    // The address space of every block the pump may hold, taken when it is
    // made: a block taken or given back mid-capture makes no mapping and
    // ends none (see AcquireBlock). mCold holds the blocks of the slots
    // whose pages were given back, or never written.
    ReservedMemory mSpace;
    std::vector<std::unique_ptr<Block>> mCold;
    std::vector<std::unique_ptr<Block>> mExtra;  // the pump's thread's, while it gives blocks back
    std::size_t mMade = 0;
    std::size_t mPeakBlocks = 0;
    End mEnd = End::None;
    int mErrno = 0;
    bool mNoticeAsked = true;  // a new pump gives notice of its first frames
    bool mFinish = false;
    bool mStop = false;
    // The taker's own, read without the lock: what it has taken of the front
    // block, the rest of its batch, and the end it has come to.
    std::size_t mTaken = 0;
    std::span<const std::uint8_t> mBatch;
    End mEndSeen = End::None;
    // The pump's thread alone reads the ring; the taker's thread sees how
    // far it has come.
    std::unique_ptr<RingMapping> mRing;
    std::optional<RingConsumer> mRingReader;
    std::atomic<std::uint64_t> mRingTaken{0};
    std::atomic<std::size_t> mRingPeak{0};

    std::thread mThread;
};

}  // namespace wirelens
