#pragma once
// The packet list's row entries (store key | outgoing bit).
//
// While the rows are keys first, first + 1, ... in order (the whole capture
// in capture order, the usual case), they are held as that run and one
// outgoing bit a row: an eighth of a byte a row instead of four. Anything that
// needs them as an array (sorting, merging, a row out of sequence) writes the
// run out first.
//
// Written out, the entries live in one mapping of their own. Growing moves
// the mapping's pages (mremap) instead of copying the entries, so an append
// costs the same at ten million rows as at ten: a std::vector would copy
// every entry each time it doubles, and at millions of rows that copy stalls
// the window. The mapping can have room before the first entry too, made the
// same way, so that a sorted list whose new rows come first (newest first)
// takes them without moving every row it holds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace wirelens {

class RowArray {
public:
    using value_type = std::uint32_t;
    using iterator = std::uint32_t*;
    using const_iterator = const std::uint32_t*;
    static constexpr std::uint32_t kOutgoingBit = 0x80000000u;

    RowArray() = default;
    RowArray(const RowArray&) = delete;
    RowArray& operator=(const RowArray&) = delete;
    RowArray(RowArray&& other) noexcept;
    RowArray& operator=(RowArray&& other) noexcept;
    ~RowArray();

    std::size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    // Whether the rows are held as a run (no array written out).
    bool IsRun() const { return mRun; }
    // Entry `i`, without writing a run out.
    std::uint32_t At(std::size_t i) const {
        if (!mRun) return mData[i];
        const bool outgoing = ((mOutgoing[i / kBitBlockRows][i % kBitBlockRows / 64] >> (i % 64)) & 1u) != 0;
        return (mRunFirst + static_cast<std::uint32_t>(i)) | (outgoing ? kOutgoingBit : 0u);
    }
    std::uint32_t operator[](std::size_t i) const { return At(i); }

    // Array access: writes a run out first.
    std::uint32_t& operator[](std::size_t i) { return WrittenOut()[i]; }
    std::uint32_t* data() { return WrittenOut(); }
    const std::uint32_t* data() const { return WrittenOut(); }
    iterator begin() { return WrittenOut(); }
    iterator end() { return WrittenOut() + mSize; }
    const_iterator begin() const { return WrittenOut(); }
    const_iterator end() const { return WrittenOut() + mSize; }

    void push_back(std::uint32_t entry) {
        if (mRun && ExtendsRun(entry)) return AppendToRun(entry);
        if (mRun) WriteOut();
        if (mSize == mCapacity) Grow(mSize + 1);
        mData[mSize++] = entry;
    }
    void append(std::span<const std::uint32_t> entries);
    // New entries are zero.
    void resize(std::size_t size);
    // Adds `count` entries before the first, their values unset: entry i
    // becomes entry i + count. Costs the new entries, not the old ones.
    void GrowFront(std::size_t count);
    void assign(std::span<const std::uint32_t> entries);
    // Empties the rows; an array's pages are kept for the next fill.
    void clear();
    // Empties the rows and returns every page to the system.
    void release();
    // Holds the rows as a run again when they form one.
    void Compact();

    friend bool operator==(const RowArray& a, const std::vector<std::uint32_t>& b);

private:
    bool ExtendsRun(std::uint32_t entry) const {
        return mSize == 0 || (entry & ~kOutgoingBit) == mRunFirst + static_cast<std::uint32_t>(mSize);
    }
    void AppendToRun(std::uint32_t entry);
    std::uint32_t* WrittenOut() const {
        if (mRun) WriteOut();
        return mData;
    }
    void WriteOut() const;
    void Grow(std::size_t atLeast) const;
    // Moves the mapping's pieces, in order, to consecutive addresses from
    // `to`, over what is mapped there. False, with every piece back where
    // it was, when the kernel refuses one.
    bool MovePiecesTo(std::byte* to) const;
    std::uint32_t* MappingStart() const { return mData - mFront; }
    std::size_t MappingBytes() const { return (mFront + mCapacity) * sizeof(std::uint32_t); }

    // The array form; written out from a const accessor, hence mutable.
    mutable std::uint32_t* mData = nullptr;
    mutable std::size_t mCapacity = 0;  // entries from mData to the mapping's end
    mutable std::size_t mFront = 0;     // entries of room before mData
    // The mapping's pieces, first to last. Room made at the front lies beside
    // pages moved in from elsewhere, and the kernel keeps the two apart as
    // mappings of their own; mremap resizes within one mapping only, and
    // older kernels move only one at a time, so each piece is moved by itself.
    struct Piece {
        std::byte* start;
        std::size_t bytes;
    };
    mutable std::vector<Piece> mPieces;
    mutable bool mRun = true;
    std::size_t mSize = 0;
    // The run form. The outgoing bits sit in fixed blocks, so a run grows
    // without copying them: a vector of them, copied each time it doubled,
    // stalled the window for milliseconds at millions of rows.
    static constexpr std::size_t kBitBlockRows = std::size_t{1} << 16;
    using BitBlock = std::unique_ptr<std::uint64_t[]>;
    // Row `i`'s bit, rows coming in order: row `i` starts a new block when
    // it is the first of one.
    static void AppendBit(std::vector<BitBlock>& bits, std::size_t i, bool outgoing);
    std::uint32_t mRunFirst = 0;
    mutable std::vector<BitBlock> mOutgoing;
};

}  // namespace wirelens
