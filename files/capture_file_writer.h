#pragma once
// Writers of capture files holding raw IPv4 datagrams (link type raw IP):
// pcap through libpcap's dump functions, pcapng through its own block writer.
// A file appears under its name only once complete (see AtomicFile); a failed
// write leaves an earlier file of that name intact and says why.
//
// pcapng layout: a section header, one interface block (link type 101, snap
// length 2000, if_name, if_IPv4addr with mask 255.255.255.255, if_tsresol 6
// or 9), an enhanced packet block per packet, and a statistics block with
// isb_starttime, isb_endtime (first and last packet) and isb_ifdrop.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "files/capture_file.h"

namespace wirelens {

inline constexpr std::uint32_t kCaptureFileSnapLength = 2000;

class CaptureFileWriter {
public:
    CaptureFileWriter();
    ~CaptureFileWriter();  // an unfinished file is removed, an earlier one kept
    CaptureFileWriter(const CaptureFileWriter&) = delete;
    CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

    // Starts the file. info.nanosecondResolution chooses nanosecond
    // timestamps; the pcapng interface block records the name and address.
    // Nothing on success, else a sentence with the system's reason.
    std::optional<std::string> Open(const std::string& path, CaptureFileFormat format,
                                    const CaptureFileInfo& info);
    // False once a write has failed; the failure is told by Commit.
    bool Write(const CapturePacket& packet);
    // Writes the statistics block (pcapng) with kernelDrops, or the drop count
    // given to Open when this is empty; then flushes, syncs and names the file.
    // Nothing on success, else why; the file is then removed.
    std::optional<std::string> Commit(std::optional<std::uint64_t> kernelDrops = std::nullopt);
    // Removes the unfinished file.
    void Abort();
    std::uint64_t PacketCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> mImpl;
};

// Writes count packets, packetAt(0) .. packetAt(count - 1), to path in one go.
std::optional<std::string> WriteCaptureFile(const std::string& path, CaptureFileFormat format,
                                            const CaptureFileInfo& info, std::size_t count,
                                            const std::function<CapturePacket(std::size_t)>& packetAt);

}  // namespace wirelens
