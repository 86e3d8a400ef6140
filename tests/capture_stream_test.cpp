// The framed stream between the capture helper and the GUI, and the pump
// that reads it on a thread of its own.
#include "capture/capture_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "capture/capture_pump.h"
#include "capture/thread_priority.h"
#include "tests/held_memory_map.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

Bytes PayloadOf(const Frame& frame) { return Bytes(frame.payload.begin(), frame.payload.end()); }

// Three datagrams of different sizes, a stats frame and an error frame.
Bytes MixedStream() {
    Bytes stream;
    AppendFrame(stream, FrameType::Datagram, 1700000000, 123456, 84, Pattern(84, 1));
    AppendFrame(stream, FrameType::Datagram, 1700000001, 999999, 3028, Pattern(2000, 2));
    AppendStatsFrame(stream, 1700000002, 5, StatsPayload{10, 3, 1});
    AppendFrame(stream, FrameType::Datagram, 1700000003, 0, 0, Bytes{});
    AppendErrorFrame(stream, CaptureError::InterfaceDown, "the network interface eth0 is down");
    return stream;
}

void ExpectMixedStream(const std::vector<Bytes>& payloads, const std::vector<Frame>& frames) {
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].type, FrameType::Datagram);
    EXPECT_EQ(frames[0].seconds, 1700000000);
    EXPECT_EQ(frames[0].microseconds, 123456u);
    EXPECT_EQ(frames[0].wireLength, 84u);
    EXPECT_EQ(payloads[0], Pattern(84, 1));
    EXPECT_EQ(frames[1].wireLength, 3028u);
    EXPECT_EQ(payloads[1], Pattern(2000, 2));
    EXPECT_EQ(frames[2].type, FrameType::Stats);
    const auto stats = ParseStatsPayload(payloads[2]);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->received, 10u);
    EXPECT_EQ(stats->droppedByKernel, 3u);
    EXPECT_EQ(stats->droppedByInterface, 1u);
    EXPECT_TRUE(payloads[3].empty());
    EXPECT_EQ(frames[4].type, FrameType::Error);
    const auto error = ParseErrorPayload(payloads[4]);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, CaptureError::InterfaceDown);
    EXPECT_EQ(error->message, "the network interface eth0 is down");
}

TEST(FrameReader, GivesBackEveryFrameFedAtOnce) {
    FrameReader reader;
    reader.Feed(MixedStream());
    std::vector<Frame> frames;
    std::vector<Bytes> payloads;
    while (auto frame = reader.Next()) {
        frames.push_back(*frame);
        payloads.push_back(PayloadOf(*frame));
    }
    ExpectMixedStream(payloads, frames);
    EXPECT_EQ(reader.Buffered(), 0u);
    EXPECT_FALSE(reader.Corrupt());
}

// A frame appears exactly when its last byte has arrived, wherever the stream is split.
TEST(FrameReader, FrameSplitAtEveryByteAppearsOnlyWhenComplete) {
    const Bytes stream = MixedStream();
    std::vector<std::size_t> frameEnds;
    {
        std::size_t at = 0;
        while (at < stream.size()) {
            FrameHeader header;
            std::memcpy(&header, stream.data() + at, sizeof header);
            at += sizeof header + header.payloadLength;
            frameEnds.push_back(at);
        }
    }
    FrameReader reader;
    std::vector<Frame> frames;
    std::vector<Bytes> payloads;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        reader.Feed(std::span(stream).subspan(i, 1));
        auto frame = reader.Next();
        const bool completesFrame =
            std::find(frameEnds.begin(), frameEnds.end(), i + 1) != frameEnds.end();
        ASSERT_EQ(frame.has_value(), completesFrame) << "after byte " << i;
        if (frame) {
            frames.push_back(*frame);
            payloads.push_back(PayloadOf(*frame));
            EXPECT_FALSE(reader.Next().has_value());
        }
    }
    ExpectMixedStream(payloads, frames);
}

struct CorruptCase {
    const char* name;
    std::uint32_t payloadLength;
    std::uint16_t type;
    std::uint16_t reserved;
};

class CorruptHeaderTest : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptHeaderTest, StopsTheStreamAfterTheLastGoodFrame) {
    const CorruptCase& c = GetParam();
    Bytes stream;
    AppendFrame(stream, FrameType::Datagram, 1, 2, 20, Pattern(20, 3));
    FrameHeader bad{};
    bad.payloadLength = c.payloadLength;
    bad.type = c.type;
    bad.reserved = c.reserved;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&bad);
    stream.insert(stream.end(), raw, raw + sizeof bad);
    stream.resize(stream.size() + 64, 0);
    AppendFrame(stream, FrameType::Datagram, 1, 2, 20, Pattern(20, 3));

    FrameReader reader;
    reader.Feed(stream);
    ASSERT_TRUE(reader.Next().has_value());
    EXPECT_FALSE(reader.Next().has_value());
    EXPECT_TRUE(reader.Corrupt());
    EXPECT_FALSE(reader.Next().has_value()) << "nothing is read past a corrupt header";
    reader.Reset();
    EXPECT_FALSE(reader.Corrupt());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CorruptHeaderTest,
    ::testing::Values(CorruptCase{"PayloadLongerThanAnyFrame", kMaxFramePayload + 1, 2, 0},
                      CorruptCase{"HugePayloadLength", 0xFFFFFFFFu, 2, 0},
                      CorruptCase{"TypeZero", 10, 0, 0},
                      CorruptCase{"UnknownType", 10, kLastFrameType + 1, 0},
                      CorruptCase{"ReservedBitsSet", 10, 2, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AppendFrame, CutsPayloadsLongerThanAFrameCarries) {
    Bytes stream;
    AppendFrame(stream, FrameType::Datagram, 0, 0, 9000, Pattern(kMaxFramePayload + 100, 4));
    FrameReader reader;
    reader.Feed(stream);
    const auto frame = reader.Next();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(PayloadOf(*frame), Pattern(kMaxFramePayload, 4));
    EXPECT_EQ(frame->wireLength, 9000u);
}

TEST(FramePayloads, ShortErrorAndMisSizedStatsAreRefused) {
    EXPECT_FALSE(ParseErrorPayload(Bytes{1, 0, 0}).has_value());
    EXPECT_FALSE(ParseStatsPayload(Bytes(sizeof(StatsPayload) - 1, 0)).has_value());
    EXPECT_FALSE(ParseStatsPayload(Bytes(sizeof(StatsPayload) + 1, 0)).has_value());
    const auto empty = ParseErrorPayload(Bytes{4, 0, 0, 0});
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->code, CaptureError::PermissionDenied);
    EXPECT_TRUE(empty->message.empty());
}

class SocketPair {
public:
    SocketPair() {
        int ends[2] = {-1, -1};
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends);
        mReader = ends[0];
        mWriter = ends[1];
    }
    ~SocketPair() {
        if (mReader >= 0) close(mReader);
        CloseWriter();
    }
    void CloseWriter() {
        if (mWriter >= 0) close(mWriter);
        mWriter = -1;
    }
    int Reader() const { return mReader; }
    int Writer() const { return mWriter; }

private:
    int mReader = -1;
    int mWriter = -1;
};

// Many frames through a descriptor and a buffer far smaller than the stream,
// written in chunks that cut frames anywhere: every frame arrives intact and in order.
TEST(FrameReader, ReadsALongStreamThroughASmallBuffer) {
    SocketPair pair;
    ASSERT_GE(pair.Reader(), 0);
    constexpr int kFrames = 3000;
    Bytes stream;
    for (int i = 0; i < kFrames; ++i) {
        const std::size_t length = 20 + static_cast<std::size_t>(i * 37) % 1981;
        AppendFrame(stream, FrameType::Datagram, i, static_cast<std::uint32_t>(i),
                    static_cast<std::uint32_t>(length), Pattern(length, static_cast<std::uint8_t>(i)));
    }

    FrameReader reader(1);  // the smallest buffer it allows
    std::size_t written = 0;
    int received = 0;
    const std::size_t chunk = 1013;  // not a multiple of anything in the stream
    while (received < kFrames) {
        if (written < stream.size()) {
            const ssize_t n = write(pair.Writer(), stream.data() + written,
                                    std::min(chunk, stream.size() - written));
            if (n > 0) written += static_cast<std::size_t>(n);
            if (written == stream.size()) pair.CloseWriter();
        }
        const auto status = reader.Read(pair.Reader());
        ASSERT_NE(status, FrameReader::ReadStatus::Failed) << std::strerror(reader.LastErrno());
        while (auto frame = reader.Next()) {
            const std::size_t length = 20 + static_cast<std::size_t>(received * 37) % 1981;
            ASSERT_EQ(frame->seconds, received);
            ASSERT_EQ(PayloadOf(*frame), Pattern(length, static_cast<std::uint8_t>(received)))
                << "frame " << received;
            ++received;
        }
        ASSERT_FALSE(reader.Corrupt());
        if (status == FrameReader::ReadStatus::EndOfStream) break;
    }
    EXPECT_EQ(received, kFrames);
    EXPECT_EQ(reader.Read(pair.Reader()), FrameReader::ReadStatus::EndOfStream);
}

TEST(FrameReader, ReportsWouldBlockOnAnEmptyDescriptor) {
    SocketPair pair;
    FrameReader reader;
    EXPECT_EQ(reader.Read(pair.Reader()), FrameReader::ReadStatus::WouldBlock);
    EXPECT_EQ(reader.Buffered(), 0u);
}

TEST(FrameReader, ReportsAFailedReadWithItsError) {
    FrameReader reader;
    EXPECT_EQ(reader.Read(-1), FrameReader::ReadStatus::Failed);
    EXPECT_EQ(reader.LastErrno(), EBADF);
}

// Frame i of the streams below: its length and its bytes tell it apart.
std::size_t LengthOf(int i) { return 20 + static_cast<std::size_t>(i * 37) % 1981; }

Bytes NumberedFrames(int first, int count) {
    Bytes stream;
    for (int i = first; i < first + count; ++i)
        AppendFrame(stream, FrameType::Datagram, i, static_cast<std::uint32_t>(i),
                    static_cast<std::uint32_t>(LengthOf(i)), Pattern(LengthOf(i), static_cast<std::uint8_t>(i)));
    return stream;
}

// Writes all of `bytes` to a non-blocking descriptor, waiting for room.
void WriteAll(int fd, const Bytes& bytes, std::size_t chunk = 1013) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, std::min(chunk, bytes.size() - written));
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else {
            pollfd room{fd, POLLOUT, 0};
            poll(&room, 1, 1000);
        }
    }
}

bool Readable(int fd, int waitMs) {
    pollfd watched{fd, POLLIN, 0};
    return poll(&watched, 1, waitMs) == 1;
}

// Takes frames, checking each against NumberedFrames from `first`, until
// `count` have come (all: until the pump ends); says how many came and how it ended.
struct Drained {
    int frames = 0;
    CapturePump::End end = CapturePump::End::None;
};
constexpr int kAll = -1;
Drained Take(CapturePump& pump, int first = 0, int count = kAll) {
    Drained drained;
    while (drained.frames != count) {
        const auto frame = pump.TakeFrame();
        if (!frame) {
            drained.end = pump.TakenToTheEnd();
            if (drained.end != CapturePump::End::None) break;
            pump.WaitForFrames();
            continue;
        }
        const int i = first + drained.frames;
        EXPECT_EQ(frame->seconds, i);
        EXPECT_EQ(PayloadOf(*frame), Pattern(LengthOf(i), static_cast<std::uint8_t>(i))) << "frame " << i;
        ++drained.frames;
    }
    return drained;
}

// The smallest blocks the pump takes: a long stream crosses many of them,
// with frames cut anywhere by the writes.
constexpr std::size_t kSmallBlock = 1;

TEST(CapturePump, ALongStreamArrivesWholeInOrderAndThroughFewBlocks) {
    SocketPair pair;
    ASSERT_GE(pair.Reader(), 0);
    constexpr int kFrames = 4000;  // about 4 MB, many times the blocks and the socket's buffer
    const Bytes stream = NumberedFrames(0, kFrames);
    CapturePump pump(pair.Reader(), kSmallBlock, 3);
    std::thread writer([&] {
        WriteAll(pair.Writer(), stream);
        pair.CloseWriter();
    });
    // A slow start: the pump fills its blocks and waits for room, not for more memory.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(pump.BlocksHeld(), 3u);
    const Drained drained = Take(pump);
    writer.join();
    EXPECT_EQ(drained.frames, kFrames);
    EXPECT_EQ(drained.end, CapturePump::End::EndOfStream);
    EXPECT_LE(pump.BlocksMade(), 3u);
}

// A burst fills many blocks while the window takes nothing; once it is
// taken and the pump has nothing more to read, it keeps only a few of them.
TEST(CapturePump, ABurstsBlocksAreGivenBackOnceThePumpHasNothingToRead) {
    SocketPair pair;
    ASSERT_GE(pair.Reader(), 0);
    constexpr int kFrames = 400;  // about 50 of the smallest blocks
    CapturePump pump(pair.Reader(), kSmallBlock, 64);
    std::thread writer([&] { WriteAll(pair.Writer(), NumberedFrames(0, kFrames)); });
    for (int waited = 0; pump.BlocksHeld() < 40 && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(pump.BlocksHeld(), 40u) << "the pump read ahead while nothing was taken";
    EXPECT_EQ(Take(pump, 0, kFrames).frames, kFrames);
    writer.join();
    WriteAll(pair.Writer(), NumberedFrames(kFrames, 1));  // wakes the pump once more
    EXPECT_EQ(Take(pump, kFrames, 1).frames, 1);
    // The eight it keeps for reuse, and those the last frame is in.
    for (int waited = 0; pump.BlocksHeld() > 10 && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LE(pump.BlocksHeld(), 10u);
}

// The pump reads a burst into many blocks while something holds the
// process's memory map (the window's thread growing its heap, behind a
// kernel page walker): taking blocks must not wait for the map, or the
// rings overflow behind the pump.
TEST(CapturePump, ABurstIsReadWhileTheMemoryMapIsHeld) {
    SocketPair pair;
    ASSERT_GE(pair.Reader(), 0);
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    constexpr std::size_t kBlocksWanted = 4;  // few: a busy machine reads them well within the hold
    constexpr int kFrames = 16000;  // about 16 MB
    // Everything that maps memory is done before the map is held: the
    // frames, the pump, the writer's thread.
    const Bytes stream = NumberedFrames(0, kFrames);
    CapturePump pump(pair.Reader(), kBlock, 64);
    std::atomic<bool> running{false};
    std::atomic<bool> go{false};
    std::thread writer([&] {
        running = true;
        while (!go) std::this_thread::yield();
        WriteAll(pair.Writer(), stream, 64 << 10);
    });
    // A thread maps memory of its own as it starts (a sanitizer's, for one):
    // both threads are under way first, the pump's with its first block.
    while (!running || pump.BlocksHeld() == 0) std::this_thread::yield();
    testing::HeldMemoryMap held;
    ASSERT_TRUE(held.Holding());
    go = true;
    const auto deadline = testing::HeldMemoryMap::Clock::now() + std::chrono::seconds(10);
    while (pump.BlocksHeld() < kBlocksWanted && testing::HeldMemoryMap::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto read = testing::HeldMemoryMap::Clock::now();
    held.Release();
    EXPECT_GE(pump.BlocksHeld(), kBlocksWanted);
    EXPECT_EQ(Take(pump, 0, kFrames).frames, kFrames);
    writer.join();
    if (!held.HeldLongEnough()) GTEST_SKIP() << "populating took too little time here to hold the map";
    EXPECT_LT(read, held.Ended()) << "the pump waited for the memory map to take its blocks";
}

// The window starts the pump's thread before the helper, which looks for it
// by name; it reads nothing until it has its descriptor.
TEST(CapturePump, AThreadStartedBeforeItsDescriptorIsNamedAndReadsOnceStarted) {
    const auto pumpThreads = [] { return ThreadsNamed(getpid(), kCapturePumpThreadName).size(); };
    const std::size_t before = pumpThreads();
    { CapturePump neverStarted(nullptr); }  // goes without a descriptor
    SocketPair pair;
    CapturePump pump(nullptr);
    EXPECT_EQ(pumpThreads(), before + 1);
    WriteAll(pair.Writer(), NumberedFrames(0, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(pump.TakeFrame().has_value());
    EXPECT_EQ(pump.BytesWaiting(), 0u);
    pump.Start(pair.Reader());
    EXPECT_EQ(Take(pump, 0, 3).frames, 3);
}

TEST(CapturePump, EndsAfterTheWholeFramesBeforeABrokenHeaderOrACutFrame) {
    Bytes broken = NumberedFrames(0, 2);
    const Bytes cutOff = NumberedFrames(2, 1);
    Bytes cut = broken;
    cut.insert(cut.end(), cutOff.begin(), cutOff.end() - 1);
    AppendFrame(broken, FrameType::Datagram, 2, 0, 0, Pattern(10, 2));
    broken[broken.size() - 10 - sizeof(FrameHeader) + 6] = 1;  // the reserved field

    struct Case {
        const char* name;
        const Bytes& stream;
        CapturePump::End end;
    };
    for (const Case& c : {Case{"broken header", broken, CapturePump::End::Corrupt},
                          Case{"cut frame", cut, CapturePump::End::EndOfStream}}) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        CapturePump pump(pair.Reader());
        WriteAll(pair.Writer(), c.stream);
        pair.CloseWriter();
        const Drained drained = Take(pump);
        EXPECT_EQ(drained.frames, 2);
        EXPECT_EQ(drained.end, c.end);
    }
}

TEST(CapturePump, NoticesComeOnlyWhenAskedForAndOncePerAsking) {
    SocketPair pair;
    CapturePump pump(pair.Reader());
    // The first frames are news unasked.
    EXPECT_FALSE(Readable(pump.NoticeFd(), 50));
    WriteAll(pair.Writer(), NumberedFrames(0, 1));
    EXPECT_TRUE(Readable(pump.NoticeFd(), 5000));
    pump.ClearNotice();
    EXPECT_FALSE(pump.AskForNotice()) << "a frame waits: nothing to ask for";
    EXPECT_EQ(Take(pump, 0, 1).frames, 1);
    EXPECT_FALSE(pump.TakeFrame().has_value());

    ASSERT_TRUE(pump.AskForNotice());
    EXPECT_FALSE(Readable(pump.NoticeFd(), 50));
    WriteAll(pair.Writer(), NumberedFrames(1, 3));
    EXPECT_TRUE(Readable(pump.NoticeFd(), 5000));
    pump.ClearNotice();
    EXPECT_FALSE(Readable(pump.NoticeFd(), 0));
    // More frames, not asked again: quiet.
    WriteAll(pair.Writer(), NumberedFrames(4, 1));
    EXPECT_FALSE(Readable(pump.NoticeFd(), 50));
    EXPECT_EQ(Take(pump, 1, 4).frames, 4);
    EXPECT_FALSE(pump.TakeFrame().has_value());

    // The end is news too.
    ASSERT_TRUE(pump.AskForNotice());
    pair.CloseWriter();
    EXPECT_TRUE(Readable(pump.NoticeFd(), 5000));
    EXPECT_FALSE(pump.TakeFrame().has_value());
    EXPECT_EQ(pump.TakenToTheEnd(), CapturePump::End::EndOfStream);
    EXPECT_FALSE(pump.AskForNotice());
}

TEST(CapturePump, FinishTakesWhatTheDescriptorHoldsWhileTheWriterStaysOpen) {
    SocketPair pair;
    CapturePump pump(pair.Reader());
    // More than the socket's buffer holds, so the pump must have read some.
    const Bytes stream = NumberedFrames(0, 600);
    WriteAll(pair.Writer(), stream);
    pump.Finish();
    const Drained drained = Take(pump);
    EXPECT_EQ(drained.frames, 600);
    EXPECT_EQ(drained.end, CapturePump::End::Finished);
}

TEST(CapturePump, AFailedReadEndsWithItsError) {
    CapturePump pump(-1);
    pump.WaitForFrames();
    EXPECT_FALSE(pump.TakeFrame().has_value());
    EXPECT_EQ(pump.TakenToTheEnd(), CapturePump::End::Failed);
    EXPECT_EQ(pump.LastErrno(), EBADF);
}

// A pump that waits for data, or for room no taker will make, stops when it goes.
TEST(CapturePump, GoesAwayWhileWaitingForDataOrForRoom) {
    SocketPair idle;
    { CapturePump pump(idle.Reader()); }
    SocketPair full;
    auto pump = std::make_unique<CapturePump>(full.Reader(), kSmallBlock, 2);
    const Bytes stream = NumberedFrames(0, 40);  // more than two small blocks
    WriteAll(full.Writer(), stream);
    pump->WaitForFrames();
    pump.reset();
    // What it had not read is still in the socket for whoever reads next.
    Bytes rest(stream.size());
    EXPECT_GT(read(full.Reader(), rest.data(), rest.size()), 0);
}

}  // namespace
}  // namespace wirelens
