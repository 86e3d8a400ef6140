#pragma once
// Append-only store of captured datagrams, addressed by position from 1.
// Bytes live in large chunks (no allocation per datagram); each datagram keeps
// only the bytes it has, at most kReceiveBufferSize.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace wirelens {

class RawDatagramStore {
public:
    RawDatagramStore();
    ~RawDatagramStore();
    RawDatagramStore(const RawDatagramStore&) = delete;
    RawDatagramStore& operator=(const RawDatagramStore&) = delete;

    // Keeps the first kReceiveBufferSize bytes; returns the new position (from 1).
    std::uint32_t Append(std::span<const std::uint8_t> datagram);
    // The bytes at `position`, or an empty span when there is no such position.
    std::span<const std::uint8_t> Get(std::uint32_t position) const;
    std::uint32_t Count() const { return static_cast<std::uint32_t>(mEntries.size()); }
    void Clear();
    // Bytes held, chunk slack included; for memory accounting.
    std::size_t ReservedBytes() const;

private:
    struct Entry {
        std::uint32_t chunk;
        std::uint32_t offset;
        std::uint32_t length;
    };
    std::vector<std::unique_ptr<std::uint8_t[]>> mChunks;
    std::size_t mChunkUsed = 0;
    std::vector<Entry> mEntries;
};

}  // namespace wirelens
