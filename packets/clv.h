#pragma once
// The packet record. It keeps the decoded fields in compact form (28 bytes) and
// produces the eight member texts on demand; every text it can hold is one the
// decoder produces, so nothing is lost by not storing the texts themselves.
#include <cstdint>
#include <optional>
#include <string>

#include "packets/capture_time.h"

namespace wirelens {

class clV {
public:
    // The sizes a record holds; add() holds others at these ends.
    static constexpr std::int32_t kMaxSize = (1 << 23) - 1;
    static constexpr std::int32_t kMinSize = -(1 << 23);

    // Parameter order as callers pass it: both ports interleaved with the
    // addresses (SrcPort third, DestAddr fourth), Size before Data. `Hora` is
    // the time of day alone; SetTimestamp gives the full capture timestamp.
    void add(std::uint8_t Proto, std::uint32_t SrcAddr, std::optional<std::uint16_t> SrcPort,
             std::uint32_t DestAddr, std::optional<std::uint16_t> DestPort, std::int32_t Size,
             std::uint32_t Data, CaptureTime Hora);
    // The kernel's or the capture file's timestamp; mHora follows from it.
    // Seconds outside 0 .. UINT32_MAX are clamped.
    void SetTimestamp(PacketTime time);

    std::string mProtocol() const;
    std::string mSrcAddr() const;
    std::string mDestAddr() const;
    std::string mSrcPort() const;   // empty for protocols without ports
    std::string mDestPort() const;
    std::string mSize() const;
    std::string mData() const;
    std::string mHora() const;

    std::uint8_t Protocol() const { return static_cast<std::uint8_t>(mProtoSize & 0xff); }
    std::uint32_t SrcAddress() const { return mSrc; }
    std::uint32_t DestAddress() const { return mDest; }
    bool HasPorts() const { return (Flags() & kHasPorts) != 0; }
    std::uint16_t SrcPort() const { return mSrcPortValue; }
    std::uint16_t DestPort() const { return mDestPortValue; }
    std::int32_t Size() const { return static_cast<std::int32_t>(mProtoSize) >> 8; }
    std::uint32_t DataPosition() const { return mDataValue; }
    CaptureTime Time() const;
    // The full timestamp; a record filled with a time of day alone has none (nullopt).
    std::optional<PacketTime> Timestamp() const;

private:
    static constexpr std::uint32_t kHasPorts = 1;
    static constexpr std::uint32_t kHasTimestamp = 2;
    static constexpr unsigned kFlagShift = 30;
    static constexpr std::uint32_t kNanosMask = (std::uint32_t{1} << kFlagShift) - 1;
    std::uint32_t mSrc = 0;   // network byte order
    std::uint32_t mDest = 0;  // network byte order
    // The size (signed, 24 bits) over the protocol number: a size comes from
    // 16-bit length fields, so 24 bits hold every value a datagram can give.
    std::uint32_t mProtoSize = 0;
    std::uint32_t mDataValue = 0;
    // UNIX seconds with kHasTimestamp; otherwise the time of day in hundredths.
    std::uint32_t mSeconds = 0;
    // Nanoseconds (30 bits) under the two flags.
    std::uint32_t mNanosFlags = 0;
    std::uint16_t mSrcPortValue = 0;
    std::uint16_t mDestPortValue = 0;

    std::uint32_t Nanoseconds() const { return mNanosFlags & kNanosMask; }
    std::uint32_t Flags() const { return mNanosFlags >> kFlagShift; }
};

}  // namespace wirelens
