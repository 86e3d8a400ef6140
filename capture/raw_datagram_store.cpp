#include "capture/raw_datagram_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "capture/decode.h"
#include "capture/file_mappings.h"
#include "capture/thread_priority.h"

namespace wirelens {

namespace {
// Large enough that chunk bookkeeping is negligible, small enough that the
// slack at the end of the last chunk is too.
constexpr std::size_t kChunkBytes = 4u << 20;
static_assert(kChunkBytes >= kReceiveBufferSize && kChunkBytes % kHugePageBytes == 0);

// An entry: the chunk index's low bits over the offset in the chunk. The full
// chunk index comes from the chunk of the first entry of its group: a group's
// datagrams fill less than a chunk, so they span at most two chunks and the
// low bits tell which.
constexpr unsigned kOffsetBits = 22;
static_assert((std::size_t{1} << kOffsetBits) == kChunkBytes);
constexpr std::uint32_t kOffsetMask = (std::uint32_t{1} << kOffsetBits) - 1;
constexpr std::uint32_t kChunkLowMask = (std::uint32_t{1} << (32 - kOffsetBits)) - 1;
constexpr std::uint32_t kGroupEntries = 256;
static_assert(kGroupEntries * kReceiveBufferSize < kChunkBytes);
constexpr std::uint32_t kEntriesPerChunk = 1u << 16;
static_assert(kEntriesPerChunk % kGroupEntries == 0);

const char* NonEmpty(const char* value) { return value != nullptr && value[0] != '\0' ? value : nullptr; }

// Makes `folder` and any missing folder above it, private to the user.
bool MakeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// An unlinked file in `folder` with room for a chunk, or -1 with errno set.
// Unlinked from the start, it is gone with the program however it ends.
int MakeTemporaryFile(const std::string& folder) {
    if (!MakeFolders(folder)) return -1;
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system or kernel without unnamed files: name one and unlink it at once.
        std::string name = folder + "/wirelens-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) return -1;
    // A disk already full would refuse the first chunk: better to keep the
    // bytes in memory from the start and say so.
    const int room = posix_fallocate(fd, 0, static_cast<off_t>(kChunkBytes));
    if (room != 0 || ftruncate(fd, 0) != 0) {
        const int error = room != 0 ? room : errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<std::string> DatagramFileFolders(const char* xdgCacheHome, const char* home, const char* tmpdir) {
    std::vector<std::string> folders;
    // A relative cache folder is ignored, as for any other program.
    if (NonEmpty(xdgCacheHome) && xdgCacheHome[0] == '/')
        folders.push_back(std::string(xdgCacheHome) + "/wirelens");
    else if (NonEmpty(home) && home[0] == '/')
        folders.push_back(std::string(home) + "/.cache/wirelens");
    if (NonEmpty(tmpdir)) folders.emplace_back(tmpdir);
    folders.emplace_back("/tmp");
    for (std::string& folder : folders)
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

std::vector<std::string> DatagramFileFolders() {
    return DatagramFileFolders(NonEmpty(std::getenv("XDG_CACHE_HOME")), NonEmpty(std::getenv("HOME")),
                               NonEmpty(std::getenv("TMPDIR")));
}

struct RawDatagramStore::EntryChunk {
    std::uint32_t entries[kEntriesPerChunk];
    std::uint32_t groupChunks[kEntriesPerChunk / kGroupEntries];  // chunk of each group's first entry
};

namespace {
// Index chunks lie in the index file on page boundaries, to be mapped one by one.
constexpr std::size_t kEntryChunkFileBytes = RoundUp(sizeof(RawDatagramStore::EntryChunk), kSmallPageBytes);
}  // namespace

// Writes full chunks out on a thread of its own, in order: a 4 MiB pwrite
// takes milliseconds, far more while the kernel holds back writers of dirty
// pages or the disk is busy, and a capture cannot wait that long between two
// datagrams. Up to the store's WaitingRoom() parts wait their turn, so that a
// disk that stalls for a moment holds up nothing; only a disk slower than the
// capture for long does. Writes of 4 MiB here took up to 190 ms on their own,
// and under floods of 270-285 MB/s the disk fell behind by more than 64 MiB
// once and by more than 256 MiB once (the capture's ring filled behind the
// waiting chunks, and 49,399 and 247,437 datagrams were lost). Waiting chunks
// cost memory only while they wait.
//
// Where the file system takes it, the writes bypass the page cache (O_DIRECT):
// copying into the page cache cost 2 ns a byte of system time here, more than
// the rest of filing a packet, and fills memory with pages that a capture
// rarely reads again. A click then reads its bytes from the disk.
class RawDatagramStore::Writer {
public:
    // Byte chunks go to the bytes file, index chunks to the index file.
    enum class Part { Bytes, Index };

    // What became of a part handed over: 0 and its bytes mapped back from
    // the file, or the errno that ended the write. After a failed write the
    // parts behind it are not written (a later write could only leave a
    // hole) and end with the same error.
    struct Result {
        Part kind = Part::Bytes;
        std::size_t part = 0;
        int error = 0;
        const std::uint8_t* mapped = nullptr;
    };

    // `indexFd` may be -1 (an index kept in memory): then no index part comes.
    Writer(int fd, int indexFd)
        : mBytes{fd, FileMappings(kChunkBytes)},
          mIndex{indexFd, FileMappings(kEntryChunkFileBytes)},
          mDirect(SetDirect(fd, true)),
          mThread([this] { Run(); }) {}
    // Ends the write in flight; the parts behind it are not written. Every
    // mapping it made ends with it.
    ~Writer() {
        {
            std::lock_guard lock(mMutex);
            mStopping = true;
        }
        mWake.notify_one();
        mThread.join();
    }

    // Only while Pending() is below the store's room. The bytes must stay put until the
    // part's result is taken.
    void Start(Part kind, std::size_t part, const std::uint8_t* bytes, std::size_t length) {
        {
            std::lock_guard lock(mMutex);
            mJobs.push_back({kind, part, bytes, length});
        }
        ++mPending;
        mWake.notify_one();
    }
    // Parts handed over whose result has not been taken.
    std::size_t Pending() const { return mPending; }
    // Whether the oldest result is ready; cheap enough to ask on every append.
    bool Done() const { return mReady.load(std::memory_order_acquire) != 0; }
    // The oldest part's result, waiting for it. A part written is mapped
    // back by the writing thread: mapping takes the process's memory map for
    // writing, which can wait long, and the appending thread must not.
    Result Take() {
        std::unique_lock lock(mMutex);
        mWake.wait(lock, [this] { return !mResults.empty(); });
        const Result result = mResults.front();
        mResults.pop_front();
        mReady.fetch_sub(1, std::memory_order_relaxed);
        --mPending;
        return result;
    }
    // Waits for every part handed over and forgets their results; a failed
    // write no longer ends the parts handed over next.
    void Drain() {
        while (mPending != 0) Take();
        std::lock_guard lock(mMutex);
        mFailed = 0;
    }
    // Ends every mapping made so far; the parts are read no more.
    void Unmap() {
        mBytes.mappings.Clear();
        mIndex.mappings.Clear();
    }
    // The parts being written will not be read back: their files are going.
    void DropMappings() {
        std::lock_guard lock(mMutex);
        mDropMappings = true;
        Unmap();
        for (Result& result : mResults) result.mapped = nullptr;
    }

private:
    struct Job {
        Part kind = Part::Bytes;
        std::size_t part = 0;
        const std::uint8_t* bytes = nullptr;
        std::size_t length = 0;
    };

    void Run() {
        NameThread(pthread_self(), kStoreWriterThreadName);
        std::unique_lock lock(mMutex);
        for (;;) {
            mWake.wait(lock, [this] { return mStopping || !mJobs.empty(); });
            if (mStopping) return;
            const Job job = mJobs.front();
            int error = mFailed;
            const std::uint8_t* mapped = nullptr;
            if (error == 0) {
                // Writing and mapping both happen without the lock: a mapping
                // waits for the process's memory map, held at times for
                // seconds by others (the kernel's huge-page scanner was seen
                // to), and the appending thread takes the lock for every part.
                lock.unlock();
                File& file = FileOf(job.kind);
                error = Write(job);
                if (error == 0) mapped = file.mappings.Map(file.fd, job.part, error);
                lock.lock();
                if (mDropMappings && mapped != nullptr) file.mappings.Unmap(std::exchange(mapped, nullptr));
                if (error != 0) mFailed = error;
            }
            mJobs.pop_front();
            mResults.push_back({job.kind, job.part, error, mapped});
            mReady.fetch_add(1, std::memory_order_release);
            mWake.notify_all();
        }
    }

    // Direct writes take whole blocks from block-aligned memory (chunks are
    // huge-page aligned) to block-aligned offsets (chunks start on 4 MiB).
    static constexpr std::size_t kBlockBytes = 4096;
    static_assert(kChunkBytes % kBlockBytes == 0);

    static bool SetDirect(int fd, bool direct) {
        const int flags = fcntl(fd, F_GETFL);
        return flags >= 0 && fcntl(fd, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) == 0 && direct;
    }

    // A file written to, and the mappings of its parts written.
    struct File {
        int fd;
        FileMappings mappings;
    };
    File& FileOf(Part kind) { return kind == Part::Bytes ? mBytes : mIndex; }

    int Write(const Job& job) {
        // Index parts go through the page cache: they are small, and the last
        // ones are read often.
        bool direct = job.kind == Part::Bytes && mDirect;
        File& file = FileOf(job.kind);
        const int fd = file.fd;
        const off_t at = static_cast<off_t>(job.part * file.mappings.PartBytes());
        // A direct write takes the chunk's slack up to the next block too:
        // it lies before the next chunk's start and is never read.
        std::size_t length = direct ? RoundUp(job.length, kBlockBytes) : job.length;
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = pwrite(fd, job.bytes + done, length - done, at + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EINVAL && direct) {
                // A file system without direct writes after all, or an unaligned
                // rest after a short write: write through the page cache from here.
                direct = mDirect = SetDirect(fd, false);
                length = std::max(done, job.length);
                continue;
            }
            // A short write followed by no progress is a full disk too.
            if (n <= 0) return n < 0 ? errno : ENOSPC;
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }

    File mBytes;
    File mIndex;  // fd -1 when the index stays in memory
    bool mDirect;  // the bytes file's; the writing thread's own once started
    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<Job> mJobs;        // the first is being written
    std::deque<Result> mResults;  // in the order handed over
    bool mStopping = false;
    bool mDropMappings = false;
    int mFailed = 0;  // the error that ended a write; the parts behind it end with it
    std::atomic<std::size_t> mReady{0};  // mResults.size(), read without the lock
    std::size_t mPending = 0;            // the appending thread's own
    std::thread mThread;
};

RawDatagramStore::RawDatagramStore() : RawDatagramStore(DatagramFileFolders()) {}

RawDatagramStore::RawDatagramStore(const std::vector<std::string>& folders) { OpenFile(folders); }

RawDatagramStore::~RawDatagramStore() {
    mWriter.reset();  // waits for the write in flight, whose bytes are still ours, and unmaps all
    ReleaseChunks();
    if (mFile >= 0) close(mFile);
    if (mIndexFile >= 0) close(mIndexFile);
}

void RawDatagramStore::OpenFile(const std::vector<std::string>& folders) {
    std::string reasons;
    for (const std::string& folder : folders) {
        mFile = MakeTemporaryFile(folder);
        if (mFile >= 0) {
            mFolder = folder;
            // Without an index file the index stays in memory: it costs memory, not data.
            mIndexFile = MakeTemporaryFile(folder);
            return;
        }
        if (!reasons.empty()) reasons += ", ";
        reasons += folder + " (" + std::strerror(errno) + ")";
    }
    mStorageNote = reasons.empty() ? "The captured bytes are kept in memory: no folder was given for a temporary file."
                                   : "The captured bytes are kept in memory: no temporary file could be made in " +
                                         reasons + ".";
}

bool RawDatagramStore::RoomToWrite() {
    if (!mWriter) mWriter = std::make_unique<Writer>(mFile, mIndexFile);
    // A disk slower than the capture for long holds it back here.
    return mWriter->Pending() < mWaitingRoom || FinishWrite();
}

void RawDatagramStore::StartWritingLastChunk() {
    mWriter->Start(Writer::Part::Bytes, mChunks.size() - 1, mChunks.back().memory.get(), mChunkUsed);
    mMostWaited = std::max(mMostWaited, mWriter->Pending());
}

bool RawDatagramStore::FinishWrite() {
    const Writer::Result result = mWriter->Take();
    if (result.error != 0) {
        mWriteError = result.error;
        return false;
    }
    if (result.kind == Writer::Part::Index) {
        EntrySlot& slot = mEntryChunks[result.part];
        slot.mapped = reinterpret_cast<const EntryChunk*>(result.mapped);
        // Kept for the next index chunk, as a byte chunk is: its size is
        // one malloc maps and unmaps anew each time.
        if (!mSpareEntryChunk) mSpareEntryChunk = std::move(slot.memory);
        slot.memory.reset();
        return true;
    }
    // The whole chunk's length is mapped: its end may lie past the end of
    // the file, but only the bytes written are ever read.
    Chunk& chunk = mChunks[result.part];
    chunk.mapped = result.mapped;
    // Its memory is kept for a next chunk: already faulted in, it fills
    // without page faults. Freeing it would have the next chunks made anew,
    // page by page, whenever writes come back in a bunch.
    if (mReadyChunks.size() < kMaxReadyChunks) {
        mReadyChunks.push_back(std::move(chunk.memory));
    } else {
        Idle(std::move(chunk.memory));  // one more than the next chunks need
    }
    return true;
}

void RawDatagramStore::WaitForWrites() {
    while (mWriteError == 0 && mWriter && mWriter->Pending() != 0) FinishWrite();
}

bool RawDatagramStore::TakeFinishedWrites() {
    if (mWriteError != 0) return false;
    while (mWriter && mWriter->Done())
        if (!FinishWrite()) return false;
    return true;
}

bool RawDatagramStore::WriterFull() const {
    return mWriteError == 0 && mWriter && mWriter->Pending() >= mWaitingRoom && !mWriter->Done();
}

bool RawDatagramStore::WritesPending() const { return mWriteError == 0 && mWriter && mWriter->Pending() != 0; }

void RawDatagramStore::ReleaseChunks() {
    // Every mapping is the writer's.
    if (mWriter) mWriter->Unmap();
    mChunks.clear();
    mEntryChunks.clear();
    mEntryChunksHandedOver = 0;
}

void RawDatagramStore::StartWritingEntryChunk() {
    const std::size_t slot = mEntryChunksHandedOver++;
    mWriter->Start(Writer::Part::Index, slot, reinterpret_cast<const std::uint8_t*>(mEntryChunks[slot].memory.get()),
                   sizeof(EntryChunk));
    mMostWaited = std::max(mMostWaited, mWriter->Pending());
}

namespace {
ChunkMemory OwnChunk() { return ChunkMemory(AllocateHugeChunk<std::uint8_t>(kChunkBytes).release()); }
}  // namespace

ChunkMemory RawDatagramStore::ReadyOrNewChunk() {
    if (mReadyChunks.empty()) return IdleOrNewChunk();
    ChunkMemory ready = std::move(mReadyChunks.back());
    mReadyChunks.pop_back();
    return ready;
}

ChunkMemory RawDatagramStore::IdleOrNewChunk() {
    if (!mIdleChunks.empty()) {
        ChunkMemory idle = std::move(mIdleChunks.back());
        mIdleChunks.pop_back();
        return idle;
    }
    // Without a space (a store in memory), or past its slots (a cleared
    // capture's chunks still being written), a chunk is a mapping of its own.
    if (std::uint8_t* slot = mSpace ? mSpace->Take() : nullptr) return ChunkMemory(slot, ReleaseChunk{mSpace});
    return OwnChunk();
}

void RawDatagramStore::Idle(ChunkMemory chunk) {
    if (chunk.get_deleter().space) return;  // its slot gives its pages back
    GivePagesBack(chunk.get(), kChunkBytes);
    mIdleChunks.push_back(std::move(chunk));
}

void RawDatagramStore::MakeReadyChunk() {
    mReadyChunks.push_back(IdleOrNewChunk());
    FaultInAhead(mReadyChunks.back().get(), kChunkBytes);
}

void RawDatagramStore::PrepareFirstChunks(std::optional<std::uint64_t> availableMemory) {
    if (!mChunks.empty()) return;
    if (mFile >= 0 && !mSpace) {
        mWaitingRoom = WaitingPartsFor(availableMemory);
        // The filling chunk and the ready ones beside those waiting.
        mSpace = ChunkSpace::Reserve(kChunkBytes, mWaitingRoom + 1 + kMaxReadyChunks);
    }
    // A flood fills a chunk in a few milliseconds, sooner than this machine's
    // kernel clears its fresh huge pages one ahead of the filling: until
    // written chunks come back for reuse, the window's thread would clear
    // pages itself, tens of milliseconds at a time. So the chunks a busy
    // start needs are made whole now, the first to be filled first.
    while (mReadyChunks.size() < kMaxReadyChunks) mReadyChunks.insert(mReadyChunks.begin(), IdleOrNewChunk());
    for (auto chunk = mReadyChunks.rbegin(); chunk != mReadyChunks.rend(); ++chunk)
        FaultInAhead(chunk->get(), kChunkBytes);
    // The lists of chunks, too, grow (and allocate) only past 16 GiB of bytes
    // or 2^26 datagrams.
    mChunks.reserve(4096);
    mChunkEnds.reserve(4096);
    mEntryChunks.reserve(1024);
    if (mFile < 0) return;
    // The writer's thread is made now too, not in the middle of a capture.
    if (!mWriter) mWriter = std::make_unique<Writer>(mFile, mIndexFile);
    if (mSpace) return;
    // Without a space, the address space of the chunks that a disk falling
    // behind for a moment keeps waiting is made now, as far as it can be
    // without bloating the process's map: each such chunk is two of its
    // mappings, and the kernel walks them all at times holding the map. A
    // disk that falls further behind has the rest made then.
    while (mIdleChunks.size() < mWaitingRoom / 4) mIdleChunks.push_back(OwnChunk());
}

std::uint32_t RawDatagramStore::Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength) {
    // After a failed write the chunk that was not written stays in memory, and
    // nothing more is taken: a later write could only leave a hole.
    if (mCount == UINT32_MAX) return 0;
    // A chunk written is read from the file from here on; its memory is free.
    if (!TakeFinishedWrites()) return 0;
    // A full index chunk goes to its file, as a byte chunk does, when the next one starts.
    if (mIndexFile >= 0 && mEntryChunksHandedOver < mCount / kEntriesPerChunk) {
        if (!RoomToWrite()) return 0;
        StartWritingEntryChunk();
    }
    const std::size_t length = std::min(datagram.size(), kReceiveBufferSize);
    if (mChunks.empty() || mChunkUsed + length > kChunkBytes) {
        if (!mChunks.empty()) {
            if (mFile >= 0) {
                if (!RoomToWrite()) return 0;
                StartWritingLastChunk();
            }
            mChunkEnds.push_back(static_cast<std::uint32_t>(mChunkUsed));
        }
        // An unfilled chunk costs address space, not resident memory.
        mChunks.push_back(Chunk{ReadyOrNewChunk(), nullptr});
        mChunkUsed = 0;
    }
    std::uint8_t* const filling = mChunks.back().memory.get();
    std::uint8_t* dst = filling + mChunkUsed;
    if (length != 0) std::memcpy(dst, datagram.data(), length);
    // Half-way through the chunk, the next one must be on its way: a written
    // chunk's memory that has come back, or new memory cleared on another
    // thread. A write still under way at this point may well come back after
    // the chunk is full (a flood fills one in a few milliseconds), and the
    // window's thread would then clear the new chunk's pages itself.
    if (FaultInNextHugePage(filling, kChunkBytes, mChunkUsed, mChunkUsed + length) && mReadyChunks.empty())
        MakeReadyChunk();
    const std::uint32_t index = mCount;
    // Left uninitialised: each entry is written before it is read.
    if (index % kEntriesPerChunk == 0) {
        mEntryChunks.push_back(
            {mSpareEntryChunk ? std::move(mSpareEntryChunk) : std::make_unique_for_overwrite<EntryChunk>(), nullptr});
    }
    EntryChunk& entries = *mEntryChunks.back().memory;
    const std::size_t chunk = mChunks.size() - 1;
    if (index % kGroupEntries == 0)
        entries.groupChunks[(index % kEntriesPerChunk) / kGroupEntries] = static_cast<std::uint32_t>(chunk);
    entries.entries[index % kEntriesPerChunk] =
        (static_cast<std::uint32_t>(chunk & kChunkLowMask) << kOffsetBits) | static_cast<std::uint32_t>(mChunkUsed);
    mChunkUsed += length;
    ++mCount;
    const std::uint32_t wire = wireLength == 0 ? static_cast<std::uint32_t>(datagram.size()) : wireLength;
    if (wire != length) mCutLengths.emplace_back(mCount, wire);
    return mCount;
}

std::size_t RawDatagramStore::ChunkOf(std::uint32_t index) const {
    const EntryChunk& entries = mEntryChunks[index / kEntriesPerChunk].Get();
    const std::uint32_t group = entries.groupChunks[(index % kEntriesPerChunk) / kGroupEntries];
    const std::uint32_t low = entries.entries[index % kEntriesPerChunk] >> kOffsetBits;
    return group + ((low - group) & kChunkLowMask);
}

RawDatagramStore::Place RawDatagramStore::PlaceOf(std::uint32_t position) const {
    const std::uint32_t index = position - 1;
    Place place;
    place.chunk = ChunkOf(index);
    place.offset = mEntryChunks[index / kEntriesPerChunk].Get().entries[index % kEntriesPerChunk] & kOffsetMask;
    // The datagram ends where the next one in its chunk starts, or where its chunk's bytes end.
    std::size_t end = place.chunk + 1 == mChunks.size() ? mChunkUsed : mChunkEnds[place.chunk];
    if (position < mCount && ChunkOf(index + 1) == place.chunk)
        end = mEntryChunks[(index + 1) / kEntriesPerChunk].Get().entries[(index + 1) % kEntriesPerChunk] & kOffsetMask;
    place.length = end - place.offset;
    return place;
}

std::span<const std::uint8_t> RawDatagramStore::Get(std::uint32_t position) const {
    if (position == 0 || position > mCount) return {};
    const Place place = PlaceOf(position);
    // Reads in order (a pass, rows painted one after another, rows of a
    // filtered list) read ahead; a read on its own (a click) brings in its own
    // pages only, and starts the read-ahead of a run that may follow afresh.
    if (position > mLastRead && position - mLastRead <= kInOrderGap) {
        ReadAhead(position - 1, place);
    } else {
        mBytesAhead = {};
        mIndexAhead = {};
    }
    mLastRead = position;
    return {mChunks[place.chunk].Data() + place.offset, place.length};
}

namespace {
// A run of reads in order first asks for a little, as it may be a screenful
// of rows, and for twice as much each time it has read half of what it asked
// for, up to a chunk: a pass keeps the disk that far ahead of it.
constexpr std::uint64_t kFirstBytesAhead = 128u << 10;
constexpr std::uint64_t kMostBytesAhead = kChunkBytes;
constexpr std::uint64_t kFirstIndexAhead = 16u << 10;
constexpr std::uint64_t kMostIndexAhead = 256u << 10;

// Asks the disk for [from, until) of parts `partBytes` long laid end to end;
// `mapped(p)` is part p's mapping, or nullptr for a part still in memory.
template <typename Mapped>
void AskDisk(std::uint64_t from, std::uint64_t until, std::uint64_t partBytes, std::size_t parts, Mapped mapped) {
    for (std::size_t p = from / partBytes; p < parts && p * partBytes < until; ++p) {
        const void* base = mapped(p);
        if (base == nullptr) continue;
        const std::uint64_t start = (std::max(from, p * partBytes) - p * partBytes) / kSmallPageBytes * kSmallPageBytes;
        const std::uint64_t end = std::min(until, (p + 1) * partBytes) - p * partBytes;
        madvise(static_cast<std::uint8_t*>(const_cast<void*>(base)) + start, end - start, MADV_WILLNEED);
    }
}
}  // namespace

bool RawDatagramStore::NextWindow(ReadAheadWindow& w, std::uint64_t at, std::uint64_t first, std::uint64_t most) {
    if (w.size != 0 && at + w.size / 2 < w.until) return false;
    w.size = w.size == 0 ? first : std::min(w.size * 2, most);
    w.until = at + w.size;
    return true;
}

void RawDatagramStore::ReadAhead(std::uint32_t index, const Place& place) const {
    // Written parts come from the disk one page fault at a time unless asked for.
    const std::uint64_t at = std::uint64_t{place.chunk} * kChunkBytes + place.offset;
    if (NextWindow(mBytesAhead, at, kFirstBytesAhead, kMostBytesAhead))
        AskDisk(at, mBytesAhead.until, kChunkBytes, mChunks.size(), [this](std::size_t c) -> const void* {
            return mChunks[c].mapped;
        });
    constexpr std::uint64_t kEntryBytes = sizeof(std::uint32_t);
    const std::uint64_t entryAt = std::uint64_t{index} * kEntryBytes;
    if (NextWindow(mIndexAhead, entryAt, kFirstIndexAhead, kMostIndexAhead))
        AskDisk(entryAt, mIndexAhead.until, kEntriesPerChunk * kEntryBytes, mEntryChunks.size(),
                [this](std::size_t c) -> const void* { return mEntryChunks[c].mapped; });
}

void RawDatagramStore::Prefetch(std::uint32_t position) const {
    if (position == 0 || position > mCount) return;
    const Place place = PlaceOf(position);
    ReadAhead(position - 1, place);
    __builtin_prefetch(mChunks[place.chunk].Data() + place.offset);
}

std::uint32_t RawDatagramStore::WireLength(std::uint32_t position) const {
    if (position == 0 || position > mCount) return 0;
    const auto cut = std::lower_bound(mCutLengths.begin(), mCutLengths.end(), std::make_pair(position, 0u));
    if (cut != mCutLengths.end() && cut->first == position) return cut->second;
    return static_cast<std::uint32_t>(PlaceOf(position).length);
}

namespace {
// Ends a cleared store's files in the background: the write in flight (its
// writer, and the chunks handed to it) first, then the files. Freeing a
// large file's blocks takes long (about 170 ms a gigabyte here, in close or
// ftruncate alike), and a write can wait on the disk: a window clearing a big
// capture would stand still for seconds.
template <typename Writer, typename Writing>
void RetireInBackground(std::unique_ptr<Writer> writer, Writing writing, int file, int indexFile) {
    ReleaseInBackground([writer = std::move(writer), writing = std::move(writing), file, indexFile]() mutable {
        writer.reset();  // waits for its write: `writing` is read until then
        writing = {};
        close(file);
        if (indexFile >= 0) close(indexFile);
    });
}

// A file this small is freed at once, on the caller's thread.
constexpr std::uint64_t kCloseAtOnceBytes = 64u << 20;
}  // namespace

void WaitForClosedDatagramFiles() { WaitForBackgroundReleases(); }

std::size_t WaitingPartsFor(std::optional<std::uint64_t> availableBytes) {
    constexpr std::size_t kFewest = 16;
    constexpr std::size_t kMost = 256;
    if (!availableBytes) return 64;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(*availableBytes / 8 / kChunkBytes, kFewest, kMost));
}

void RawDatagramStore::ReplaceFiles(HandedOver writing, bool inBackground) {
    std::unique_ptr<Writer> writer = std::move(mWriter);
    // Nothing of the old file stays mapped, so that its last reference is a descriptor.
    if (writer) writer->DropMappings();
    const int file = std::exchange(mFile, -1);
    const int indexFile = std::exchange(mIndexFile, -1);
    // The new files are made before the old ones are freed, which holds the
    // file system up meanwhile.
    const std::string folder = std::exchange(mFolder, std::string());
    OpenFile({folder});
    if (inBackground) {
        RetireInBackground(std::move(writer), std::move(writing), file, indexFile);
        return;
    }
    writer.reset();
    close(file);
    if (indexFile >= 0) close(indexFile);
}

void RawDatagramStore::Clear() {
    // A large file is handed to a thread to end, with the write in flight,
    // and new files take its place. After a full disk the room must be back
    // at once: that file is cut here.
    // The parts handed over count as written (each as a whole chunk): behind
    // a slow disk, waiting for them is what takes long.
    const std::uint64_t handedOver = mWriter ? std::uint64_t{mWriter->Pending()} * kChunkBytes : 0;
    const bool retire = mFile >= 0 && mWriteError == 0 && FileBytes() + handedOver > kCloseAtOnceBytes;
    HandedOver writing;
    if (retire && mWriter && mWriter->Pending() != 0) {
        // Every chunk in memory but the one filling is handed over or written,
        // and so is every index chunk handed over.
        for (std::size_t c = 0; c + 1 < mChunks.size(); ++c)
            if (mChunks[c].mapped == nullptr) writing.chunks.push_back(std::move(mChunks[c].memory));
        for (std::size_t e = 0; e < mEntryChunksHandedOver; ++e)
            if (mEntryChunks[e].mapped == nullptr) writing.entries.push_back(std::move(mEntryChunks[e].memory));
    } else if (mWriter) {
        mWriter->Drain();  // the bytes handed over are about to go
    }
    // Unmapped first, so that a retired file's last reference is that thread's descriptor.
    ReleaseChunks();
    if (retire) {
        ReplaceFiles(std::move(writing), true);
    } else if (mFile >= 0 && (ftruncate(mFile, 0) != 0 || (mIndexFile >= 0 && ftruncate(mIndexFile, 0) != 0))) {
        // Many clears use one file, cut to nothing; one that cannot be cut is
        // replaced, so nothing old is read as new.
        ReplaceFiles({}, false);
    }
    mWriteError = 0;
    mBytesAhead = {};
    mIndexAhead = {};
    mLastRead = 0;
    // One chunk's memory stays ready for the next capture; the others go idle.
    while (mReadyChunks.size() > 1) {
        Idle(std::move(mReadyChunks.back()));
        mReadyChunks.pop_back();
    }
    mChunks.shrink_to_fit();
    mEntryChunks.shrink_to_fit();
    mChunkEnds.clear();
    mChunkEnds.shrink_to_fit();
    mCutLengths = {};
    mChunkUsed = 0;
    mCount = 0;
    mMostWaited = 0;
}

std::size_t RawDatagramStore::ReservedBytes() const {
    const auto inMemory = std::count_if(mChunks.begin(), mChunks.end(), [](const Chunk& c) { return c.mapped == nullptr; });
    const auto entriesInMemory =
        std::count_if(mEntryChunks.begin(), mEntryChunks.end(), [](const EntrySlot& e) { return e.mapped == nullptr; });
    return (static_cast<std::size_t>(inMemory) + mReadyChunks.size()) * kChunkBytes +
           (static_cast<std::size_t>(entriesInMemory) + (mSpareEntryChunk ? 1 : 0)) * sizeof(EntryChunk) +
           mChunkEnds.capacity() * sizeof(std::uint32_t) + mCutLengths.size() * sizeof(mCutLengths[0]);
}

std::uint64_t RawDatagramStore::FileBytes() const {
    struct stat st {};
    if (mFile < 0 || fstat(mFile, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace wirelens
