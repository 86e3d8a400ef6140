#pragma once
// BOOTP/DHCP message (RFC 2131, RFC 2132): operation, client, and the DHCP
// message type option.
#include <array>
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kBootpFixed = 236;  // up to the options' magic cookie

struct DhcpMessage {
    bool cut = false;  // fixed part not wholly kept
    std::uint8_t op = 0;
    std::uint8_t hardwareType = 0;
    std::uint8_t hardwareLength = 0;
    std::uint32_t xid = 0;
    std::uint16_t flags = 0;
    std::uint32_t clientAddress = 0;
    std::uint32_t yourAddress = 0;
    std::uint32_t serverAddress = 0;
    std::uint32_t relayAddress = 0;
    std::array<std::uint8_t, 6> clientMac{};  // when the client is on Ethernet
    bool hasCookie = false;
    std::uint8_t messageType = 0;       // 0: no message type option
    std::size_t messageTypeOffset = 0;  // of the option
    bool optionsCut = false;
    std::uint32_t length = 0;
};

DhcpMessage DecodeDhcp(const ByteReader& message, std::uint32_t length);

// "BOOTP/DHCP, Request from 00:11:22:33:44:55, length 300, xid 0x3903f326, DHCP Discover".
void AppendDhcpSummary(const DhcpMessage& dhcp, std::string& out);

void AddDhcpLayer(const DhcpMessage& dhcp, const ByteReader& message, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
