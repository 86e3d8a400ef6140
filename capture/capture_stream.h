#pragma once
// The stream between the capture helper and the GUI: a sequence of frames on a
// socket pair, each a fixed header followed by its payload. Both ends run on the
// same machine, so the header is in host byte order.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wirelens {

enum class FrameType : std::uint16_t {
    Ready = 1,     // capture open; payload: interface name(s), text
    Datagram = 2,  // payload: one IPv4 datagram, header first, at most 2000 bytes
    Stats = 3,     // payload: StatsPayload
    Error = 4,     // payload: uint32 CaptureError code, then the message text
    Published = 5, // no payload: datagrams wait in the shared ring (capture/shared_ring.h)
};

enum class CaptureError : std::uint32_t {
    Usage = 1,
    NotLocal = 2,
    InterfaceDown = 3,
    PermissionDenied = 4,
    System = 5,
    Loopback = 6,        // a loopback address (127.0.0.0/8) was asked for
    AddressRemoved = 7,  // the address left its interface while capturing
    InvalidFilter = 8,   // the message is libpcap's
};

inline constexpr std::uint16_t kLastFrameType = static_cast<std::uint16_t>(FrameType::Published);

struct FrameHeader {
    std::uint32_t payloadLength;
    std::uint16_t type;
    std::uint16_t reserved;
    std::int64_t seconds;        // capture timestamp, UNIX time
    std::uint32_t microseconds;
    std::uint32_t wireLength;    // datagram length before truncation to 2000 bytes
};
static_assert(sizeof(FrameHeader) == 24);

struct StatsPayload {
    std::uint64_t received;
    std::uint64_t droppedByKernel;
    std::uint64_t droppedByInterface;
};

// Largest payload a well-formed stream carries; anything larger is a broken stream.
inline constexpr std::size_t kMaxFramePayload = 4096;

struct Frame {
    FrameType type;
    std::int64_t seconds;
    std::uint32_t microseconds;
    std::uint32_t wireLength;
    std::span<const std::uint8_t> payload;  // valid until the next Feed/Read/Next call
};

// The header of a frame whose payload is `payloadLength` bytes (at most kMaxFramePayload).
FrameHeader MakeFrameHeader(FrameType type, std::int64_t seconds, std::uint32_t microseconds,
                            std::uint32_t wireLength, std::size_t payloadLength);

void AppendFrame(std::vector<std::uint8_t>& out, FrameType type, std::int64_t seconds,
                 std::uint32_t microseconds, std::uint32_t wireLength,
                 std::span<const std::uint8_t> payload);

// Payload builders and readers for the frames that are not datagrams.
// Texts longer than a frame can carry are cut.
void AppendReadyFrame(std::vector<std::uint8_t>& out, std::string_view interfaces);
void AppendErrorFrame(std::vector<std::uint8_t>& out, CaptureError code, std::string_view message);
void AppendStatsFrame(std::vector<std::uint8_t>& out, std::int64_t seconds,
                      std::uint32_t microseconds, const StatsPayload& stats);

struct ErrorPayload {
    CaptureError code;
    std::string message;
};
// Nothing when the payload is too short to hold the code.
std::optional<ErrorPayload> ParseErrorPayload(std::span<const std::uint8_t> payload);
std::optional<StatsPayload> ParseStatsPayload(std::span<const std::uint8_t> payload);

// What the front of a stream's bytes holds: a whole frame (`size` bytes of
// them), the start of one, or a header no well-formed stream carries.
enum class FrameCut { Whole, Partial, Corrupt };
struct FrameAt {
    FrameCut cut = FrameCut::Partial;
    std::size_t size = 0;  // header and payload, when whole
    Frame frame{};         // when whole; its payload points into the bytes
};
FrameAt ParseFrameAt(std::span<const std::uint8_t> bytes);
// A frame's largest size, header and payload.
inline constexpr std::size_t kLargestFrame = sizeof(FrameHeader) + kMaxFramePayload;

// Reads frames from a non-blocking descriptor with few system calls: one read
// fills a large buffer, then Next() hands out the complete frames in it.
class FrameReader {
public:
    explicit FrameReader(std::size_t bufferBytes = 1 << 20);

    enum class ReadStatus { Data, WouldBlock, EndOfStream, Failed };
    // One read() into the free part of the buffer.
    ReadStatus Read(int fd);
    // Appends bytes directly (tests, and callers that read themselves).
    void Feed(std::span<const std::uint8_t> bytes);
    // Next complete frame, or nothing when only a partial frame is buffered.
    std::optional<Frame> Next();
    // A header announced a payload larger than kMaxFramePayload or an unknown type.
    bool Corrupt() const { return mCorrupt; }
    std::size_t Buffered() const { return mEnd - mBegin; }
    int LastErrno() const { return mLastErrno; }
    void Reset();

private:
    void Compact();
    std::vector<std::uint8_t> mBuffer;
    std::size_t mBegin = 0;
    std::size_t mEnd = 0;
    bool mCorrupt = false;
    int mLastErrno = 0;
};

}  // namespace wirelens
