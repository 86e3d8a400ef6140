#include "files/capture_file.h"

#include <algorithm>
#include <cctype>

namespace wirelens {

CaptureFileFormat CaptureFileFormatForPath(std::string_view path) {
    constexpr std::string_view kPcapSuffix = ".pcap";
    if (path.size() < kPcapSuffix.size()) return CaptureFileFormat::PcapNg;
    const std::string_view tail = path.substr(path.size() - kPcapSuffix.size());
    const bool isPcap = std::equal(tail.begin(), tail.end(), kPcapSuffix.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    return isPcap ? CaptureFileFormat::Pcap : CaptureFileFormat::PcapNg;
}

}  // namespace wirelens
