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
constexpr std::uint32_t kEntriesPerChunk = 1u << 16;

// Entry layout: chunk index (31 bits) | offset in chunk (22 bits) | kept length (11 bits).
constexpr unsigned kLengthBits = 11;
constexpr unsigned kOffsetBits = 22;
static_assert((std::size_t{1} << kLengthBits) > kReceiveBufferSize);
static_assert((std::size_t{1} << kOffsetBits) == kChunkBytes);
constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kLengthBits) - 1;
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
}  // namespace

RawDatagramStore::RawDatagramStore() = default;
RawDatagramStore::~RawDatagramStore() = default;

std::uint32_t RawDatagramStore::Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength) {
    if (mCount == UINT32_MAX) return 0;
    const std::size_t length = std::min(datagram.size(), kReceiveBufferSize);
    if (mChunks.empty() || mChunkUsed + length > kChunkBytes) {
        // An unfilled chunk costs address space, not resident memory.
        mChunks.push_back(AllocateHugeChunk<std::uint8_t>(kChunkBytes));
        mChunkUsed = 0;
    }
    std::uint8_t* dst = mChunks.back().get() + mChunkUsed;
    if (length != 0) std::memcpy(dst, datagram.data(), length);
    if (mCount % kEntriesPerChunk == 0) mEntryChunks.emplace_back(new std::uint64_t[kEntriesPerChunk]);
    mEntryChunks.back()[mCount % kEntriesPerChunk] =
        (static_cast<std::uint64_t>(mChunks.size() - 1) << (kOffsetBits + kLengthBits)) |
        (static_cast<std::uint64_t>(mChunkUsed) << kLengthBits) | length;
    mChunkUsed += length;
    ++mCount;
    const std::uint32_t wire = wireLength == 0 ? static_cast<std::uint32_t>(datagram.size()) : wireLength;
    if (wire != length) mCutLengths.emplace_back(mCount, wire);
    return mCount;
}

std::uint64_t RawDatagramStore::EntryAt(std::uint32_t position) const {
    const std::uint32_t i = position - 1;
    return mEntryChunks[i / kEntriesPerChunk][i % kEntriesPerChunk];
}

std::span<const std::uint8_t> RawDatagramStore::Get(std::uint32_t position) const {
    if (position == 0 || position > mCount) return {};
    const std::uint64_t e = EntryAt(position);
    const std::size_t chunk = static_cast<std::size_t>(e >> (kOffsetBits + kLengthBits));
    const std::size_t offset = static_cast<std::size_t>((e >> kLengthBits) & kOffsetMask);
    return {mChunks[chunk].get() + offset, static_cast<std::size_t>(e & kLengthMask)};
}

void RawDatagramStore::Prefetch(std::uint32_t position) const {
    const auto bytes = Get(position);
    if (!bytes.empty()) __builtin_prefetch(bytes.data());
}

std::uint32_t RawDatagramStore::WireLength(std::uint32_t position) const {
    if (position == 0 || position > mCount) return 0;
    const auto cut = std::lower_bound(mCutLengths.begin(), mCutLengths.end(), std::make_pair(position, 0u));
    if (cut != mCutLengths.end() && cut->first == position) return cut->second;
    return static_cast<std::uint32_t>(EntryAt(position) & kLengthMask);
}

void RawDatagramStore::Clear() {
    mChunks.clear();
    mChunks.shrink_to_fit();
    mEntryChunks.clear();
    mEntryChunks.shrink_to_fit();
    mCutLengths.clear();
    mCutLengths.shrink_to_fit();
    mChunkUsed = 0;
    mCount = 0;
}

std::size_t RawDatagramStore::ReservedBytes() const {
    return mChunks.size() * kChunkBytes + mEntryChunks.size() * kEntriesPerChunk * sizeof(std::uint64_t) +
           mCutLengths.capacity() * sizeof(mCutLengths[0]);
}

}  // namespace wirelens
