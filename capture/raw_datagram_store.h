#pragma once
// Append-only store of captured datagrams, addressed by position from 1.
// Bytes live in large chunks (no allocation per datagram); each datagram keeps
// only the bytes it has, at most kReceiveBufferSize. The index grows in fixed
// chunks too, so an append never copies what is stored; it costs 4 bytes a
// datagram, its start in its chunk, the end following from the next start.
#include <cstddef>
#include <cstdint>
#include <deque>
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
    // A datagram's place: which chunk, where in it, and where it ends.
    struct Place {
        std::size_t chunk = 0;
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    struct EntryChunk;
    Place PlaceOf(std::uint32_t position) const;
    std::size_t ChunkOf(std::uint32_t index) const;

    std::vector<HugeChunk<std::uint8_t>> mChunks;
    HugeChunk<std::uint8_t> mNextChunk;  // made ready while the last chunk fills
    std::vector<std::uint32_t> mChunkEnds;  // bytes used in each chunk but the last
    std::size_t mChunkUsed = 0;
    std::vector<std::unique_ptr<EntryChunk>> mEntryChunks;
    std::uint32_t mCount = 0;
    // (position, wire length) of the few datagrams that were cut, in position order;
    // every other datagram's wire length is its kept length. A deque grows
    // without copying what it holds, however many are cut.
    std::deque<std::pair<std::uint32_t, std::uint32_t>> mCutLengths;
};

}  // namespace wirelens
