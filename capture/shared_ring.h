#pragma once
// A ring of datagram frames in memory shared by the capture helper (the one
// producer) and the window (the one consumer), so that the window reads the
// datagrams in place, with no system call on its side while it keeps up. The
// socket stream stays for everything else: Ready, Stats, Error, and a
// Published frame when the consumer has asked to be told of new frames.
//
// The memory is a sealed memfd: one page of positions, then `capacity` bytes
// of records, mapped twice in a row so that every record is contiguous. A
// record is a frame as on the stream (header, then payload), padded to 8
// bytes. Positions count bytes ever written and ever released.
//
// Neither side trusts the other's positions: the producer stops at a release
// position that could not be, and the consumer reports a record or a
// position that could not be as a broken ring.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "capture/capture_stream.h"

namespace wirelens {

class RingMapping {
public:
    static constexpr std::size_t kMinCapacity = 64 << 10;
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 30;

    // Fresh zeroed memory for `capacity` bytes of records (a power of two
    // within the limits), sealed against shrinking and growing; the producer
    // gets Fd(). Nothing, and `error` says why, when it cannot be made. A
    // producer in another process may write into this mapping: it must have
    // ended before the mapping does.
    static std::unique_ptr<RingMapping> Create(std::size_t capacity, std::string& error);
    // Maps memory made by Create, handed over as `fd` (kept open until the
    // mapping ends). Refuses anything else: a descriptor without the seals
    // (its size could change under the mapping), not open for writing, or of
    // a size that no ring has.
    static std::unique_ptr<RingMapping> Attach(int fd, std::string& error);

    RingMapping(const RingMapping&) = delete;
    RingMapping& operator=(const RingMapping&) = delete;
    ~RingMapping();

    int Fd() const { return mFd; }
    // The producer has its own copy of the descriptor: this one is not needed to read.
    void CloseFd();
    // Has the records' pages made and mapped on another thread of this
    // process, so that the first round of the ring does not fault them in
    // one at a time while datagrams wait.
    void PrepareRecords();
    std::size_t Capacity() const { return mCapacity; }

    struct Control;
    Control& Positions() const { return *mControl; }
    // The records, `Capacity()` bytes, and the same bytes again right after them.
    std::uint8_t* Records() const { return mRecords; }

private:
    RingMapping() = default;
    bool Map(std::size_t controlBytes, std::string& error);

    int mFd = -1;
    bool mPrepared = false;
    std::size_t mCapacity = 0;
    std::size_t mMappedBytes = 0;
    void* mBase = nullptr;
    Control* mControl = nullptr;
    std::uint8_t* mRecords = nullptr;
};

struct RingMapping::Control {
    std::uint32_t magic;
    std::uint32_t version;
    // Where the maker of the ring (the consumer) has this page mapped, and
    // its records right after it, for a producer that writes them there
    // from its own process.
    std::uint64_t makerAddress;
    // Written there by such a producer and read back through its own mapping:
    // the address is this ring's.
    std::uint64_t probe;
    // Each on a line of its own: the two sides write them from different cores.
    alignas(64) std::atomic<std::uint64_t> published;  // by the producer
    alignas(64) std::atomic<std::uint64_t> released;   // by the consumer
    alignas(64) std::atomic<std::uint32_t> consumerWaits;  // 1: send a Published frame
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "positions are shared between processes");

// The sizes of the ring the window makes for the helper. The capture pump's
// thread empties it into the window's own memory as the datagrams come, so
// it need only outlast that thread's waits for a CPU, with the kernel's ring
// behind it. The helper writes into the window's mapping of it when the
// window holds no capability (the helper ends with none) and the system lets
// a child it names do that: then none of its pages are the helper's, and
// 64 MiB outlasts 110 ms of the fastest flood two local senders offer
// (570 MB/s), longer than a virtual machine's CPU was seen held. Otherwise
// the helper maps it, every page of it counts in the helper's resident memory
// too, and it is 8 MiB (14 ms of that flood), the most the helper maps.
inline constexpr std::size_t kCaptureRingBytes = std::size_t{8} << 20;
inline constexpr std::size_t kUnmappedCaptureRingBytes = std::size_t{64} << 20;
// Bytes a frame of `payloadBytes` takes in the ring.
constexpr std::size_t RingRecordBytes(std::size_t payloadBytes) {
    return (sizeof(FrameHeader) + payloadBytes + 7) & ~std::size_t{7};
}
inline constexpr std::size_t kLargestRingRecord = RingRecordBytes(kMaxFramePayload);

// The producer writes the records into the consumer's mapping from its own
// process (process_vm_writev), staged a batch at a time, so that none of the
// ring's pages count in its resident memory and the ring can be as large as
// the consumer wants to outlast its own waits for a CPU. The kernel copies
// into each page without the page's lock: a pwrite into the memory took it,
// and the kernel's memory monitor (DAMON) held that lock for up to a tenth of
// a second while it walked the page's mappings. Mapping pages just ahead and
// dropping them behind cost more per page on a virtual machine than the rest
// of the producer's work. Where the consumer's memory cannot be written so
// (another owner, a system that forbids it), the producer writes through its
// own mapping of the whole ring, whose pages then count in both processes.
class RingProducer {
public:
    // Writes into process `consumer`'s mapping when it can (0: never), else
    // through `ring`, whose pages are then made on another thread
    // (PrepareRecords); a ring of more than `mostMapped` bytes is then not
    // written at all (Broken, and Failure says why).
    explicit RingProducer(RingMapping& ring, pid_t consumer = 0,
                          std::size_t mostMapped = RingMapping::kMaxCapacity);

    // Bytes free for records now (looks at the consumer's position again).
    std::size_t Room();
    // Writes one frame, not yet visible; false, with nothing written and the
    // frame counted as dropped, when it does not fit. Never waits.
    bool Append(FrameType type, std::int64_t seconds, std::uint32_t microseconds, std::uint32_t wireLength,
                std::span<const std::uint8_t> payload);
    // Makes the frames appended so far visible. True when the consumer asked
    // to be told: it is told once per asking.
    bool Publish();
    // The consumer's position could not be; nothing more is written.
    // Failure() says so.
    bool Broken() const { return !mFailure.empty(); }
    const std::string& Failure() const { return mFailure; }
    // Frames not handed over: no room, a broken ring, or staged and then
    // not written.
    std::uint64_t Dropped() const { return mDropped; }
    // Whether the records go into the consumer's mapping, not this one's.
    bool WritesRemotely() const { return mConsumer != 0; }

    // Bytes staged before they are written out, publishing or not.
    static constexpr std::size_t kStageBytes = 256 << 10;

private:
    bool Refresh();
    void Fail(std::string why);
    bool ReachesConsumer(pid_t consumer);
    void CopyIn(const void* bytes, std::size_t length);
    void WriteOut();

    RingMapping& mRing;
    pid_t mConsumer = 0;  // 0 while writing through mRing
    std::uint64_t mMakerRecords = 0;  // the records' address in the consumer
    std::vector<std::uint8_t> mStage;  // the records that end at mWritten, not yet written out
    std::uint64_t mStagedFrames = 0;
    std::uint64_t mWritten = 0;
    std::uint64_t mReleased = 0;  // the consumer's, as last seen
    std::uint64_t mDropped = 0;
    std::string mFailure;  // empty while the ring is written
};

class RingConsumer {
public:
    explicit RingConsumer(RingMapping& ring);

    // The oldest frame not taken; its payload stays valid until the next
    // call. Nothing when none is published, or when the ring is broken.
    std::optional<Frame> Next();
    // The same frame's bytes as on the stream (header, then payload, without
    // the record's padding); empty when there is none.
    std::span<const std::uint8_t> NextFrameBytes();
    // Bytes ever taken: the frame handed out last ends there.
    std::uint64_t TakenPosition() const { return mTaken; }
    // Asks the producer to send a Published frame with its next frames.
    // False (and nothing asked) when frames wait now.
    bool AskForWake();
    // A record or position the producer wrote could not be.
    bool Corrupt() const { return mCorrupt; }
    std::size_t BytesWaiting() const;
    // The most bytes ever seen waiting.
    std::size_t PeakBytes() const { return mPeak; }

private:
    struct Taken {
        const std::uint8_t* start;
        FrameAt at;
    };
    std::optional<Taken> TakeNext();
    void Release();

    RingMapping& mRing;
    std::uint64_t mRead = 0;       // up to the frame handed out last
    std::uint64_t mTaken = 0;      // past it
    std::uint64_t mReleased = 0;   // told to the producer
    std::uint64_t mPublished = 0;  // the producer's, as last seen
    std::size_t mPeak = 0;
    bool mCorrupt = false;
};

}  // namespace wirelens
