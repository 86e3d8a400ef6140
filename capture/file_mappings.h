#pragma once
// Read-only mappings of a file's parts, laid side by side in address space
// reserved ahead, a gigabyte at a time. The kernel then keeps a run of
// consecutive parts as one mapping of the file.
//
// Mapped each where mmap chose, parts land one below the other, and a 10 GB
// capture's 4 MiB chunks made some 2,500 mappings. Every mapping costs the
// process on each walk of its map, and the kernel's huge-page scanner
// (khugepaged) walks them all while holding the map's lock, yielding the CPU
// at each one: at its low priority, on two busy cores, such a walk held the
// lock for a quarter of a second, and every mmap of the window waited.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace wirelens {

// Map, Unmap and Clear may be called from any thread.
class FileMappings {
public:
    // Parts are `partBytes` long (a multiple of the page size), part p
    // starting at p * partBytes in the file.
    explicit FileMappings(std::size_t partBytes);
    ~FileMappings();
    FileMappings(const FileMappings&) = delete;
    FileMappings& operator=(const FileMappings&) = delete;

    // Maps part `part` of `fd` read-only, advised for reads in no order (a
    // fault then reads its own page, not the disk's read-ahead window around
    // it); nullptr with `error` set when it cannot. A part's end may lie past
    // the file's end; only bytes written may be read.
    const std::uint8_t* Map(int fd, std::size_t part, int& error);
    // Ends the mapping of the part at `at`, as Map gave it; nothing when its
    // address space has gone back since (Clear). Its file is no longer held.
    void Unmap(const void* at);
    // Ends every mapping and gives the address space back.
    void Clear();
    std::size_t PartBytes() const { return mPartBytes; }

private:
    const std::size_t mPartBytes;
    const std::size_t mPartsPerRegion;
    std::mutex mMutex;
    // Region r holds parts [r * mPartsPerRegion, (r + 1) * mPartsPerRegion);
    // nullptr until one of them is mapped.
    std::vector<std::uint8_t*> mRegions;
};

}  // namespace wirelens
