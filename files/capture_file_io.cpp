#include "files/capture_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "files/capture_file_writer.h"

namespace wirelens {
namespace {

constexpr std::size_t kSliceBytes = 1 << 20;

std::string SystemFailure(std::string_view what, const std::string& path, int error) {
    return std::string(what) + " \"" + path + "\": " + std::generic_category().message(error);
}

using ParserPacketCallback = std::function<void(const CaptureFileParser&, const CapturePacket&)>;

ReadCaptureFileResult ReadWithParser(const std::string& path, const ParserPacketCallback& onPacket,
                                     const ReadProgress& onProgress) {
    ReadCaptureFileResult result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = CaptureFileError{SystemFailure("Cannot open the file", path, errno), 0};
        return result;
    }
    struct stat status {};
    const std::uint64_t fileSize =
        ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;

    CaptureFileParser parser;
    CapturePacket packet;
    // False once the parser has stopped (end or damage).
    const auto drain = [&] {
        while (true) {
            switch (parser.Next(packet)) {
                case CaptureFileParser::Status::Packet:
                    onPacket(parser, packet);
                    break;
                case CaptureFileParser::Status::NeedMore:
                    return true;
                case CaptureFileParser::Status::End:
                case CaptureFileParser::Status::Error:
                    return false;
            }
        }
    };

    std::vector<std::uint8_t> slice(kSliceBytes);
    std::uint64_t bytesRead = 0;
    while (true) {
        const ssize_t n = ::read(fd, slice.data(), slice.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            result.error = CaptureFileError{SystemFailure("Cannot read the file", path, errno), bytesRead};
            break;
        }
        if (n == 0) {
            parser.Finish();
            drain();
            break;
        }
        bytesRead += static_cast<std::uint64_t>(n);
        parser.Feed(std::span<const std::uint8_t>(slice).first(static_cast<std::size_t>(n)));
        if (!drain()) break;
        if (onProgress && !onProgress(bytesRead, fileSize)) {
            result.cancelled = true;
            break;
        }
    }
    ::close(fd);

    result.packets = parser.PacketCount();
    result.skippedFrames = parser.SkippedFrames();
    result.format = parser.Format();
    result.info = parser.Info();
    result.info.nanosecondResolution = parser.NanosecondResolution();
    if (!result.error && parser.Error()) result.error = parser.Error();
    return result;
}

}  // namespace

ReadCaptureFileResult ReadCaptureFile(const std::string& path,
                                      const std::function<void(const CapturePacket&)>& onPacket,
                                      const ReadProgress& onProgress) {
    return ReadWithParser(
        path, [&onPacket](const CaptureFileParser&, const CapturePacket& packet) { onPacket(packet); },
        onProgress);
}

ConvertResult ConvertCaptureFile(const std::string& inPath, const std::string& outPath,
                                 std::optional<CaptureFileFormat> format,
                                 const std::function<bool(const CapturePacket&)>& keep) {
    ConvertResult result;
    const CaptureFileFormat outFormat = format ? *format : CaptureFileFormatForPath(outPath);
    CaptureFileWriter writer;
    bool opened = false;
    // The output starts with the first packet, once the input's interface and
    // time resolution are known.
    const auto open = [&](const CaptureFileInfo& info) {
        opened = true;
        result.writeError = writer.Open(outPath, outFormat, info);
    };

    const ReadCaptureFileResult read = ReadWithParser(
        inPath,
        [&](const CaptureFileParser& parser, const CapturePacket& packet) {
            if (!opened) {
                CaptureFileInfo info = parser.Info();
                info.nanosecondResolution = parser.NanosecondResolution();
                open(info);
            }
            if (result.writeError || (keep && !keep(packet))) return;
            if (writer.Write(packet)) ++result.packetsWritten;
        },
        {});
    result.packetsRead = read.packets;
    result.skippedFrames = read.skippedFrames;
    result.readError = read.error;

    // Input that is no capture file, or unreadable from the start, makes no output.
    if (!read.format) return result;
    if (!opened) open(read.info);
    if (result.writeError) return result;
    if (auto why = writer.Commit(read.info.kernelDrops)) {
        result.writeError = why;
        result.packetsWritten = 0;
    }
    return result;
}

}  // namespace wirelens
