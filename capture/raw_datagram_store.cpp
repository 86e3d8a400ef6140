#include "capture/raw_datagram_store.h"

#include <algorithm>
#include <cstring>

#include "capture/decode.h"

namespace wirelens {

namespace {
// Large enough that chunk bookkeeping is negligible, small enough that the
// slack at the end of the last chunk is too.
constexpr std::size_t kChunkBytes = 4u << 20;
static_assert(kChunkBytes >= kReceiveBufferSize);
}  // namespace

RawDatagramStore::RawDatagramStore() = default;
RawDatagramStore::~RawDatagramStore() = default;

std::uint32_t RawDatagramStore::Append(std::span<const std::uint8_t> datagram) {
    const std::size_t length = std::min(datagram.size(), kReceiveBufferSize);
    if (mChunks.empty() || mChunkUsed + length > kChunkBytes) {
        // new[] without () leaves the pages untouched until written, so an
        // unfilled chunk costs address space, not resident memory.
        mChunks.emplace_back(new std::uint8_t[kChunkBytes]);
        mChunkUsed = 0;
    }
    std::uint8_t* dst = mChunks.back().get() + mChunkUsed;
    if (length != 0) std::memcpy(dst, datagram.data(), length);
    mEntries.push_back(Entry{static_cast<std::uint32_t>(mChunks.size() - 1),
                             static_cast<std::uint32_t>(mChunkUsed),
                             static_cast<std::uint32_t>(length)});
    mChunkUsed += length;
    return static_cast<std::uint32_t>(mEntries.size());
}

std::span<const std::uint8_t> RawDatagramStore::Get(std::uint32_t position) const {
    if (position == 0 || position > mEntries.size()) return {};
    const Entry& e = mEntries[position - 1];
    return {mChunks[e.chunk].get() + e.offset, e.length};
}

void RawDatagramStore::Clear() {
    mChunks.clear();
    mChunks.shrink_to_fit();
    mEntries.clear();
    mEntries.shrink_to_fit();
    mChunkUsed = 0;
}

std::size_t RawDatagramStore::ReservedBytes() const {
    return mChunks.size() * kChunkBytes + mEntries.capacity() * sizeof(Entry);
}

}  // namespace wirelens
