#pragma once
// Every captured packet, keyed 1..Count() without gaps. Records sit in fixed
// chunks, so growth never copies what is stored and never stalls a capture.
// The chunks lie one after another in address space reserved for them all
// (see ReservedMemory): a capture's records grow without a call that waits
// for the process's memory map.
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/huge_chunk.h"
#include "packets/clv.h"

namespace wirelens {

class PacketStore {
public:
    static constexpr std::int32_t kMaxKey = INT32_MAX;

    std::int32_t Count() const { return mCount; }
    // The record under `key`, or nullptr outside 1..Count(). Here, not in the
    // source file: passes over every record call it once a record.
    const clV* Get(std::int32_t key) const {
        if (key < 1 || key > mCount) return nullptr;
        const std::int32_t i = key - 1;
        return &mChunks[static_cast<std::size_t>(i / kChunkRecords)][i % kChunkRecords];
    }
    // Files `record` under `key`: replaces an existing key, or appends when key is
    // Count() + 1. Any other key would leave a gap and is refused (false).
    bool Put(std::int32_t key, const clV& record);
    void Clear();
    std::size_t ReservedBytes() const;
    // Makes the first chunk ready, its first 2 MiB faulted in on another
    // thread, so that the first packets do not fault them in themselves.
    void PrepareFirstChunk();

    // Records per chunk: a whole number of 2 MiB of 28-byte records.
    static constexpr std::int32_t kChunkRecords = 1 << 19;

private:
    static constexpr std::size_t kChunkBytes = static_cast<std::size_t>(kChunkRecords) * sizeof(clV);
    // The next chunk's place: in the reserved records, or memory of its own
    // when no address space could be reserved.
    clV* NewChunk();

    // Address space for every key's record, reserved by the first chunk.
    ReservedMemory mReserved;
    std::size_t mReservedUsed = 0;  // chunks of it handed out
    std::vector<HugeChunk<clV>> mOwnChunks;
    std::vector<clV*> mChunks;
    clV* mNextChunk = nullptr;  // made ready while the last chunk fills
    std::int32_t mCount = 0;
};

}  // namespace wirelens
