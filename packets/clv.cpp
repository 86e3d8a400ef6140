#include "packets/clv.h"

#include <algorithm>

#include "capture/decode.h"

namespace wirelens {

static_assert(sizeof(clV) == 28, "the record's size is part of the memory budget per packet");

void clV::add(std::uint8_t Proto, std::uint32_t SrcAddr, std::optional<std::uint16_t> SrcPort,
              std::uint32_t DestAddr, std::optional<std::uint16_t> DestPort, std::int32_t Size,
              std::uint32_t Data, CaptureTime Hora) {
    mSrc = SrcAddr;
    mDest = DestAddr;
    // Ports come in pairs: a protocol either has both or neither.
    const bool hasPorts = SrcPort.has_value() && DestPort.has_value();
    mNanosFlags = hasPorts ? kHasPorts << kFlagShift : 0;
    mSrcPortValue = hasPorts ? *SrcPort : 0;
    mDestPortValue = hasPorts ? *DestPort : 0;
    // Sizes beyond 24 bits cannot come from a datagram; they are held at the ends.
    const std::int32_t size = std::clamp(Size, kMinSize, kMaxSize);
    mProtoSize = (static_cast<std::uint32_t>(size) << 8) | Proto;
    mDataValue = Data;
    mSeconds = Hora.centiseconds;
}

void clV::SetTimestamp(PacketTime time) {
    mSeconds = static_cast<std::uint32_t>(std::clamp<std::int64_t>(time.seconds, 0, UINT32_MAX));
    mNanosFlags = ((Flags() | kHasTimestamp) << kFlagShift) | std::min<std::uint32_t>(time.nanoseconds, 999999999u);
}

CaptureTime clV::Time() const {
    if ((Flags() & kHasTimestamp) == 0) return CaptureTime{mSeconds};
    return CaptureTimeOf(mSeconds, Nanoseconds() / 1000u);
}

std::optional<PacketTime> clV::Timestamp() const {
    if ((Flags() & kHasTimestamp) == 0) return std::nullopt;
    return PacketTime{mSeconds, Nanoseconds()};
}

std::string clV::mProtocol() const { return ProtocolText(Protocol()); }
std::string clV::mSrcAddr() const { return AddressToText(mSrc); }
std::string clV::mDestAddr() const { return AddressToText(mDest); }
std::string clV::mSrcPort() const { return HasPorts() ? std::to_string(mSrcPortValue) : std::string(); }
std::string clV::mDestPort() const { return HasPorts() ? std::to_string(mDestPortValue) : std::string(); }
std::string clV::mSize() const { return std::to_string(Size()); }
std::string clV::mData() const { return std::to_string(mDataValue); }
std::string clV::mHora() const { return CaptureTimeText(Time(), DecimalSeparator()); }

}  // namespace wirelens
