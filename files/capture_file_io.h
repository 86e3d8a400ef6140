#pragma once
// Whole-file operations on capture files: reading a file path in slices
// through CaptureFileParser, and converting between pcap and pcapng.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "files/capture_file.h"
#include "files/capture_file_parser.h"

namespace wirelens {

struct ReadCaptureFileResult {
    std::uint64_t packets = 0;        // IPv4 datagrams handed to the callback
    std::uint64_t skippedFrames = 0;  // frames that carried no IPv4
    std::optional<CaptureFileFormat> format;
    CaptureFileInfo info;             // as CaptureFileParser::Info, nanosecondResolution filled
    bool cancelled = false;
    // Damage or not a capture file (offset where reading stopped), or a file
    // that cannot be opened or read (offset 0 / bytes read, the system's reason).
    std::optional<CaptureFileError> error;
};

// Called after each slice with the bytes read so far and the file's size
// (0 when unknown, as for a pipe). Returning false cancels the read.
using ReadProgress = std::function<bool(std::uint64_t bytesRead, std::uint64_t fileSize)>;

// Reads the file at path and hands each IPv4 datagram to onPacket, in file
// order; the packet's bytes are valid during the call only.
ReadCaptureFileResult ReadCaptureFile(const std::string& path,
                                      const std::function<void(const CapturePacket&)>& onPacket,
                                      const ReadProgress& onProgress = {});

struct ConvertResult {
    std::uint64_t packetsRead = 0;     // IPv4 datagrams read
    std::uint64_t packetsWritten = 0;  // of those, the ones keep() accepted
    std::uint64_t skippedFrames = 0;   // frames that carried no IPv4
    // The input was damaged: the packets before the damage were written.
    // When the input is no capture file, or cannot be read, no output is made.
    std::optional<CaptureFileError> readError;
    // The output could not be written; an earlier file of that name is intact.
    std::optional<std::string> writeError;
    bool Ok() const { return !readError && !writeError; }
};

// Copies the IPv4 datagrams of inPath to outPath as raw-IP pcap or pcapng
// (format, else by outPath's suffix), keeping timestamps at the input's
// resolution, the input's interface name, capture address and drop count.
// keep, when given, chooses the packets written.
ConvertResult ConvertCaptureFile(const std::string& inPath, const std::string& outPath,
                                 std::optional<CaptureFileFormat> format = std::nullopt,
                                 const std::function<bool(const CapturePacket&)>& keep = {});

}  // namespace wirelens
