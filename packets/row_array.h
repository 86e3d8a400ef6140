#pragma once
// The packet list's row entries in one mapping of their own. Growing moves the
// mapping's pages (mremap) instead of copying the entries, so an append costs
// the same at ten million rows as at ten: a std::vector would copy every entry
// each time it doubles, and at millions of rows that copy stalls the window.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace wirelens {

class RowArray {
public:
    using value_type = std::uint32_t;
    using iterator = std::uint32_t*;
    using const_iterator = const std::uint32_t*;

    RowArray() = default;
    RowArray(const RowArray&) = delete;
    RowArray& operator=(const RowArray&) = delete;
    RowArray(RowArray&& other) noexcept;
    RowArray& operator=(RowArray&& other) noexcept;
    ~RowArray();

    std::size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    std::size_t capacity() const { return mCapacity; }
    std::uint32_t* data() { return mData; }
    const std::uint32_t* data() const { return mData; }
    iterator begin() { return mData; }
    iterator end() { return mData + mSize; }
    const_iterator begin() const { return mData; }
    const_iterator end() const { return mData + mSize; }
    std::uint32_t& operator[](std::size_t i) { return mData[i]; }
    std::uint32_t operator[](std::size_t i) const { return mData[i]; }
    operator std::span<const std::uint32_t>() const { return {mData, mSize}; }

    void push_back(std::uint32_t entry) {
        if (mSize == mCapacity) Grow(mSize + 1);
        mData[mSize++] = entry;
    }
    void append(std::span<const std::uint32_t> entries);
    // New entries are zero.
    void resize(std::size_t size);
    void assign(std::span<const std::uint32_t> entries);
    // Keeps the pages for the next fill.
    void clear() { mSize = 0; }
    // Returns the pages to the system.
    void release();

    friend bool operator==(const RowArray& a, const std::vector<std::uint32_t>& b);

private:
    void Grow(std::size_t atLeast);

    std::uint32_t* mData = nullptr;
    std::size_t mSize = 0;
    std::size_t mCapacity = 0;
};

}  // namespace wirelens
