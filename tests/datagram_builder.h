#pragma once
// Builds IPv4 datagrams for tests: a real header, then a transport header of
// the protocol's usual size, then payload bytes.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace wirelens::testing {

struct DatagramFields {
    std::uint8_t protocol = 17;
    std::string src = "198.51.100.2";
    std::string dst = "198.51.100.1";
    std::uint16_t srcPort = 40000;
    std::uint16_t dstPort = 53;
    std::size_t ipOptionBytes = 0;         // multiple of 4
    std::size_t transportHeaderBytes = 0;  // 0: 20 for TCP, 8 for UDP and ICMP, 0 otherwise
    std::vector<std::uint8_t> payload;
};

inline std::uint32_t Addr(const std::string& dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return a.s_addr;
}

inline std::vector<std::uint8_t> BuildDatagram(const DatagramFields& s) {
    std::size_t transport = s.transportHeaderBytes;
    if (transport == 0) {
        transport = s.protocol == 6 ? 20 : (s.protocol == 17 || s.protocol == 1) ? 8 : 0;
    }
    const std::size_t ihl = 20 + s.ipOptionBytes;
    const std::size_t total = ihl + transport + s.payload.size();
    std::vector<std::uint8_t> d(total, 0);
    d[0] = static_cast<std::uint8_t>(0x40 | (ihl / 4));
    d[2] = static_cast<std::uint8_t>(total >> 8);
    d[3] = static_cast<std::uint8_t>(total & 0xFF);
    d[8] = 64;
    d[9] = s.protocol;
    const std::uint32_t src = Addr(s.src), dst = Addr(s.dst);
    std::memcpy(&d[12], &src, 4);
    std::memcpy(&d[16], &dst, 4);
    for (std::size_t i = 0; i < s.ipOptionBytes; ++i) d[20 + i] = 1;  // NOP options
    if (s.protocol == 6 || s.protocol == 17) {
        d[ihl] = static_cast<std::uint8_t>(s.srcPort >> 8);
        d[ihl + 1] = static_cast<std::uint8_t>(s.srcPort & 0xFF);
        d[ihl + 2] = static_cast<std::uint8_t>(s.dstPort >> 8);
        d[ihl + 3] = static_cast<std::uint8_t>(s.dstPort & 0xFF);
    }
    std::copy(s.payload.begin(), s.payload.end(), d.begin() + static_cast<std::ptrdiff_t>(ihl + transport));
    return d;
}

inline std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t fill = 0x61) {
    return std::vector<std::uint8_t>(n, fill);
}

}  // namespace wirelens::testing
