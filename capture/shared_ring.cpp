#include "capture/shared_ring.h"

#include "capture/huge_chunk.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace wirelens {

namespace {
constexpr std::uint32_t kRingMagic = 0x57524e47;  // "WRNG"
constexpr std::uint32_t kRingVersion = 2;
constexpr unsigned kRequiredSeals = F_SEAL_SHRINK | F_SEAL_GROW;
// The consumer tells the producer its position after this share of the ring
// at the latest (and whenever it runs dry): often enough that the producer
// rarely finds the ring fuller than it is, rarely enough that the line the
// position sits on does not bounce between the cores with every frame.
constexpr std::size_t kReleaseShare = 16;

std::size_t ControlBytes() {
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t bytes = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return bytes < sizeof(RingMapping::Control) ? sizeof(RingMapping::Control) : bytes;
}

bool ValidCapacity(std::size_t capacity, std::size_t controlBytes) {
    return capacity >= RingMapping::kMinCapacity && capacity <= RingMapping::kMaxCapacity &&
           std::has_single_bit(capacity) && capacity % controlBytes == 0;
}

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }
}  // namespace

RingMapping::~RingMapping() {
    if (mPrepared) ForgetFaultAhead(mRecords, mCapacity);
    if (mBase != nullptr) munmap(mBase, mMappedBytes);
    CloseFd();
}

void RingMapping::CloseFd() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
}

void RingMapping::PrepareRecords() {
    // Writing a page without changing it is safe while the other side writes too.
    FaultInAhead(mRecords, mCapacity);
    mPrepared = true;
}

bool RingMapping::Map(std::size_t controlBytes, std::string& error) {
    // One reservation, then the control page and the records twice over it.
    mMappedBytes = controlBytes + 2 * mCapacity;
    void* base = mmap(nullptr, mMappedBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        error = SystemError("cannot reserve the shared ring's addresses");
        return false;
    }
    mBase = base;
    auto* bytes = static_cast<std::uint8_t*>(base);
    const struct {
        std::uint8_t* at;
        std::size_t length;
        off_t offset;
    } views[] = {{bytes, controlBytes, 0},
                 {bytes + controlBytes, mCapacity, static_cast<off_t>(controlBytes)},
                 {bytes + controlBytes + mCapacity, mCapacity, static_cast<off_t>(controlBytes)}};
    for (const auto& view : views) {
        if (mmap(view.at, view.length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, mFd, view.offset) ==
            MAP_FAILED) {
            error = SystemError("cannot map the shared ring");
            return false;
        }
    }
    mControl = reinterpret_cast<Control*>(bytes);
    mRecords = bytes + controlBytes;
    return true;
}

std::unique_ptr<RingMapping> RingMapping::Create(std::size_t capacity, std::string& error) {
    const std::size_t controlBytes = ControlBytes();
    if (!ValidCapacity(capacity, controlBytes)) {
        error = "a shared ring of " + std::to_string(capacity) + " bytes cannot be made";
        return nullptr;
    }
    std::unique_ptr<RingMapping> ring(new (std::nothrow) RingMapping);
    if (!ring) {
        error = "out of memory";
        return nullptr;
    }
    ring->mCapacity = capacity;
    ring->mFd = memfd_create("wirelens-capture-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (ring->mFd < 0) {
        error = SystemError("cannot make the shared ring");
        return nullptr;
    }
    if (ftruncate(ring->mFd, static_cast<off_t>(controlBytes + capacity)) != 0 ||
        fcntl(ring->mFd, F_ADD_SEALS, kRequiredSeals | F_SEAL_SEAL) != 0) {
        error = SystemError("cannot size the shared ring");
        return nullptr;
    }
    if (!ring->Map(controlBytes, error)) return nullptr;
    // Fresh memory is zero: the positions start at 0. The consumer waits
    // for the first frames from the start, as it has nothing yet to read.
    Control& control = *ring->mControl;
    control.magic = kRingMagic;
    control.version = kRingVersion;
    control.makerAddress = reinterpret_cast<std::uintptr_t>(ring->mControl);
    control.consumerWaits.store(1, std::memory_order_relaxed);
    return ring;
}

std::unique_ptr<RingMapping> RingMapping::Attach(int fd, std::string& error) {
    const int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (static_cast<unsigned>(seals) & kRequiredSeals) != kRequiredSeals) {
        error = "the descriptor is not a sealed shared ring";
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) {
        error = "the shared ring is not open for writing";
        return nullptr;
    }
    struct stat st {};
    const std::size_t controlBytes = ControlBytes();
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(controlBytes) ||
        !ValidCapacity(static_cast<std::size_t>(st.st_size) - controlBytes, controlBytes)) {
        error = "the shared ring has a size no ring has";
        return nullptr;
    }
    std::unique_ptr<RingMapping> ring(new (std::nothrow) RingMapping);
    if (!ring) {
        error = "out of memory";
        return nullptr;
    }
    ring->mCapacity = static_cast<std::size_t>(st.st_size) - controlBytes;
    ring->mFd = fd;
    if (!ring->Map(controlBytes, error)) {
        ring->mFd = -1;  // the caller's still
        return nullptr;
    }
    if (ring->mControl->magic != kRingMagic || ring->mControl->version != kRingVersion) {
        ring->mFd = -1;
        error = "the shared ring was made by another version";
        return nullptr;
    }
    return ring;
}

RingProducer::RingProducer(RingMapping& ring, pid_t consumer, std::size_t mostMapped) : mRing(ring) {
    // A ring is written by one producer from its start.
    mWritten = mReleased = ring.Positions().published.load(std::memory_order_relaxed);
    if (consumer > 0 && ReachesConsumer(consumer)) {
        mConsumer = consumer;
        mStage.reserve(kStageBytes + kLargestRingRecord);
    } else if (ring.Capacity() > mostMapped) {
        Fail("the shared ring cannot be written in the reader's memory, and is too large to map here");
    } else {
        mRing.PrepareRecords();
    }
}

bool RingProducer::ReachesConsumer(pid_t consumer) {
    // A number written at the consumer's address of the probe must show in
    // this mapping: then that address is this ring's, and may be written.
    RingMapping::Control& control = mRing.Positions();
    std::atomic_ref<std::uint64_t> probe(control.probe);
    probe.store(0);
    const std::uint64_t mark = reinterpret_cast<std::uintptr_t>(this) ^ static_cast<std::uint64_t>(consumer) ^
                               0x5752494e47524e47ULL;
    const std::uint64_t probeOffset =
        reinterpret_cast<std::uintptr_t>(&control.probe) - reinterpret_cast<std::uintptr_t>(&control);
    iovec local{const_cast<std::uint64_t*>(&mark), sizeof mark};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(control.makerAddress + probeOffset)),
                 sizeof mark};
    if (process_vm_writev(consumer, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof mark)) return false;
    if (probe.load() != mark) return false;
    mMakerRecords = control.makerAddress + (reinterpret_cast<std::uintptr_t>(mRing.Records()) -
                                            reinterpret_cast<std::uintptr_t>(&control));
    return true;
}

void RingProducer::Fail(std::string why) {
    if (mFailure.empty()) mFailure = std::move(why);
}

bool RingProducer::Refresh() {
    const std::uint64_t released = mRing.Positions().released.load(std::memory_order_acquire);
    // Only what was written can be released, and never a position taken back.
    if (released < mReleased || released > mWritten) {
        Fail("the shared ring's reader position is impossible");
        return false;
    }
    mReleased = released;
    return true;
}

void RingProducer::CopyIn(const void* bytes, std::size_t length) {
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    if (mConsumer != 0) {
        mStage.insert(mStage.end(), from, from + length);
    } else {
        // Into the first copy of the records alone, in two pieces across their end.
        const std::size_t capacity = mRing.Capacity();
        const std::size_t at = static_cast<std::size_t>(mWritten & (capacity - 1));
        const std::size_t first = std::min(length, capacity - at);
        std::memcpy(mRing.Records() + at, from, first);
        if (first < length) std::memcpy(mRing.Records(), from + first, length - first);
    }
    mWritten += length;
}

void RingProducer::WriteOut() {
    if (mStage.empty() || Broken()) return;
    // The consumer maps the records twice in a row: one piece, even across their end.
    const std::size_t at = static_cast<std::size_t>((mWritten - mStage.size()) & (mRing.Capacity() - 1));
    iovec local{mStage.data(), mStage.size()};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(mMakerRecords + at)), mStage.size()};
    const ssize_t written = process_vm_writev(mConsumer, &local, 1, &remote, 1, 0);
    if (written != static_cast<ssize_t>(mStage.size())) {
        Fail(written < 0 ? SystemError("cannot write the shared ring")
                         : "cannot write the shared ring: only part of it is there");
        mDropped += mStagedFrames;  // never handed over
        return;
    }
    mStage.clear();
    mStagedFrames = 0;
}

std::size_t RingProducer::Room() {
    if (Broken() || !Refresh()) return 0;
    return mRing.Capacity() - static_cast<std::size_t>(mWritten - mReleased);
}

bool RingProducer::Append(FrameType type, std::int64_t seconds, std::uint32_t microseconds,
                          std::uint32_t wireLength, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFramePayload) payload = payload.first(kMaxFramePayload);
    const std::size_t bytes = RingRecordBytes(payload.size());
    const auto fits = [&] { return mRing.Capacity() - (mWritten - mReleased) >= bytes; };
    if (mConsumer != 0 && mStage.size() + bytes > kStageBytes) WriteOut();
    if (Broken() || (!fits() && (!Refresh() || !fits()))) {
        ++mDropped;
        return false;
    }
    const FrameHeader header = MakeFrameHeader(type, seconds, microseconds, wireLength, payload.size());
    CopyIn(&header, sizeof header);
    if (!payload.empty()) CopyIn(payload.data(), payload.size());
    static constexpr std::uint8_t kPadding[8] = {};
    CopyIn(kPadding, bytes - sizeof header - payload.size());
    if (mConsumer != 0) ++mStagedFrames;
    return true;
}

bool RingProducer::Publish() {
    if (mConsumer != 0) WriteOut();
    if (Broken()) return false;
    RingMapping::Control& control = mRing.Positions();
    // The records were written by this thread before this store.
    control.published.store(mWritten, std::memory_order_release);
    // Pairs with the consumer's fence in AskForWake: either it sees these
    // frames, or this sees it waiting.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (control.consumerWaits.load(std::memory_order_relaxed) == 0) return false;
    return control.consumerWaits.exchange(0) != 0;
}

RingConsumer::RingConsumer(RingMapping& ring) : mRing(ring) {
    mRead = mTaken = mReleased = mPublished = ring.Positions().released.load(std::memory_order_relaxed);
}

void RingConsumer::Release() {
    mRing.Positions().released.store(mTaken, std::memory_order_release);
    mReleased = mTaken;
}

std::optional<Frame> RingConsumer::Next() {
    const std::optional<Taken> taken = TakeNext();
    if (!taken) return std::nullopt;
    return taken->at.frame;
}

std::span<const std::uint8_t> RingConsumer::NextFrameBytes() {
    const std::optional<Taken> taken = TakeNext();
    if (!taken) return {};
    return {taken->start, taken->at.size};
}

std::optional<RingConsumer::Taken> RingConsumer::TakeNext() {
    if (mCorrupt) return std::nullopt;
    // The frame handed out last is done with.
    mRead = mTaken;
    if (mRead == mPublished) {
        const std::uint64_t published = mRing.Positions().published.load(std::memory_order_acquire);
        if (published < mPublished || published - mRead > mRing.Capacity()) {
            mCorrupt = true;
            return std::nullopt;
        }
        mPublished = published;
        if (mPublished - mRead > mPeak) mPeak = static_cast<std::size_t>(mPublished - mRead);
        if (mRead == mPublished) {
            if (mReleased != mTaken) Release();
            return std::nullopt;
        }
    }
    const std::size_t waiting = static_cast<std::size_t>(mPublished - mRead);
    const std::uint8_t* at = mRing.Records() + (mRead & (mRing.Capacity() - 1));
    const FrameAt frame = ParseFrameAt({at, waiting});
    // Published bytes hold whole records only.
    if (frame.cut != FrameCut::Whole || RingRecordBytes(frame.frame.payload.size()) > waiting) {
        mCorrupt = true;
        return std::nullopt;
    }
    mTaken = mRead + RingRecordBytes(frame.frame.payload.size());
    if (mRead - mReleased >= mRing.Capacity() / kReleaseShare) {
        // Up to the start of the frame handed out now, which must stay.
        mRing.Positions().released.store(mRead, std::memory_order_release);
        mReleased = mRead;
    }
    return Taken{at, frame};
}

bool RingConsumer::AskForWake() {
    mRead = mTaken;
    if (mReleased != mTaken) Release();
    RingMapping::Control& control = mRing.Positions();
    control.consumerWaits.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (control.published.load(std::memory_order_relaxed) != mRead) {
        control.consumerWaits.store(0, std::memory_order_relaxed);
        return false;
    }
    return true;
}

std::size_t RingConsumer::BytesWaiting() const {
    const std::uint64_t published = mRing.Positions().published.load(std::memory_order_acquire);
    return published >= mTaken ? static_cast<std::size_t>(published - mTaken) : 0;
}

}  // namespace wirelens
