#pragma once
// The packet record. It keeps the decoded fields in compact form (32 bytes) and
// produces the eight member texts on demand; every text it can hold is one the
// decoder produces, so nothing is lost by not storing the texts themselves.
#include <cstdint>
#include <optional>
#include <string>

#include "packets/capture_time.h"

namespace wirelens {

class clV {
public:
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

    std::uint8_t Protocol() const { return mProto; }
    std::uint32_t SrcAddress() const { return mSrc; }
    std::uint32_t DestAddress() const { return mDest; }
    bool HasPorts() const { return (mFlags & kHasPorts) != 0; }
    std::uint16_t SrcPort() const { return mSrcPortValue; }
    std::uint16_t DestPort() const { return mDestPortValue; }
    std::int32_t Size() const { return mSizeValue; }
    std::uint32_t DataPosition() const { return mDataValue; }
    CaptureTime Time() const;
    // The full timestamp; a record filled with a time of day alone has none (nullopt).
    std::optional<PacketTime> Timestamp() const;

private:
    static constexpr std::uint8_t kHasPorts = 1;
    static constexpr std::uint8_t kHasTimestamp = 2;
    std::uint32_t mSrc = 0;   // network byte order
    std::uint32_t mDest = 0;  // network byte order
    std::int32_t mSizeValue = 0;
    std::uint32_t mDataValue = 0;
    // UNIX seconds with kHasTimestamp; otherwise the time of day in hundredths.
    std::uint32_t mSeconds = 0;
    std::uint32_t mNanoseconds = 0;
    std::uint16_t mSrcPortValue = 0;
    std::uint16_t mDestPortValue = 0;
    std::uint8_t mProto = 0;
    std::uint8_t mFlags = 0;
};

}  // namespace wirelens
