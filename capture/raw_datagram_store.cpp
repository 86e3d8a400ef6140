#include "capture/raw_datagram_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "capture/decode.h"

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
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
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

RawDatagramStore::RawDatagramStore() : RawDatagramStore(DatagramFileFolders()) {}

RawDatagramStore::RawDatagramStore(const std::vector<std::string>& folders) { OpenFile(folders); }

RawDatagramStore::~RawDatagramStore() {
    ReleaseChunks();
    if (mFile >= 0) close(mFile);
}

void RawDatagramStore::OpenFile(const std::vector<std::string>& folders) {
    std::string reasons;
    for (const std::string& folder : folders) {
        mFile = MakeTemporaryFile(folder);
        if (mFile >= 0) {
            mFolder = folder;
            return;
        }
        if (!reasons.empty()) reasons += ", ";
        reasons += folder + " (" + std::strerror(errno) + ")";
    }
    mStorageNote = reasons.empty() ? "The captured bytes are kept in memory: no folder was given for a temporary file."
                                   : "The captured bytes are kept in memory: no temporary file could be made in " +
                                         reasons + ".";
}

bool RawDatagramStore::WriteOutLastChunk() {
    Chunk& chunk = mChunks.back();
    const off_t at = static_cast<off_t>((mChunks.size() - 1) * kChunkBytes);
    for (std::size_t done = 0; done < mChunkUsed;) {
        const ssize_t n = pwrite(mFile, chunk.memory.get() + done, mChunkUsed - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A short write followed by no progress is a full disk too.
            mWriteError = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // The whole chunk's length: part of it may lie past the end of the file,
    // but only the bytes written are ever read.
    void* mapped = mmap(nullptr, kChunkBytes, PROT_READ, MAP_SHARED, mFile, at);
    if (mapped == MAP_FAILED) {
        mWriteError = errno;
        return false;
    }
    chunk.mapped = static_cast<const std::uint8_t*>(mapped);
    // Its memory becomes the next chunk: already faulted in, it fills without page faults.
    mNextChunk = std::move(chunk.memory);
    return true;
}

void RawDatagramStore::ReleaseChunks() {
    for (Chunk& chunk : mChunks)
        if (chunk.mapped != nullptr) munmap(const_cast<std::uint8_t*>(chunk.mapped), kChunkBytes);
    mChunks.clear();
}

std::uint32_t RawDatagramStore::Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength) {
    // After a failed write the chunk that was not written stays in memory, and
    // nothing more is taken: a later write could only leave a hole.
    if (mCount == UINT32_MAX || mWriteError != 0) return 0;
    const std::size_t length = std::min(datagram.size(), kReceiveBufferSize);
    if (mChunks.empty() || mChunkUsed + length > kChunkBytes) {
        if (!mChunks.empty()) {
            if (mFile >= 0 && !WriteOutLastChunk()) return 0;
            mChunkEnds.push_back(static_cast<std::uint32_t>(mChunkUsed));
        }
        // An unfilled chunk costs address space, not resident memory.
        mChunks.push_back(
            Chunk{mNextChunk ? std::move(mNextChunk) : AllocateHugeChunk<std::uint8_t>(kChunkBytes), nullptr});
        mChunkUsed = 0;
    }
    std::uint8_t* const filling = mChunks.back().memory.get();
    std::uint8_t* dst = filling + mChunkUsed;
    if (length != 0) std::memcpy(dst, datagram.data(), length);
    // A file-backed store reuses the written chunk's memory: no next chunk to make ready.
    if (FaultInNextHugePage(filling, kChunkBytes, mChunkUsed, mChunkUsed + length) && !mNextChunk && mFile < 0) {
        mNextChunk = AllocateHugeChunk<std::uint8_t>(kChunkBytes);
        FaultInAhead(mNextChunk.get(), kHugePageBytes);
    }
    const std::uint32_t index = mCount;
    // Left uninitialised: each entry is written before it is read.
    if (index % kEntriesPerChunk == 0) mEntryChunks.push_back(std::make_unique_for_overwrite<EntryChunk>());
    EntryChunk& entries = *mEntryChunks.back();
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
    const EntryChunk& entries = *mEntryChunks[index / kEntriesPerChunk];
    const std::uint32_t group = entries.groupChunks[(index % kEntriesPerChunk) / kGroupEntries];
    const std::uint32_t low = entries.entries[index % kEntriesPerChunk] >> kOffsetBits;
    return group + ((low - group) & kChunkLowMask);
}

RawDatagramStore::Place RawDatagramStore::PlaceOf(std::uint32_t position) const {
    const std::uint32_t index = position - 1;
    Place place;
    place.chunk = ChunkOf(index);
    place.offset = mEntryChunks[index / kEntriesPerChunk]->entries[index % kEntriesPerChunk] & kOffsetMask;
    // The datagram ends where the next one in its chunk starts, or where its chunk's bytes end.
    std::size_t end = place.chunk + 1 == mChunks.size() ? mChunkUsed : mChunkEnds[place.chunk];
    if (position < mCount && ChunkOf(index + 1) == place.chunk)
        end = mEntryChunks[(index + 1) / kEntriesPerChunk]->entries[(index + 1) % kEntriesPerChunk] & kOffsetMask;
    place.length = end - place.offset;
    return place;
}

std::span<const std::uint8_t> RawDatagramStore::Get(std::uint32_t position) const {
    if (position == 0 || position > mCount) return {};
    const Place place = PlaceOf(position);
    return {mChunks[place.chunk].Data() + place.offset, place.length};
}

void RawDatagramStore::Prefetch(std::uint32_t position) const {
    const auto bytes = Get(position);
    if (!bytes.empty()) __builtin_prefetch(bytes.data());
}

std::uint32_t RawDatagramStore::WireLength(std::uint32_t position) const {
    if (position == 0 || position > mCount) return 0;
    const auto cut = std::lower_bound(mCutLengths.begin(), mCutLengths.end(), std::make_pair(position, 0u));
    if (cut != mCutLengths.end() && cut->first == position) return cut->second;
    return static_cast<std::uint32_t>(PlaceOf(position).length);
}

void RawDatagramStore::Clear() {
    ReleaseChunks();
    // Many clears use one file; cutting it hands its blocks back to the disk.
    if (mFile >= 0 && ftruncate(mFile, 0) != 0) {
        // Not cut: a new file instead, so nothing old is read as new.
        close(mFile);
        mFile = -1;
        OpenFile(mFolder.empty() ? DatagramFileFolders() : std::vector<std::string>{mFolder});
    }
    mWriteError = 0;
    mChunks.shrink_to_fit();
    mEntryChunks.clear();
    mEntryChunks.shrink_to_fit();
    mChunkEnds.clear();
    mChunkEnds.shrink_to_fit();
    mCutLengths = {};
    mChunkUsed = 0;
    mCount = 0;
}

std::size_t RawDatagramStore::ReservedBytes() const {
    const auto inMemory = std::count_if(mChunks.begin(), mChunks.end(), [](const Chunk& c) { return c.mapped == nullptr; });
    return (static_cast<std::size_t>(inMemory) + (mNextChunk ? 1 : 0)) * kChunkBytes + mEntryChunks.size() * sizeof(EntryChunk) +
           mChunkEnds.capacity() * sizeof(std::uint32_t) + mCutLengths.size() * sizeof(mCutLengths[0]);
}

}  // namespace wirelens

namespace wirelens {

std::uint64_t RawDatagramStore::FileBytes() const {
    struct stat st {};
    if (mFile < 0 || fstat(mFile, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace wirelens
