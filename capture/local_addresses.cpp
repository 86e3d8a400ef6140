#include "capture/local_addresses.h"

#include <arpa/inet.h>

namespace wirelens {

void LocalAddressSet::Set(const std::string& address) {
    if (!mTextIndex.insert(address).second) return;
    mKeys.push_back(address);
    // Only canonical dotted text has a numeric twin; anything else matches by text alone.
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
        char canonical[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &parsed, canonical, sizeof canonical);
        if (address == canonical) mNumeric.insert(parsed.s_addr);
    }
}

bool LocalAddressSet::Contains(std::string_view address) const {
    return mTextIndex.count(std::string(address)) != 0;
}

void LocalAddressSet::Clear() {
    mKeys.clear();
    mTextIndex.clear();
    mNumeric.clear();
}

}  // namespace wirelens
