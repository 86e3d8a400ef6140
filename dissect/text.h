#pragma once
// Appending numbers and addresses to a summary without formatting machinery,
// so that a summary costs little more than its characters.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace wirelens::dissect {

inline void AppendDecimal(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

inline void AppendSigned(std::string& out, std::int64_t value) {
    char digits[21];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

// "0x" and lower-case hex digits, at least `width` of them.
inline void AppendHex(std::string& out, std::uint64_t value, int width = 1) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    out += "0x";
    for (auto n = end - digits; n < width; ++n) out += '0';
    out.append(digits, static_cast<std::size_t>(end - digits));
}

// Dotted text of an address read as a big-endian number.
inline void AppendIpv4(std::string& out, std::uint32_t address) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        AppendDecimal(out, (address >> shift) & 0xFF);
        if (shift != 0) out += '.';
    }
}

inline std::string Decimal(std::uint64_t value) {
    std::string s;
    AppendDecimal(s, value);
    return s;
}

inline std::string Hex(std::uint64_t value, int width = 1) {
    std::string s;
    AppendHex(s, value, width);
    return s;
}

inline std::string Ipv4Text(std::uint32_t address) {
    std::string s;
    AppendIpv4(s, address);
    return s;
}

// A value with its meaning: "6 (TCP)".
inline std::string Named(std::uint64_t value, std::string_view name) {
    std::string s = Decimal(value);
    if (!name.empty()) {
        s += " (";
        s += name;
        s += ')';
    }
    return s;
}

}  // namespace wirelens::dissect
