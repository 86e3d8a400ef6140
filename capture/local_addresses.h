#pragma once
// The machine's own IPv4 addresses (dicAddr): exact text keys in insertion
// order, plus a numeric index so the per-packet direction test costs one hash
// lookup instead of formatting an address.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace wirelens {

class LocalAddressSet {
public:
    // Adds the key, or leaves it where it is when present (a re-set keeps its place).
    void Set(const std::string& address);
    bool Contains(std::string_view address) const;
    bool ContainsAddress(std::uint32_t networkOrder) const {
        return mNumeric.count(networkOrder) != 0;
    }
    std::size_t Count() const { return mKeys.size(); }
    const std::vector<std::string>& Keys() const { return mKeys; }
    void Clear();

private:
    std::vector<std::string> mKeys;
    std::unordered_set<std::string> mTextIndex;
    std::unordered_set<std::uint32_t> mNumeric;
};

}  // namespace wirelens
