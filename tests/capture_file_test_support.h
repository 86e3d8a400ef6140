#pragma once
// Shared by the capture file tests: a temporary folder, whole-file reads and
// writes, a set of packets to write, and reading a file back into copies.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "files/capture_file.h"
#include "files/capture_file_io.h"
#include "tests/datagram_builder.h"

namespace wirelens::testing {

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/wirelens-files-XXXXXX";
        if (::mkdtemp(name)) mPath = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return mPath; }
    std::string File(const std::string& name) const { return mPath + "/" + name; }
    // Names of everything in the folder.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(mPath)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
    std::string mPath;
};

inline std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A packet that owns its bytes.
struct StoredPacket {
    std::vector<std::uint8_t> bytes;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    std::uint32_t wireLength = 0;

    CapturePacket View() const {
        CapturePacket p;
        p.bytes = bytes;
        p.seconds = seconds;
        p.nanoseconds = nanoseconds;
        p.wireLength = wireLength;
        return p;
    }
    bool operator==(const StoredPacket&) const = default;
};

inline StoredPacket Store(const CapturePacket& p) {
    return {std::vector<std::uint8_t>(p.bytes.begin(), p.bytes.end()), p.seconds, p.nanoseconds, p.wireLength};
}

// UDP, TCP and ICMP datagrams of assorted sizes, one longer than the 2000
// bytes a file keeps, with nanosecond times that tell micro and nano apart.
inline std::vector<StoredPacket> SamplePackets() {
    std::vector<StoredPacket> packets;
    const std::size_t payloads[] = {0, 1, 100, 1472, 2600, 7};
    const std::uint8_t protocols[] = {17, 6, 1, 17, 17, 6};
    for (std::size_t i = 0; i < std::size(payloads); ++i) {
        DatagramFields fields;
        fields.protocol = protocols[i];
        fields.payload.resize(payloads[i]);
        for (std::size_t k = 0; k < payloads[i]; ++k) fields.payload[k] = static_cast<std::uint8_t>(k * 7 + i);
        std::vector<std::uint8_t> datagram = BuildDatagram(fields);
        StoredPacket p;
        p.wireLength = static_cast<std::uint32_t>(datagram.size());
        if (datagram.size() > 2000) datagram.resize(2000);
        p.bytes = std::move(datagram);
        p.seconds = 1700000000 + static_cast<std::int64_t>(i) * 61;
        p.nanoseconds = static_cast<std::uint32_t>(123456789 + i * 100000001) % 1000000000;
        packets.push_back(std::move(p));
    }
    return packets;
}

// The same packets with their times cut to the microsecond.
inline std::vector<StoredPacket> ToMicroseconds(std::vector<StoredPacket> packets) {
    for (auto& p : packets) p.nanoseconds = p.nanoseconds / 1000 * 1000;
    return packets;
}

struct ReadBack {
    std::vector<StoredPacket> packets;
    ReadCaptureFileResult result;
};

inline ReadBack ReadBackFile(const std::string& path) {
    ReadBack back;
    back.result = ReadCaptureFile(path, [&back](const CapturePacket& p) { back.packets.push_back(Store(p)); });
    return back;
}

}  // namespace wirelens::testing
