#include "packets/clv.h"

#include "capture/decode.h"

namespace wirelens {

void clV::add(std::uint8_t Proto, std::uint32_t SrcAddr, std::optional<std::uint16_t> SrcPort,
              std::uint32_t DestAddr, std::optional<std::uint16_t> DestPort, std::int32_t Size,
              std::uint32_t Data, CaptureTime Hora) {
    mProto = Proto;
    mSrc = SrcAddr;
    mDest = DestAddr;
    // Ports come in pairs: a protocol either has both or neither.
    mHasPorts = SrcPort.has_value() && DestPort.has_value();
    mSrcPortValue = mHasPorts ? *SrcPort : 0;
    mDestPortValue = mHasPorts ? *DestPort : 0;
    mSizeValue = Size;
    mDataValue = Data;
    mTime = Hora;
}

std::string clV::mProtocol() const { return ProtocolText(mProto); }
std::string clV::mSrcAddr() const { return AddressToText(mSrc); }
std::string clV::mDestAddr() const { return AddressToText(mDest); }
std::string clV::mSrcPort() const { return mHasPorts ? std::to_string(mSrcPortValue) : std::string(); }
std::string clV::mDestPort() const { return mHasPorts ? std::to_string(mDestPortValue) : std::string(); }
std::string clV::mSize() const { return std::to_string(mSizeValue); }
std::string clV::mData() const { return std::to_string(mDataValue); }
std::string clV::mHora() const { return CaptureTimeText(mTime, DecimalSeparator()); }

}  // namespace wirelens
