#include "capture/choose_local_ip.h"

namespace wirelens {

namespace {
constexpr char kEntrySeparator = ';';
}

void FillLocalAddresses(const std::vector<std::string>& interfaceList, LocalAddressSet& dicAddr) {
    for (const std::string& entry : interfaceList) {
        const std::string address = entry.substr(0, entry.find(kEntrySeparator));
        // An entry without an address names nothing that could be captured on.
        if (address.empty() || address == kExcludedAddress) continue;
        dicAddr.Set(address);
    }
}

LocalIpChoice SettleLocalIP(const LocalAddressSet& dicAddr) {
    LocalIpChoice choice;
    switch (dicAddr.Count()) {
    case 0:
        choice.outcome = LocalIpChoice::Outcome::NoAddress;
        choice.error = kNoLocalAddressMessage;
        break;
    case 1:
        choice.outcome = LocalIpChoice::Outcome::Chosen;
        choice.localIP = dicAddr.Keys().front();
        break;
    default:
        choice.outcome = LocalIpChoice::Outcome::AskUser;
        break;
    }
    return choice;
}

}  // namespace wirelens
