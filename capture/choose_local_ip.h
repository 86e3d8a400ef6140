#pragma once
// Which local addresses a capture may use (dicAddr), and settling the capture
// address (LocalIP) from them when the user need not be asked.
#include "capture/local_addresses.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wirelens {

// Loopback traffic of the usual address is of no interest; other loopback
// addresses (127.0.0.2, ...) are deliberately still offered.
inline constexpr std::string_view kExcludedAddress = "127.0.0.1";
inline constexpr const char* kNoLocalAddressMessage =
    "No IPv4 address of this machine can be captured on: apart from 127.0.0.1, "
    "no network interface has an IPv4 address.";

// Adds the address part of each "address;mask" entry to dicAddr, in list
// order: an address already present keeps its place, an entry whose address
// is exactly "127.0.0.1" or empty is left out.
void FillLocalAddresses(const std::vector<std::string>& interfaceList, LocalAddressSet& dicAddr);

struct LocalIpChoice {
    enum class Outcome {
        Chosen,      // localIP holds the capture address
        AskUser,     // two or more addresses: the user picks one
        Cancelled,   // the user declined to pick
        NoAddress,   // nothing to capture on; error says so
    };
    Outcome outcome = Outcome::NoAddress;
    std::string localIP;
    std::string error;
    // The capture filter the user gave with the address (empty: none); unset
    // when nobody was asked, and the capture keeps the filter it had.
    std::optional<std::string> captureFilter;

    bool Ok() const { return outcome == Outcome::Chosen; }
};

// With fewer than two addresses the choice needs nobody: the only one, or none.
LocalIpChoice SettleLocalIP(const LocalAddressSet& dicAddr);

}  // namespace wirelens
