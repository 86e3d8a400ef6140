#pragma once
// Append-only store of captured datagrams, addressed by position from 1.
// Bytes live in large chunks (no allocation per datagram); each datagram keeps
// only the bytes it has, at most kReceiveBufferSize. The index grows in fixed
// chunks too, so an append never copies what is stored; it costs 4 bytes a
// datagram, its start in its chunk, the end following from the next start.
//
// A capture may outgrow memory, so the bytes go to an unlinked temporary file:
// only the chunk being filled is in memory; a full chunk is written out with
// pwrite (a full disk then gives an error, where writing into a shared mapping
// would raise SIGBUS) on a thread of its own, read from memory until written,
// then through a read-only mapping of its range of the file, paged in from the
// page cache or the disk. Full index chunks go to a second unlinked file the
// same way, so memory holds only the records of a capture, not its index.
// Where no file can be made the store keeps its bytes in memory and
// StorageNote() says why.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "capture/huge_chunk.h"

namespace wirelens {

// Where a store's temporary file may go, in order: $XDG_CACHE_HOME/wirelens
// (or ~/.cache/wirelens), then $TMPDIR, then /tmp. Unset or empty values are
// passed as null.
std::vector<std::string> DatagramFileFolders(const char* xdgCacheHome, const char* home, const char* tmpdir);
// The same, from this process's environment.
std::vector<std::string> DatagramFileFolders();
// How many parts may wait for a disk that has fallen behind a capture, with
// `availableBytes` of the machine's memory available (nothing: not known): as
// many 4 MiB chunks as an eighth of it holds, from 16 (64 MiB) to 256
// (1 GiB); 64 when not known. Beyond them a capture waits for the disk.
std::size_t WaitingPartsFor(std::optional<std::uint64_t> availableBytes);
// Waits until the files of cleared stores that are being closed in the
// background are closed (their disk space given back).
void WaitForClosedDatagramFiles();

class RawDatagramStore {
public:
    struct EntryChunk;  // a run of index entries, laid out in the .cpp
    // Backed by a file in the first of DatagramFileFolders() that takes one.
    RawDatagramStore();
    // Backed by a file in the first of `folders` that takes one; none given or
    // none taking one: in memory.
    explicit RawDatagramStore(const std::vector<std::string>& folders);
    ~RawDatagramStore();
    RawDatagramStore(const RawDatagramStore&) = delete;
    RawDatagramStore& operator=(const RawDatagramStore&) = delete;

    // Keeps the first kReceiveBufferSize bytes; returns the new position (from 1),
    // or 0 when the datagram was refused: every position is taken, or writing
    // the file failed (WriteError), after which every append is refused until Clear.
    // `wireLength` is the datagram's length before any truncation; 0 means the
    // bytes given are the whole datagram.
    std::uint32_t Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength = 0);
    // The bytes at `position`, or an empty span when there is no such position.
    // Valid until the next Append or Clear: a written chunk's memory is reused.
    std::span<const std::uint8_t> Get(std::uint32_t position) const;
    // The length the datagram at `position` had on the wire; 0 for no such position.
    std::uint32_t WireLength(std::uint32_t position) const;
    // Asks the processor to load the start of the bytes at `position` ahead of a
    // pass that will read them, and the disk for what follows them, as reads
    // in order do; a pass over a large store waits on memory or the disk otherwise.
    void Prefetch(std::uint32_t position) const;
    std::uint32_t Count() const { return mCount; }
    // Empties the store; its file is cut to nothing and used again.
    void Clear();
    // Before packets are expected to come quickly: makes the first chunks
    // ready (kMaxReadyChunks of them), faulted in whole on another thread,
    // and, for a store with a file, the room for the chunks that may wait for
    // the disk (WaitingPartsFor `availableMemory`), kept from the first call
    // that reserves the space for them on.
    void PrepareFirstChunks(std::optional<std::uint64_t> availableMemory = std::nullopt);
    // The parts that may wait for the disk before the writer is full, and
    // the most that have waited at once since the store was made or cleared.
    std::size_t WaitingRoom() const { return mWaitingRoom; }
    std::size_t MostWaited() const { return mMostWaited; }
    // Bytes held in memory, chunk slack included; for memory accounting. Bytes
    // written to the file are not counted: the page cache holds them, not us.
    std::size_t ReservedBytes() const;

    // Whether the bytes go to a file; when not, StorageNote() says why.
    bool FileBacked() const { return mFile >= 0; }
    // The folder holding the file (empty when in memory).
    const std::string& Folder() const { return mFolder; }
    // Why the bytes are kept in memory; empty when they go to a file.
    const std::string& StorageNote() const { return mStorageNote; }
    // The file's length; 0 in memory.
    std::uint64_t FileBytes() const;
    // The errno of the write that failed (ENOSPC for a short write); 0 while none has.
    int WriteError() const { return mWriteError; }
    // Waits for the full chunks handed to the file's writer; from then on they
    // are read from the file (or, after a failed write, kept in memory).
    void WaitForWrites();
    // Takes the results of the writes that have finished, without waiting.
    // False once a write has failed (WriteError() says why).
    bool TakeFinishedWrites();
    // Whether full chunks are still on their way to the file; false after a
    // failed write, when the chunks behind it will not be written.
    bool WritesPending() const;
    // Whether the writer has as many parts as it takes, the oldest still being
    // written: an Append that fills a chunk would wait for the disk. A thread
    // that must not wait (the window's) takes no more datagrams until it is
    // false; they wait where they are (the capture's ring) meanwhile.
    bool WriterFull() const;

private:
    // A datagram's place: which chunk, where in it, and where it ends.
    struct Place {
        std::size_t chunk = 0;
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    // An index chunk: in memory while it fills, then (file-backed) a read-only
    // mapping of its part of the index file.
    struct EntrySlot {
        std::unique_ptr<EntryChunk> memory;
        const EntryChunk* mapped = nullptr;
        const EntryChunk& Get() const { return mapped != nullptr ? *mapped : static_cast<const EntryChunk&>(*memory); }
    };
    // A chunk's bytes: in memory, or a read-only mapping of its range of the file.
    struct Chunk {
        ChunkMemory memory;
        const std::uint8_t* mapped = nullptr;
        const std::uint8_t* Data() const { return mapped != nullptr ? mapped : memory.get(); }
    };
    Place PlaceOf(std::uint32_t position) const;
    // How far reads in order have asked the disk to read ahead: up to `until`
    // (bytes into the parts laid end to end), `size` at a time; 0: no run yet.
    struct ReadAheadWindow {
        std::uint64_t until = 0;
        std::uint64_t size = 0;
    };
    // A read this many positions or fewer after the last one continues a run.
    static constexpr std::uint32_t kInOrderGap = 64;
    // Whether a read at `at` asks for more: the first read of a run, or one
    // past half of what was asked for last; if so, `w` is moved on.
    static bool NextWindow(ReadAheadWindow& w, std::uint64_t at, std::uint64_t first, std::uint64_t most);
    // Asks the disk for what follows the datagram at entry `index` (at `place`)
    // in the written bytes and index, when what was asked for last runs short.
    void ReadAhead(std::uint32_t index, const Place& place) const;
    std::size_t ChunkOf(std::uint32_t index) const;
    void OpenFile(const std::vector<std::string>& folders);
    // A ready chunk's memory, or else an idle chunk's, or new memory.
    ChunkMemory ReadyOrNewChunk();
    ChunkMemory IdleOrNewChunk();
    // Gives the chunk's pages back: to its slot of mSpace, or kept among the idle ones.
    void Idle(ChunkMemory chunk);
    // New memory for a next chunk, faulted in whole on another thread.
    void MakeReadyChunk();
    // Makes the writer if there is none yet, and waits for its oldest part if
    // it has its fill; false when that part could not be written.
    bool RoomToWrite();
    // Hand the last chunk, full, or the next full index chunk to the writer
    // (after RoomToWrite).
    void StartWritingLastChunk();
    void StartWritingEntryChunk();
    // Takes the oldest part handed to the writer, waiting for it, and reads it
    // from the file from then on; false (and WriteError set) when it could not
    // be written: it then stays in memory.
    bool FinishWrite();
    void ReleaseChunks();
    // What the writer may still be reading when its files go.
    struct HandedOver {
        std::vector<ChunkMemory> chunks;
        std::vector<std::unique_ptr<EntryChunk>> entries;
    };
    // New files in the same folder; the old ones, with `writing`, are freed
    // here or on a thread of their own.
    void ReplaceFiles(HandedOver writing, bool inBackground);

    std::vector<Chunk> mChunks;
    // Memory for the next chunks: made ready while the last chunk fills, or a
    // written chunk's, already faulted in. The last is taken first.
    static constexpr std::size_t kMaxReadyChunks = 3;
    std::vector<ChunkMemory> mReadyChunks;
    // Address space for every chunk that can be in memory at once (those
    // waiting for the disk, the filling one, the ready ones), made by the
    // first PrepareFirstChunks of a store with a file: chunks that pile up
    // behind the disk then make no mapping (see ChunkSpace). Kept across
    // clears: it costs address space only.
    std::shared_ptr<ChunkSpace> mSpace;
    // Chunks of their own (no space could be had, or its slots were all
    // taken) written back beyond those kept ready, their pages given back
    // (not resident), kept for the next bunch of writes that waits for the disk.
    std::vector<ChunkMemory> mIdleChunks;
    std::size_t mWaitingRoom = WaitingPartsFor(std::nullopt);
    std::size_t mMostWaited = 0;
    std::vector<std::uint32_t> mChunkEnds;  // bytes used in each chunk but the last
    std::size_t mChunkUsed = 0;
    std::vector<EntrySlot> mEntryChunks;
    std::unique_ptr<EntryChunk> mSpareEntryChunk;  // a written index chunk's memory
    // Full index chunks handed to the writer, from the first: each goes to
    // the index file when the next one starts.
    std::size_t mEntryChunksHandedOver = 0;
    std::uint32_t mCount = 0;
    // (position, wire length) of the few datagrams that were cut, in position order;
    // every other datagram's wire length is its kept length. A deque grows
    // without copying what it holds, however many are cut.
    std::deque<std::pair<std::uint32_t, std::uint32_t>> mCutLengths;
    int mFile = -1;
    // The index goes to a file of its own beside the bytes: 4 bytes a datagram
    // would otherwise be most of a capture's memory per packet. The writer
    // writes both, in the order handed over.
    int mIndexFile = -1;
    class Writer;
    std::unique_ptr<Writer> mWriter;  // made with the first full chunk; holds every mapping
    std::string mFolder;
    std::string mStorageNote;
    int mWriteError = 0;
    // What reads in order last asked the disk for, in the bytes and in the index.
    mutable ReadAheadWindow mBytesAhead;
    mutable ReadAheadWindow mIndexAhead;
    mutable std::uint32_t mLastRead = 0;  // the position Get last read
};

}  // namespace wirelens
