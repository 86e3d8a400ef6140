#include "packets/clv.h"

#include <algorithm>

#include "capture/decode.h"

namespace wirelens {

static_assert(sizeof(clV) == 32, "the record's size is part of the memory budget per packet");

void clV::add(std::uint8_t Proto, std::uint32_t SrcAddr, std::optional<std::uint16_t> SrcPort,
              std::uint32_t DestAddr, std::optional<std::uint16_t> DestPort, std::int32_t Size,
              std::uint32_t Data, CaptureTime Hora) {
    mProto = Proto;
    mSrc = SrcAddr;
    mDest = DestAddr;
    // Ports come in pairs: a protocol either has both or neither.
    const bool hasPorts = SrcPort.has_value() && DestPort.has_value();
    mFlags = hasPorts ? kHasPorts : 0;
    mSrcPortValue = hasPorts ? *SrcPort : 0;
    mDestPortValue = hasPorts ? *DestPort : 0;
    mSizeValue = Size;
    mDataValue = Data;
    mSeconds = Hora.centiseconds;
    mNanoseconds = 0;
}

void clV::SetTimestamp(PacketTime time) {
    mSeconds = static_cast<std::uint32_t>(std::clamp<std::int64_t>(time.seconds, 0, UINT32_MAX));
    mNanoseconds = std::min<std::uint32_t>(time.nanoseconds, 999999999u);
    mFlags |= kHasTimestamp;
}

CaptureTime clV::Time() const {
    if ((mFlags & kHasTimestamp) == 0) return CaptureTime{mSeconds};
    return CaptureTimeOf(mSeconds, mNanoseconds / 1000u);
}

std::optional<PacketTime> clV::Timestamp() const {
    if ((mFlags & kHasTimestamp) == 0) return std::nullopt;
    return PacketTime{mSeconds, mNanoseconds};
}

std::string clV::mProtocol() const { return ProtocolText(mProto); }
std::string clV::mSrcAddr() const { return AddressToText(mSrc); }
std::string clV::mDestAddr() const { return AddressToText(mDest); }
std::string clV::mSrcPort() const { return HasPorts() ? std::to_string(mSrcPortValue) : std::string(); }
std::string clV::mDestPort() const { return HasPorts() ? std::to_string(mDestPortValue) : std::string(); }
std::string clV::mSize() const { return std::to_string(mSizeValue); }
std::string clV::mData() const { return std::to_string(mDataValue); }
std::string clV::mHora() const { return CaptureTimeText(Time(), DecimalSeparator()); }

}  // namespace wirelens
