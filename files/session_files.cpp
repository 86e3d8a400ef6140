#include "files/session_files.h"

#include <arpa/inet.h>

#include "capture/decode.h"
#include "files/capture_file_writer.h"

namespace wirelens {

CaptureFileInfo FileInfoOf(const CaptureSession& session) {
    const CaptureSource& source = session.Source();
    CaptureFileInfo info;
    info.interfaceName = source.interfaceName;
    in_addr address{};
    if (!source.captureAddress.empty() && inet_pton(AF_INET, source.captureAddress.c_str(), &address) == 1) {
        info.captureAddress = address.s_addr;
    }
    info.kernelDrops = source.kernelDrops;
    info.nanosecondResolution = source.nanosecond;
    return info;
}

std::optional<std::string> SaveSessionPackets(const CaptureSession& session, const std::string& path,
                                              CaptureFileFormat format, std::span<const std::int32_t> keys,
                                              bool onlyKeys) {
    const std::size_t count = onlyKeys ? keys.size() : static_cast<std::size_t>(session.Count());
    return WriteCaptureFile(path, format, FileInfoOf(session), count, [&](std::size_t i) {
        const auto keyAt = [&](std::size_t at) { return onlyKeys ? keys[at] : static_cast<std::int32_t>(at + 1); };
        const std::int32_t key = keyAt(i);
        const std::size_t ahead = i + CaptureSession::kPrefetchAhead;
        if (ahead < count) session.PrefetchBytes(keyAt(ahead));
        CapturePacket packet;
        const clV* record = session.Packets().Get(key);
        if (record == nullptr) return packet;
        packet.bytes = session.Bytes(*record);
        const PacketTime time = record->Timestamp().value_or(PacketTime{});
        packet.seconds = time.seconds;
        packet.nanoseconds = time.nanoseconds;
        packet.wireLength = session.WireLength(*record);
        packet.nanosecondResolution = session.Source().nanosecond;
        return packet;
    });
}

void AdoptFileInfo(CaptureSession& session, const CaptureFileInfo& info, bool nanosecond) {
    CaptureSource& source = session.Source();
    source.interfaceName = info.interfaceName;
    source.captureAddress = info.captureAddress ? AddressToText(*info.captureAddress) : std::string();
    source.kernelDrops = info.kernelDrops.value_or(0);
    source.nanosecond = nanosecond;
    session.JudgeDirectionBy(info.captureAddress ? std::optional<std::string>(source.captureAddress) : std::nullopt);
}

}  // namespace wirelens
