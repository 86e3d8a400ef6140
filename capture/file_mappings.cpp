#include "capture/file_mappings.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

namespace wirelens {

namespace {
constexpr std::size_t kRegionBytes = std::size_t{1} << 30;

// Address space that nothing else is given: unreadable, and costing no memory.
constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
}  // namespace

FileMappings::FileMappings(std::size_t partBytes)
    : mPartBytes(partBytes), mPartsPerRegion(std::max<std::size_t>(1, kRegionBytes / partBytes)) {}

FileMappings::~FileMappings() { Clear(); }

const std::uint8_t* FileMappings::Map(int fd, std::size_t part, int& error) {
    // Held throughout, so that Clear cannot give the region back between
    // finding a part's place and mapping there.
    std::lock_guard lock(mMutex);
    const std::size_t region = part / mPartsPerRegion;
    if (region >= mRegions.size()) mRegions.resize(region + 1, nullptr);
    if (mRegions[region] == nullptr) {
        void* reserved = mmap(nullptr, mPartsPerRegion * mPartBytes, PROT_NONE, kReserveFlags, -1, 0);
        if (reserved == MAP_FAILED) {
            error = errno;
            return nullptr;
        }
        mRegions[region] = static_cast<std::uint8_t*>(reserved);
    }
    std::uint8_t* const at = mRegions[region] + (part % mPartsPerRegion) * mPartBytes;
    const off_t offset = static_cast<off_t>(part * mPartBytes);
    if (mmap(at, mPartBytes, PROT_READ, MAP_SHARED | MAP_FIXED, fd, offset) == MAP_FAILED) {
        error = errno;
        // The place may have lost its reservation: take it back, so that no
        // other mapping can land inside the region.
        mmap(at, mPartBytes, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0);
        return nullptr;
    }
    // A fault on a file mapping reads the disk's whole read-ahead window
    // around the page (8 MiB on some disks): a click on a packet no longer in
    // the page cache read megabytes. Reads in order ask for their read-ahead
    // themselves. The advice is also what lets the kernel join this part to
    // the one before: theirs must match.
    madvise(at, mPartBytes, MADV_RANDOM);
    return at;
}

void FileMappings::Unmap(const void* at) {
    const auto* const address = static_cast<const std::uint8_t*>(at);
    std::lock_guard lock(mMutex);
    for (std::uint8_t* region : mRegions) {
        if (region == nullptr || address < region || address >= region + mPartsPerRegion * mPartBytes) continue;
        std::uint8_t* const part = region + static_cast<std::size_t>(address - region) / mPartBytes * mPartBytes;
        // Reserved again rather than unmapped: a hole could be given to another mapping.
        mmap(part, mPartBytes, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0);
        return;
    }
}

void FileMappings::Clear() {
    std::lock_guard lock(mMutex);
    for (std::uint8_t* region : mRegions)
        if (region != nullptr) munmap(region, mPartsPerRegion * mPartBytes);
    mRegions.clear();
}

}  // namespace wirelens
