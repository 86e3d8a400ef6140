#include "capture/raw_datagram_store.h"

#include <algorithm>
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
}  // namespace

struct RawDatagramStore::EntryChunk {
    std::uint32_t entries[kEntriesPerChunk];
    std::uint32_t groupChunks[kEntriesPerChunk / kGroupEntries];  // chunk of each group's first entry
};

RawDatagramStore::RawDatagramStore() = default;
RawDatagramStore::~RawDatagramStore() = default;

std::uint32_t RawDatagramStore::Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength) {
    if (mCount == UINT32_MAX) return 0;
    const std::size_t length = std::min(datagram.size(), kReceiveBufferSize);
    if (mChunks.empty() || mChunkUsed + length > kChunkBytes) {
        // An unfilled chunk costs address space, not resident memory.
        if (!mChunks.empty()) mChunkEnds.push_back(static_cast<std::uint32_t>(mChunkUsed));
        mChunks.push_back(mNextChunk ? std::move(mNextChunk) : AllocateHugeChunk<std::uint8_t>(kChunkBytes));
        mChunkUsed = 0;
    }
    std::uint8_t* dst = mChunks.back().get() + mChunkUsed;
    if (length != 0) std::memcpy(dst, datagram.data(), length);
    if (FaultInNextHugePage(mChunks.back().get(), kChunkBytes, mChunkUsed, mChunkUsed + length) && !mNextChunk) {
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
    return {mChunks[place.chunk].get() + place.offset, place.length};
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
    mChunks.clear();
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
    return (mChunks.size() + (mNextChunk ? 1 : 0)) * kChunkBytes + mEntryChunks.size() * sizeof(EntryChunk) +
           mChunkEnds.capacity() * sizeof(std::uint32_t) + mCutLengths.size() * sizeof(mCutLengths[0]);
}

}  // namespace wirelens
