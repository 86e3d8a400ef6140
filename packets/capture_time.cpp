#include "packets/capture_time.h"

#include <ctime>

namespace wirelens {

namespace {
std::string& SeparatorStorage() {
    static std::string separator = ".";
    return separator;
}

struct SecondCache {
    std::int64_t unixSeconds = INT64_MIN;
    std::uint32_t secondOfDay = 0;
};
thread_local SecondCache tCache;

void Put2(std::string& out, unsigned v) {
    out.push_back(static_cast<char>('0' + v / 10));
    out.push_back(static_cast<char>('0' + v % 10));
}
}  // namespace

CaptureTime CaptureTimeOf(std::int64_t unixSeconds, std::uint32_t microseconds) {
    if (unixSeconds != tCache.unixSeconds) {
        const std::time_t t = static_cast<std::time_t>(unixSeconds);
        std::tm local{};
        if (localtime_r(&t, &local) == nullptr) local = std::tm{};
        // A leap second (tm_sec 60) is shown as the last second of its minute.
        const unsigned sec = local.tm_sec > 59 ? 59u : static_cast<unsigned>(local.tm_sec);
        tCache.unixSeconds = unixSeconds;
        tCache.secondOfDay = static_cast<std::uint32_t>(local.tm_hour) * 3600u +
                             static_cast<std::uint32_t>(local.tm_min) * 60u + sec;
    }
    const std::uint32_t hundredths = (microseconds % 1000000u) / 10000u;
    return CaptureTime{tCache.secondOfDay * 100u + hundredths};
}

std::string CaptureTimeText(CaptureTime time, std::string_view decimalSeparator) {
    const std::uint32_t cs = time.centiseconds % 8640000u;
    const unsigned seconds = cs / 100;
    std::string out;
    out.reserve(11 + decimalSeparator.size());
    Put2(out, seconds / 3600);
    out.push_back(':');
    Put2(out, seconds / 60 % 60);
    out.push_back(':');
    Put2(out, seconds % 60);
    out.append(decimalSeparator);
    Put2(out, cs % 100);
    return out;
}

void SetDecimalSeparator(std::string separator) { SeparatorStorage() = std::move(separator); }
const std::string& DecimalSeparator() { return SeparatorStorage(); }

}  // namespace wirelens
