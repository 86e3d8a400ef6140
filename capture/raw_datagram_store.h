#pragma once
// Append-only store of captured datagrams, addressed by position from 1.
// Bytes live in large chunks (no allocation per datagram); each datagram keeps
// only the bytes it has, at most kReceiveBufferSize. The index grows in fixed
// chunks too, so an append never copies what is stored.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "capture/huge_chunk.h"

namespace wirelens {

class RawDatagramStore {
public:
    RawDatagramStore();
    ~RawDatagramStore();
    RawDatagramStore(const RawDatagramStore&) = delete;
    RawDatagramStore& operator=(const RawDatagramStore&) = delete;

    // Keeps the first kReceiveBufferSize bytes; returns the new position (from 1).
    // `wireLength` is the datagram's length before any truncation; 0 means the
    // bytes given are the whole datagram.
    std::uint32_t Append(std::span<const std::uint8_t> datagram, std::uint32_t wireLength = 0);
    // The bytes at `position`, or an empty span when there is no such position.
    std::span<const std::uint8_t> Get(std::uint32_t position) const;
    // The length the datagram at `position` had on the wire; 0 for no such position.
    std::uint32_t WireLength(std::uint32_t position) const;
    // Asks the processor to load the start of the bytes at `position` ahead of a
    // pass that will read them; a pass over a large store waits on memory otherwise.
    void Prefetch(std::uint32_t position) const;
    std::uint32_t Count() const { return mCount; }
    void Clear();
    // Bytes held, chunk slack included; for memory accounting.
    std::size_t ReservedBytes() const;

private:
    // An entry packs chunk index, offset in the chunk and kept length into 64 bits.
    std::uint64_t EntryAt(std::uint32_t position) const;

    std::vector<HugeChunk<std::uint8_t>> mChunks;
    std::size_t mChunkUsed = 0;
    std::vector<std::unique_ptr<std::uint64_t[]>> mEntryChunks;
    std::uint32_t mCount = 0;
    // (position, wire length) of the few datagrams that were cut, in position order;
    // every other datagram's wire length is its kept length.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> mCutLengths;
};

}  // namespace wirelens
