#pragma once
// Capture files and the capture session: saving the stored packets, and
// filing the packets a file or a stream holds. No Qt.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "files/capture_file.h"
#include "packets/capture_session.h"

namespace wirelens {

// What a file records of the session's capture: interface, address, drops, resolution.
CaptureFileInfo FileInfoOf(const CaptureSession& session);

// Writes every stored packet in capture order, or with `onlyKeys` the packets
// under `keys` in the order given. Nothing on success, else why.
std::optional<std::string> SaveSessionPackets(const CaptureSession& session, const std::string& path,
                                              CaptureFileFormat format,
                                              std::span<const std::int32_t> keys = {}, bool onlyKeys = false);

// Files one packet of a capture file or stream.
inline IngestResult IngestCapturePacket(CaptureSession& session, const CapturePacket& packet) {
    return session.Ingest(packet.bytes, PacketTime{packet.seconds, packet.nanoseconds}, packet.wireLength);
}

// Takes over what a file records: Received and Sent are judged against its
// capture address when it has one; its interface, address, drop count and
// time resolution become the session's, for saving again.
void AdoptFileInfo(CaptureSession& session, const CaptureFileInfo& info, bool nanosecond);

}  // namespace wirelens
