#include "capture/link_layer.h"

#include <algorithm>

#include "capture/byte_reader.h"
#include "capture/decode.h"

namespace wirelens {

namespace {
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;  // 802.1Q customer tag
constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;  // 802.1ad service tag
constexpr std::size_t kEthernetTypeOffset = 12;
constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::size_t kVlanTagLength = 4;
constexpr int kMaxVlanTags = 2;

constexpr std::size_t kSllProtocolOffset = 14;
constexpr std::size_t kSllHeaderLength = 16;
constexpr std::size_t kSll2ProtocolOffset = 0;
constexpr std::size_t kSll2HeaderLength = 20;

constexpr std::size_t kLoopbackHeaderLength = 4;
constexpr std::uint32_t kFamilyInet = 2;  // AF_INET on every BSD and on Linux

constexpr std::uint8_t kIpVersion4 = 4;
constexpr std::size_t kIpTotalLengthOffset = 2;
constexpr std::size_t kMinIpv4HeaderLength = 20;

std::optional<std::size_t> EthernetPayloadOffset(const ByteReader& frame) {
    std::size_t typeOffset = kEthernetTypeOffset;
    for (int tags = 0; tags <= kMaxVlanTags; ++tags) {
        const std::uint16_t etherType = frame.U16Be(typeOffset);
        if (etherType == kEtherTypeIpv4) return typeOffset + 2;
        if (etherType != kEtherTypeVlan && etherType != kEtherTypeQinQ) return std::nullopt;
        typeOffset += kVlanTagLength;
    }
    return std::nullopt;
}

// Where the IPv4 header starts, or nothing when the link header says it is not IPv4.
std::optional<std::size_t> Ipv4Offset(LinkType type, const ByteReader& frame) {
    switch (type) {
        case LinkType::Ethernet:
            if (frame.Size() < kEthernetHeaderLength) return std::nullopt;
            return EthernetPayloadOffset(frame);
        case LinkType::LinuxSll:
            if (frame.U16Be(kSllProtocolOffset) != kEtherTypeIpv4) return std::nullopt;
            return kSllHeaderLength;
        case LinkType::LinuxSll2:
            if (frame.U16Be(kSll2ProtocolOffset) != kEtherTypeIpv4) return std::nullopt;
            return kSll2HeaderLength;
        case LinkType::Null:
        case LinkType::Loop: {
            // DLT_NULL is in the capturing host's order and DLT_LOOP in network
            // order; files travel between hosts, so both orders are accepted for both.
            if (frame.Size() < kLoopbackHeaderLength) return std::nullopt;
            const std::uint32_t bigEndian =
                (std::uint32_t{frame.U16Be(0)} << 16) | frame.U16Be(2);
            const std::uint32_t littleEndian = (std::uint32_t{frame.U8(3)} << 24) |
                                               (std::uint32_t{frame.U8(2)} << 16) |
                                               (std::uint32_t{frame.U8(1)} << 8) | frame.U8(0);
            if (bigEndian != kFamilyInet && littleEndian != kFamilyInet) return std::nullopt;
            return kLoopbackHeaderLength;
        }
        case LinkType::Raw:
        case LinkType::Ipv4:
            return 0;
    }
    return std::nullopt;
}
}  // namespace

std::optional<LinkType> LinkTypeFromDlt(int dlt) {
    switch (static_cast<LinkType>(dlt)) {
        case LinkType::Null:
        case LinkType::Ethernet:
        case LinkType::Raw:
        case LinkType::Loop:
        case LinkType::LinuxSll:
        case LinkType::Ipv4:
        case LinkType::LinuxSll2:
            return static_cast<LinkType>(dlt);
    }
    return std::nullopt;
}

std::optional<LinkType> LinkTypeFromFileLinktype(std::uint32_t linktype) {
    constexpr std::uint32_t kLinktypeRaw = 101;
    constexpr std::uint32_t kOpenBsdDltRaw = 14;
    const std::uint32_t value = linktype & 0xFFFF;
    if (value == kLinktypeRaw || value == kOpenBsdDltRaw) return LinkType::Raw;
    return LinkTypeFromDlt(static_cast<int>(value));
}

std::optional<LinkDatagram> StripLinkLayer(LinkType type, std::span<const std::uint8_t> frame,
                                           std::size_t frameWireLength) {
    const ByteReader frameReader(frame);
    const std::optional<std::size_t> offset = Ipv4Offset(type, frameReader);
    if (!offset || *offset >= frame.size()) return std::nullopt;

    std::span<const std::uint8_t> ip = frame.subspan(*offset);
    const ByteReader ipReader(ip);
    if ((ipReader.U8(0) >> 4) != kIpVersion4) return std::nullopt;

    const std::size_t wireAvailable = std::max(frameWireLength, frame.size()) - *offset;
    std::size_t wireLength = wireAvailable;
    // The total length is trusted only when it is plausible: at least a header,
    // and not more than the wire carried (padding makes the frame longer, never shorter).
    if (ip.size() > kIpTotalLengthOffset + 1) {
        const std::size_t totalLength = ipReader.U16Be(kIpTotalLengthOffset);
        if (totalLength >= kMinIpv4HeaderLength && totalLength <= wireAvailable) {
            wireLength = totalLength;
            if (totalLength < ip.size()) ip = ip.first(totalLength);
        }
    }
    if (ip.size() > kReceiveBufferSize) ip = ip.first(kReceiveBufferSize);
    return LinkDatagram{ip, static_cast<std::uint32_t>(wireLength)};
}

}  // namespace wirelens
