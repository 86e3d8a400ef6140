#include "packets/packet_store.h"

#include <new>
#include <type_traits>
#include <utility>

static_assert(std::is_trivially_destructible_v<wirelens::clV>, "chunks are freed without running destructors");

namespace wirelens {

namespace {
// The records grow as long as a capture runs: their pages are fresh memory,
// faulted in small pages on the fault-ahead thread (see huge_chunk.h).
constexpr ChunkPages kRecordPages = ChunkPages::Small;
}  // namespace

bool PacketStore::Put(std::int32_t key, const clV& record) {
    if (key < 1) return false;
    if (key <= mCount) {
        const std::int32_t i = key - 1;
        mChunks[static_cast<std::size_t>(i / kChunkRecords)][i % kChunkRecords] = record;
        return true;
    }
    if (key != mCount + 1) return false;
    const std::int32_t i = mCount;
    static_assert(kChunkBytes % kHugePageBytes == 0);
    if (i % kChunkRecords == 0) mChunks.push_back(mNextChunk != nullptr ? std::exchange(mNextChunk, nullptr) : NewChunk());
    // The chunk is raw memory: each record begins its life here.
    new (&mChunks.back()[i % kChunkRecords]) clV(record);
    ++mCount;
    const std::size_t before = static_cast<std::size_t>(i % kChunkRecords) * sizeof(clV);
    if (FaultInNextHugePage(mChunks.back(), kChunkBytes, before, before + sizeof(clV)) && mNextChunk == nullptr) {
        mNextChunk = NewChunk();
        FaultInAhead(mNextChunk, kHugePageBytes);
    }
    return true;
}

clV* PacketStore::NewChunk() {
    constexpr std::size_t kMostChunks = (static_cast<std::size_t>(kMaxKey) + kChunkRecords - 1) / kChunkRecords;
    // Once a capture; where it is refused, every chunk is memory of its own.
    if (!mReserved && mReservedUsed == 0 && mOwnChunks.empty()) {
        mReserved = ReservedMemory::Reserve(kMostChunks * kChunkBytes);
        // The list of chunks does not grow (and allocate) mid-capture either.
        if (mReserved) mChunks.reserve(kMostChunks);
    }
    if (mReserved && mReservedUsed < kMostChunks)
        return reinterpret_cast<clV*>(mReserved.get() + mReservedUsed++ * kChunkBytes);
    mOwnChunks.push_back(AllocateHugeChunk<clV>(kChunkBytes, kRecordPages));
    return mOwnChunks.back().get();
}

void PacketStore::PrepareFirstChunk() {
    if (!mChunks.empty() || mNextChunk != nullptr) return;
    mNextChunk = NewChunk();
    FaultInAhead(mNextChunk, kHugePageBytes);
}

void PacketStore::Clear() {
    // Small pages take long to unmap: 10 ms for 5,000,000 records here.
    // More than a chunk's worth is freed in the background; the next
    // capture reserves anew.
    if (mChunks.size() > 1) {
        ReleaseInBackground([reserved = std::move(mReserved), own = std::move(mOwnChunks)]() mutable {
            reserved = {};
            own.clear();
        });
    }
    mReserved = {};
    mReservedUsed = 0;
    mOwnChunks.clear();
    mChunks.clear();
    mChunks.shrink_to_fit();
    mNextChunk = nullptr;
    mCount = 0;
}

std::size_t PacketStore::ReservedBytes() const {
    return (mChunks.size() + (mNextChunk != nullptr ? 1 : 0)) * kChunkBytes;
}

}  // namespace wirelens
