#pragma once
// What the capture file reader and writers share: one packet as it travels
// between a file and the rest of the program, the two formats, and the facts
// about the capture a file records besides its packets.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wirelens {

enum class CaptureFileFormat {
    Pcap,    // libpcap's format, microsecond or nanosecond timestamps
    PcapNg,  // pcapng: sections, interface blocks, enhanced packet blocks
};

// One IPv4 datagram with its capture metadata.
struct CapturePacket {
    // The datagram, IPv4 header first, at most kReceiveBufferSize bytes. From
    // the parser: a view into its buffer, valid until its next Feed or Next.
    std::span<const std::uint8_t> bytes;
    std::int64_t seconds = 0;        // capture time, UNIX time
    std::uint32_t nanoseconds = 0;   // 0..999,999,999
    std::uint32_t wireLength = 0;    // the datagram's length on the wire (>= bytes.size())
    // The source recorded time finer than a microsecond (nanosecond pcap, or a
    // pcapng interface with if_tsresol finer than 10^-6).
    bool nanosecondResolution = false;
};

// What a file says about the capture besides its packets. The parser fills it
// from the first pcapng interface block (and statistics blocks); a pcap file
// carries none of it. The writers record it.
struct CaptureFileInfo {
    std::string interfaceName;                 // pcapng if_name
    std::optional<std::uint32_t> captureAddress;  // if_IPv4addr, network byte order
    std::optional<std::uint64_t> kernelDrops;     // isb_ifdrop: packets the kernel dropped
    bool nanosecondResolution = false;         // write nanosecond timestamps
};

// pcap for a name ending in ".pcap" (any case); pcapng for ".pcapng", ".ntar"
// and everything else.
CaptureFileFormat CaptureFileFormatForPath(std::string_view path);

}  // namespace wirelens
