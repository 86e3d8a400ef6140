#pragma once
// Shallow, positional decoding of one IPv4 datagram: a 20-byte IPv4 header, a
// 20-byte TCP header and an 8-byte UDP header are assumed; header length,
// total length and fragment fields are deliberately not consulted.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace wirelens {

inline constexpr std::size_t kReceiveBufferSize = 2000;  // bytes kept of each datagram

inline constexpr std::uint8_t kProtocolIcmp = 1;
inline constexpr std::uint8_t kProtocolTcp = 6;
inline constexpr std::uint8_t kProtocolUdp = 17;

inline constexpr int kIpHeaderLength = 20;
inline constexpr int kTcpDataOffset = 40;  // IPv4 header + TCP header
inline constexpr int kUdpDataOffset = 28;  // IPv4 header + UDP header

struct DecodedDatagram {
    std::uint8_t protocol = 0;
    std::uint32_t srcAddr = 0;  // network byte order
    std::uint32_t dstAddr = 0;  // network byte order
    bool hasPorts = false;      // TCP and UDP only
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    int headerLength = kIpHeaderLength;
    std::int32_t size = 0;      // bytes - headerLength; negative for a short datagram
};

// Reads only inside `bytes`; fields past the end read as zero.
DecodedDatagram DecodeDatagram(std::span<const std::uint8_t> bytes);

// Header length (= data offset) of a protocol number.
int HeaderLengthOf(std::uint8_t protocol);
// "TCP", "UDP", "ICMP", or the number in decimal.
std::string ProtocolText(std::uint8_t protocol);
// Data offset of a row's protocol text, compared in upper case: TCP 40, UDP 28, else 20.
int DataOffsetOfProtocolText(std::string_view protocolText);

// Dotted text of an address in network byte order.
std::string AddressToText(std::uint32_t networkOrder);
// Writes the dotted text into `out` (at least 16 bytes), returns its length.
std::size_t AddressToText(std::uint32_t networkOrder, char* out);

}  // namespace wirelens
