#include "packets/row_array.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace wirelens {

namespace {
// The first mapping holds a few thousand rows; every growth doubles it.
constexpr std::size_t kFirstBytes = std::size_t{64} << 10;
}  // namespace

RowArray::RowArray(RowArray&& other) noexcept
    : mData(std::exchange(other.mData, nullptr)),
      mSize(std::exchange(other.mSize, 0)),
      mCapacity(std::exchange(other.mCapacity, 0)) {}

RowArray& RowArray::operator=(RowArray&& other) noexcept {
    if (this != &other) {
        release();
        mData = std::exchange(other.mData, nullptr);
        mSize = std::exchange(other.mSize, 0);
        mCapacity = std::exchange(other.mCapacity, 0);
    }
    return *this;
}

RowArray::~RowArray() { release(); }

void RowArray::Grow(std::size_t atLeast) {
    std::size_t bytes = std::max(kFirstBytes, mCapacity * sizeof(std::uint32_t));
    while (bytes / sizeof(std::uint32_t) < atLeast) bytes *= 2;
    void* p;
    if (mData == nullptr) {
        p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else {
        p = mremap(mData, mCapacity * sizeof(std::uint32_t), bytes, MREMAP_MAYMOVE);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
    mData = static_cast<std::uint32_t*>(p);
    mCapacity = bytes / sizeof(std::uint32_t);
}

void RowArray::append(std::span<const std::uint32_t> entries) {
    if (entries.empty()) return;
    if (mSize + entries.size() > mCapacity) Grow(mSize + entries.size());
    std::memcpy(mData + mSize, entries.data(), entries.size_bytes());
    mSize += entries.size();
}

void RowArray::resize(std::size_t size) {
    if (size > mCapacity) Grow(size);
    // Pages past the old end may hold entries from before a clear().
    if (size > mSize) std::memset(mData + mSize, 0, (size - mSize) * sizeof(std::uint32_t));
    mSize = size;
}

void RowArray::assign(std::span<const std::uint32_t> entries) {
    mSize = 0;
    append(entries);
}

void RowArray::release() {
    if (mData != nullptr) munmap(mData, mCapacity * sizeof(std::uint32_t));
    mData = nullptr;
    mSize = 0;
    mCapacity = 0;
}

bool operator==(const RowArray& a, const std::vector<std::uint32_t>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace wirelens
