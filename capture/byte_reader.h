#pragma once
// Bounds-checked reads of datagram fields. A read past the end yields zero,
// so a short datagram decodes with zeros and never touches foreign memory.
#include <cstddef>
#include <cstdint>
#include <span>

namespace wirelens {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : mBytes(bytes) {}

    std::size_t Size() const { return mBytes.size(); }

    std::uint8_t U8(std::size_t offset) const {
        return offset < mBytes.size() ? mBytes[offset] : 0;
    }
    // Big-endian (network order) 16-bit value.
    std::uint16_t U16Be(std::size_t offset) const {
        return static_cast<std::uint16_t>((U8(offset) << 8) | U8(offset + 1));
    }
    std::uint16_t U16Le(std::size_t offset) const {
        return static_cast<std::uint16_t>(U8(offset) | (U8(offset + 1) << 8));
    }
    std::uint32_t U32Be(std::size_t offset) const {
        return (std::uint32_t{U16Be(offset)} << 16) | U16Be(offset + 2);
    }
    std::uint32_t U32Le(std::size_t offset) const {
        return (std::uint32_t{U16Le(offset + 2)} << 16) | U16Le(offset);
    }
    // Four bytes as they lie in memory, i.e. a 32-bit value kept in network order.
    std::uint32_t U32Raw(std::size_t offset) const {
        std::uint32_t v = 0;
        auto* out = reinterpret_cast<std::uint8_t*>(&v);
        for (std::size_t i = 0; i < 4; ++i) out[i] = U8(offset + i);
        return v;
    }
    // Host-order 16-bit value (used for link headers written in the capturing host's order).
    std::uint16_t U16Host(std::size_t offset) const {
        std::uint16_t v = 0;
        auto* out = reinterpret_cast<std::uint8_t*>(&v);
        out[0] = U8(offset);
        out[1] = U8(offset + 1);
        return v;
    }

private:
    std::span<const std::uint8_t> mBytes;
};

}  // namespace wirelens
