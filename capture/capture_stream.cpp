#include "capture/capture_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace wirelens {

namespace {
constexpr std::size_t kHeaderLength = sizeof(FrameHeader);
constexpr std::size_t kErrorCodeLength = sizeof(std::uint32_t);

std::span<const std::uint8_t> TextBytes(std::string_view text, std::size_t limit) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), std::min(text.size(), limit)};
}
}  // namespace

FrameHeader MakeFrameHeader(FrameType type, std::int64_t seconds, std::uint32_t microseconds,
                            std::uint32_t wireLength, std::size_t payloadLength) {
    FrameHeader header{};
    header.payloadLength = static_cast<std::uint32_t>(payloadLength);
    header.type = static_cast<std::uint16_t>(type);
    header.seconds = seconds;
    header.microseconds = microseconds;
    header.wireLength = wireLength;
    return header;
}

void AppendFrame(std::vector<std::uint8_t>& out, FrameType type, std::int64_t seconds,
                 std::uint32_t microseconds, std::uint32_t wireLength,
                 std::span<const std::uint8_t> payload) {
    // A longer payload would make the reader take the stream for broken.
    if (payload.size() > kMaxFramePayload) payload = payload.first(kMaxFramePayload);
    const FrameHeader header = MakeFrameHeader(type, seconds, microseconds, wireLength, payload.size());
    const std::size_t at = out.size();
    out.resize(at + kHeaderLength + payload.size());
    std::memcpy(out.data() + at, &header, kHeaderLength);
    if (!payload.empty()) std::memcpy(out.data() + at + kHeaderLength, payload.data(), payload.size());
}

void AppendReadyFrame(std::vector<std::uint8_t>& out, std::string_view interfaces) {
    AppendFrame(out, FrameType::Ready, 0, 0, 0, TextBytes(interfaces, kMaxFramePayload));
}

void AppendErrorFrame(std::vector<std::uint8_t>& out, CaptureError code, std::string_view message) {
    std::uint8_t payload[kMaxFramePayload];
    const auto codeValue = static_cast<std::uint32_t>(code);
    std::memcpy(payload, &codeValue, kErrorCodeLength);
    const auto text = TextBytes(message, kMaxFramePayload - kErrorCodeLength);
    if (!text.empty()) std::memcpy(payload + kErrorCodeLength, text.data(), text.size());
    AppendFrame(out, FrameType::Error, 0, 0, 0, {payload, kErrorCodeLength + text.size()});
}

void AppendStatsFrame(std::vector<std::uint8_t>& out, std::int64_t seconds,
                      std::uint32_t microseconds, const StatsPayload& stats) {
    AppendFrame(out, FrameType::Stats, seconds, microseconds, 0,
                {reinterpret_cast<const std::uint8_t*>(&stats), sizeof stats});
}

std::optional<ErrorPayload> ParseErrorPayload(std::span<const std::uint8_t> payload) {
    if (payload.size() < kErrorCodeLength) return std::nullopt;
    std::uint32_t code = 0;
    std::memcpy(&code, payload.data(), kErrorCodeLength);
    const auto text = payload.subspan(kErrorCodeLength);
    return ErrorPayload{static_cast<CaptureError>(code),
                        std::string(reinterpret_cast<const char*>(text.data()), text.size())};
}

std::optional<StatsPayload> ParseStatsPayload(std::span<const std::uint8_t> payload) {
    StatsPayload stats{};
    if (payload.size() != sizeof stats) return std::nullopt;
    std::memcpy(&stats, payload.data(), sizeof stats);
    return stats;
}

FrameReader::FrameReader(std::size_t bufferBytes)
    // Room for two largest frames, so a partial frame never blocks the next read.
    : mBuffer(std::max(bufferBytes, 2 * kLargestFrame)) {}

void FrameReader::Compact() {
    if (mBegin == mEnd) {
        mBegin = mEnd = 0;
        return;
    }
    if (mBegin == 0) return;
    std::memmove(mBuffer.data(), mBuffer.data() + mBegin, mEnd - mBegin);
    mEnd -= mBegin;
    mBegin = 0;
}

FrameReader::ReadStatus FrameReader::Read(int fd) {
    // Move a partial frame to the front only when the free tail could not take a
    // whole frame: keeps memmoves rare while reads stay large.
    if (mBegin == mEnd || mBuffer.size() - mEnd < kLargestFrame) Compact();
    if (mEnd == mBuffer.size()) return ReadStatus::Data;  // full of frames not taken yet
    for (;;) {
        const ssize_t n = ::read(fd, mBuffer.data() + mEnd, mBuffer.size() - mEnd);
        if (n > 0) {
            mEnd += static_cast<std::size_t>(n);
            return ReadStatus::Data;
        }
        if (n == 0) return ReadStatus::EndOfStream;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStatus::WouldBlock;
        mLastErrno = errno;
        return ReadStatus::Failed;
    }
}

void FrameReader::Feed(std::span<const std::uint8_t> bytes) {
    if (mBuffer.size() - mEnd < bytes.size()) Compact();
    if (mBuffer.size() - mEnd < bytes.size()) mBuffer.resize(mEnd + bytes.size());
    if (!bytes.empty()) std::memcpy(mBuffer.data() + mEnd, bytes.data(), bytes.size());
    mEnd += bytes.size();
}

FrameAt ParseFrameAt(std::span<const std::uint8_t> bytes) {
    FrameAt at;
    if (bytes.size() < kHeaderLength) return at;
    FrameHeader header;
    std::memcpy(&header, bytes.data(), kHeaderLength);
    if (header.payloadLength > kMaxFramePayload || header.type == 0 || header.type > kLastFrameType ||
        header.reserved != 0) {
        at.cut = FrameCut::Corrupt;
        return at;
    }
    if (bytes.size() - kHeaderLength < header.payloadLength) return at;
    at.cut = FrameCut::Whole;
    at.size = kHeaderLength + header.payloadLength;
    at.frame = Frame{static_cast<FrameType>(header.type), header.seconds, header.microseconds, header.wireLength,
                     bytes.subspan(kHeaderLength, header.payloadLength)};
    return at;
}

std::optional<Frame> FrameReader::Next() {
    if (mCorrupt) return std::nullopt;
    const FrameAt at = ParseFrameAt(std::span<const std::uint8_t>(mBuffer).subspan(mBegin, mEnd - mBegin));
    if (at.cut == FrameCut::Corrupt) mCorrupt = true;
    if (at.cut != FrameCut::Whole) return std::nullopt;
    mBegin += at.size;
    return at.frame;
}

void FrameReader::Reset() {
    mBegin = mEnd = 0;
    mCorrupt = false;
    mLastErrno = 0;
}

}  // namespace wirelens
