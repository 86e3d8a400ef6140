#pragma once
// The capture time of a packet: local time of day from the kernel's capture
// timestamp, kept as hundredths of a second since midnight (truncated), so the
// seconds and hundredths always come from one reading.
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace wirelens {

struct CaptureTime {
    std::uint32_t centiseconds = 0;  // 0 .. 8639999
};

// The full capture timestamp of a packet, as capture files keep it.
struct PacketTime {
    std::int64_t seconds = 0;        // UNIX time
    std::uint32_t nanoseconds = 0;   // 0 .. 999999999
    friend bool operator==(const PacketTime&, const PacketTime&) = default;
    friend auto operator<=>(const PacketTime&, const PacketTime&) = default;
};

// Converts a UNIX timestamp to local time of day. Caches the last second, so a
// burst within one second costs one time-zone conversion.
CaptureTime CaptureTimeOf(std::int64_t unixSeconds, std::uint32_t microseconds);

// "HH:MM:SS" followed by the decimal separator and the two digits of hundredths.
std::string CaptureTimeText(CaptureTime time, std::string_view decimalSeparator);

// The user's decimal separator, used for every capture time text. "." until set.
void SetDecimalSeparator(std::string separator);
const std::string& DecimalSeparator();

}  // namespace wirelens
