#pragma once
// Removal of the link-layer header of a captured frame, so that every datagram
// handed on starts at its IPv4 header. Pure functions over the captured bytes;
// nothing here depends on libpcap.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace wirelens {

// The link types a capture on Linux can deliver IPv4 on. The values are
// libpcap's DLT_ numbers on Linux, so a pcap_datalink() result converts as is.
enum class LinkType : int {
    Null = 0,         // DLT_NULL: 4-byte address family in the capturing host's order
    Ethernet = 1,     // DLT_EN10MB, with up to two 802.1Q / 802.1ad tags
    Raw = 12,         // DLT_RAW (its Linux value): the frame is the IP datagram
    Loop = 108,       // DLT_LOOP: 4-byte address family in network order
    LinuxSll = 113,   // DLT_LINUX_SLL: 16-byte Linux cooked header
    Ipv4 = 228,       // DLT_IPV4: the frame is the IPv4 datagram
    LinuxSll2 = 276,  // DLT_LINUX_SLL2: 20-byte Linux cooked header v2
};

// The link type for a DLT_ number, or nothing for a type this code cannot strip.
std::optional<LinkType> LinkTypeFromDlt(int dlt);

// The link type for a LINKTYPE_ number as capture files record it (pcap's
// header, pcapng's interface block). These equal the DLT_ numbers except for
// raw IP, which files record as 101 and, from older writers, as the DLT_RAW
// values 12 (Linux) or 14 (OpenBSD). Bits above the low 16 (pcap's FCS flags)
// are ignored.
std::optional<LinkType> LinkTypeFromFileLinktype(std::uint32_t linktype);

// Longest link header in front of an IPv4 datagram: Ethernet with two VLAN tags.
inline constexpr std::size_t kMaxLinkHeaderLength = 14 + 2 * 4;

struct LinkDatagram {
    // The IPv4 datagram inside the frame: Ethernet padding trimmed off, at most
    // kReceiveBufferSize bytes.
    std::span<const std::uint8_t> bytes;
    // Length of the whole datagram as it was on the wire, before the snap
    // length and the kReceiveBufferSize cut.
    std::uint32_t wireLength = 0;
};

// The IPv4 datagram carried by `frame`, or nothing when the frame does not carry
// IPv4 (other protocols, other address families, a version nibble other than 4,
// or a frame that ends before its IPv4 header starts). `frameWireLength` is the
// frame's length on the wire (pcap's len); the captured bytes may be fewer.
// Never reads outside `frame`.
std::optional<LinkDatagram> StripLinkLayer(LinkType type, std::span<const std::uint8_t> frame,
                                           std::size_t frameWireLength);

// The same for a frame captured whole.
inline std::optional<LinkDatagram> StripLinkLayer(LinkType type,
                                                  std::span<const std::uint8_t> frame) {
    return StripLinkLayer(type, frame, frame.size());
}

}  // namespace wirelens
