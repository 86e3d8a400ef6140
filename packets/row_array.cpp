#include "packets/row_array.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "capture/huge_chunk.h"

namespace wirelens {

namespace {
// The first mapping holds a few thousand rows; every growth doubles it.
constexpr std::size_t kFirstBytes = std::size_t{64} << 10;
// Room before the first entry comes in whole pages, so that the mapping
// behind it can be moved there.
constexpr std::size_t kPageEntries = kSmallPageBytes / sizeof(std::uint32_t);

// A fresh anonymous mapping of `bytes`; bad_alloc when the kernel refuses it.
std::byte* MapFresh(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<std::byte*>(p);
}
}  // namespace

RowArray::RowArray(RowArray&& other) noexcept
    : mData(std::exchange(other.mData, nullptr)),
      mCapacity(std::exchange(other.mCapacity, 0)),
      mFront(std::exchange(other.mFront, 0)),
      mPieces(std::exchange(other.mPieces, {})),
      mRun(std::exchange(other.mRun, true)),
      mSize(std::exchange(other.mSize, 0)),
      mRunFirst(std::exchange(other.mRunFirst, 0)),
      mOutgoing(std::move(other.mOutgoing)) {
    other.mOutgoing.clear();
}

RowArray& RowArray::operator=(RowArray&& other) noexcept {
    if (this != &other) {
        release();
        mData = std::exchange(other.mData, nullptr);
        mCapacity = std::exchange(other.mCapacity, 0);
        mFront = std::exchange(other.mFront, 0);
        mPieces = std::exchange(other.mPieces, {});
        mRun = std::exchange(other.mRun, true);
        mSize = std::exchange(other.mSize, 0);
        mRunFirst = std::exchange(other.mRunFirst, 0);
        mOutgoing = std::move(other.mOutgoing);
        other.mOutgoing.clear();
    }
    return *this;
}

RowArray::~RowArray() { release(); }

void RowArray::AppendBit(std::vector<BitBlock>& bits, std::size_t i, bool outgoing) {
    if (i % kBitBlockRows == 0) bits.push_back(std::make_unique<std::uint64_t[]>(kBitBlockRows / 64));
    if (outgoing) bits.back()[i % kBitBlockRows / 64] |= std::uint64_t{1} << (i % 64);
}

void RowArray::AppendToRun(std::uint32_t entry) {
    if (mSize == 0) mRunFirst = entry & ~kOutgoingBit;
    AppendBit(mOutgoing, mSize, (entry & kOutgoingBit) != 0);
    ++mSize;
}

void RowArray::WriteOut() const {
    if (mSize > mCapacity) Grow(mSize);
    for (std::size_t i = 0; i < mSize; ++i) mData[i] = At(i);
    mRun = false;
    mOutgoing.clear();
    mOutgoing.shrink_to_fit();
}

void RowArray::Grow(std::size_t atLeast) const {
    // The whole mapping doubles, the room before the entries included.
    std::size_t bytes = std::max(kFirstBytes, MappingBytes());
    while (bytes / sizeof(std::uint32_t) < mFront + atLeast) bytes *= 2;
    if (mData == nullptr) {
        mPieces.assign(1, Piece{MapFresh(bytes), bytes});
    } else if (mPieces.size() == 1) {
        void* p = mremap(MappingStart(), MappingBytes(), bytes, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
        mPieces.front() = Piece{static_cast<std::byte*>(p), bytes};
    } else {
        // In pieces: they move into a new mapping of the whole size, whose
        // rest becomes the last piece.
        const std::size_t old = MappingBytes();
        std::byte* const p = MapFresh(bytes);
        if (!MovePiecesTo(p)) {
            munmap(p, bytes);
            throw std::bad_alloc();
        }
        mPieces.push_back(Piece{p + old, bytes - old});
    }
    mData = reinterpret_cast<std::uint32_t*>(mPieces.front().start) + mFront;
    mCapacity = bytes / sizeof(std::uint32_t) - mFront;
}

bool RowArray::MovePiecesTo(std::byte* to) const {
    std::vector<Piece> moved;
    moved.reserve(mPieces.size());
    for (const Piece& piece : mPieces) {
        if (mremap(piece.start, piece.bytes, piece.bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED) {
            for (std::size_t i = 0; i < moved.size(); ++i)
                mremap(moved[i].start, moved[i].bytes, moved[i].bytes, MREMAP_MAYMOVE | MREMAP_FIXED, mPieces[i].start);
            return false;
        }
        moved.push_back(Piece{to, piece.bytes});
        to += piece.bytes;
    }
    mPieces = std::move(moved);
    return true;
}

void RowArray::GrowFront(std::size_t count) {
    WrittenOut();
    if (count > mFront) {
        // At least doubling the room, in whole pages: a list that keeps
        // taking rows at its start moves its mapping a few times, not at every batch.
        const std::size_t wanted = std::max({count, 2 * mFront, mSize, kPageEntries}) - mFront;
        const std::size_t added = RoundUp(wanted, kPageEntries);
        const std::size_t room = mFront + added;
        if (mData == nullptr) Grow(1);
        const std::size_t bytes = MappingBytes();
        const std::size_t addedBytes = added * sizeof(std::uint32_t);
        std::byte* const p = MapFresh(addedBytes + bytes);
        // The old mapping's pages move behind the new room; nothing is copied.
        auto* const start = reinterpret_cast<std::uint32_t*>(p);
        if (!MovePiecesTo(p + addedBytes)) {
            munmap(p, addedBytes + bytes);
            throw std::bad_alloc();
        }
        mPieces.insert(mPieces.begin(), Piece{p, addedBytes});
        mData = start + room;
        mFront = room;
    }
    mData -= count;
    mFront -= count;
    mCapacity += count;
    mSize += count;
}

void RowArray::append(std::span<const std::uint32_t> entries) {
    std::size_t i = 0;
    while (mRun && i < entries.size() && ExtendsRun(entries[i])) AppendToRun(entries[i++]);
    if (i == entries.size()) return;
    if (mRun) WriteOut();
    const auto rest = entries.subspan(i);
    if (mSize + rest.size() > mCapacity) Grow(mSize + rest.size());
    std::memcpy(mData + mSize, rest.data(), rest.size_bytes());
    mSize += rest.size();
}

void RowArray::resize(std::size_t size) {
    WrittenOut();
    if (size > mCapacity) Grow(size);
    // Pages past the old end may hold entries from before a clear().
    if (size > mSize) std::memset(mData + mSize, 0, (size - mSize) * sizeof(std::uint32_t));
    mSize = size;
}

void RowArray::assign(std::span<const std::uint32_t> entries) {
    clear();
    append(entries);
}

void RowArray::clear() {
    mSize = 0;
    mRun = true;
    mOutgoing.clear();
}

void RowArray::release() {
    if (mData != nullptr) munmap(MappingStart(), MappingBytes());
    mData = nullptr;
    mPieces.clear();
    mCapacity = 0;
    mFront = 0;
    mOutgoing.clear();
    mOutgoing.shrink_to_fit();
    mRun = true;
    mSize = 0;
}

void RowArray::Compact() {
    if (mRun) return;
    for (std::size_t i = 0; i < mSize; ++i) {
        if ((mData[i] & ~kOutgoingBit) != (mData[0] & ~kOutgoingBit) + static_cast<std::uint32_t>(i)) return;
    }
    std::vector<BitBlock> outgoing;
    for (std::size_t i = 0; i < mSize; ++i) AppendBit(outgoing, i, (mData[i] & kOutgoingBit) != 0);
    const std::uint32_t first = mSize == 0 ? 0 : mData[0] & ~kOutgoingBit;
    const std::size_t size = mSize;
    release();
    mRunFirst = first;
    mOutgoing = std::move(outgoing);
    mSize = size;
}

bool operator==(const RowArray& a, const std::vector<std::uint32_t>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (a.At(i) != b[i]) return false;
    }
    return true;
}

}  // namespace wirelens
