// The ring of datagram frames that the capture helper and the window share,
// alone, across two processes, and behind the pump.
#include "capture/shared_ring.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_pump.h"
#include "capture/huge_chunk.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSmallRing = RingMapping::kMinCapacity;

// Frame i: `seconds` is i, the payload a length and pattern that depend on i
// (0 to 2000 bytes), so a frame cut, shifted or repeated shows.
std::size_t LengthOf(int i) { return static_cast<std::size_t>(i) * 7919 % 2001; }
Bytes PayloadOf(int i) {
    Bytes bytes(LengthOf(i));
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>(i + k * 13);
    return bytes;
}
bool AppendNumbered(RingProducer& producer, int i) {
    return producer.Append(FrameType::Datagram, i, static_cast<std::uint32_t>(i % 1000000),
                           static_cast<std::uint32_t>(LengthOf(i) + 1), PayloadOf(i));
}
void ExpectNumbered(const Frame& frame, int i) {
    ASSERT_EQ(frame.type, FrameType::Datagram);
    ASSERT_EQ(frame.seconds, i);
    EXPECT_EQ(frame.wireLength, LengthOf(i) + 1);
    EXPECT_EQ(Bytes(frame.payload.begin(), frame.payload.end()), PayloadOf(i)) << "frame " << i;
}

std::unique_ptr<RingMapping> MakeRing(std::size_t capacity = kSmallRing) {
    std::string error;
    auto ring = RingMapping::Create(capacity, error);
    EXPECT_TRUE(ring) << error;
    return ring;
}

// A second mapping of the same memory, as the other process has it.
std::unique_ptr<RingMapping> AttachTo(const RingMapping& ring) {
    std::string error;
    auto attached = RingMapping::Attach(dup(ring.Fd()), error);
    EXPECT_TRUE(attached) << error;
    return attached;
}

// Numbered frames from 0 until one does not fit, published; how many fitted.
int FillAndPublish(RingProducer& producer) {
    int written = 0;
    while (AppendNumbered(producer, written)) ++written;
    producer.Publish();
    return written;
}

// Whether each page of [at, at + bytes) is mapped in this process (the
// present bit of /proc/self/pagemap, which needs no privilege).
std::vector<bool> MappedPages(const std::uint8_t* at, std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<bool> mapped(bytes / page);
    const int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::vector<std::uint64_t> entries(mapped.size());
    const off_t first = static_cast<off_t>(reinterpret_cast<std::uintptr_t>(at) / page * sizeof(std::uint64_t));
    const auto wanted = static_cast<ssize_t>(entries.size() * sizeof(std::uint64_t));
    const bool read = pread(fd, entries.data(), static_cast<std::size_t>(wanted), first) == wanted;
    close(fd);
    if (!read) return {};
    for (std::size_t i = 0; i < entries.size(); ++i) mapped[i] = (entries[i] >> 63) != 0;
    return mapped;
}

// The producer writes through its own mapping, or (as the helper does) into
// the consumer's mapping from its process; here both are this one.
struct WriteWay {
    const char* name;
    bool intoConsumer;
};
void PrintTo(const WriteWay& w, std::ostream* out) { *out << w.name; }
class SharedRingWritten : public ::testing::TestWithParam<WriteWay> {};

TEST_P(SharedRingWritten, FramesOfEverySizeCrossTheEndWholeAndInOrder) {
    auto ring = MakeRing();
    auto other = AttachTo(*ring);
    ASSERT_TRUE(ring && other);
    RingProducer producer(*other, GetParam().intoConsumer ? getpid() : 0);
    ASSERT_EQ(producer.WritesRemotely(), GetParam().intoConsumer);
    RingConsumer consumer(*ring);
    // Many times round a 64 KiB ring, in bursts of varying size, so records
    // start and end at every distance from its end.
    int written = 0;
    int read = 0;
    for (int burst = 0; burst < 400; ++burst) {
        for (int k = 0; k < burst % 37 + 1 && AppendNumbered(producer, written); ++k) ++written;
        producer.Publish();
        while (auto frame = consumer.Next()) {
            ExpectNumbered(*frame, read);
            ++read;
        }
        ASSERT_FALSE(consumer.Corrupt());
        ASSERT_EQ(read, written);
    }
    EXPECT_GT(written * 1000, static_cast<int>(20 * kSmallRing)) << "went round the ring many times";
    EXPECT_EQ(producer.Dropped(), 0u);
    // Written through its own mapping, a ring this small stays mapped whole
    // in the producer, which writes only the first copy of the records,
    // across their end in two pieces. Written into the consumer's, none of
    // the producer's pages is.
    WaitForFaultAhead();
    const std::vector<bool> mapped = MappedPages(other->Records(), 2 * kSmallRing);
    ASSERT_FALSE(mapped.empty());
    EXPECT_EQ(std::count(mapped.begin(), mapped.begin() + mapped.size() / 2, true),
              GetParam().intoConsumer ? 0 : mapped.size() / 2);
    EXPECT_EQ(std::count(mapped.begin() + mapped.size() / 2, mapped.end(), true), 0);
}

// Records staged past what one write takes go out in pieces, and become
// visible only when published, all at once.
TEST_P(SharedRingWritten, ABatchLargerThanTheStageShowsOnlyWhenPublishedAndWhole) {
    auto ring = MakeRing(1 << 20);
    auto other = AttachTo(*ring);
    ASSERT_TRUE(ring && other);
    RingProducer producer(*other, GetParam().intoConsumer ? getpid() : 0);
    RingConsumer consumer(*ring);
    int written = 0;
    std::size_t bytes = 0;
    while (bytes < 3 * RingProducer::kStageBytes) {
        ASSERT_TRUE(AppendNumbered(producer, written));
        bytes += RingRecordBytes(LengthOf(written++));
    }
    EXPECT_FALSE(consumer.Next()) << "nothing is visible before it is published";
    producer.Publish();
    for (int i = 0; i < written; ++i) {
        const auto frame = consumer.Next();
        ASSERT_TRUE(frame) << "frame " << i;
        ExpectNumbered(*frame, i);
    }
    EXPECT_FALSE(consumer.Next());
    EXPECT_FALSE(producer.Broken());
}

INSTANTIATE_TEST_SUITE_P(Ways, SharedRingWritten,
                         ::testing::Values(WriteWay{"ThroughItsOwnMapping", false},
                                           WriteWay{"IntoTheConsumersMapping", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A consumer address that is not this ring's (another ring's, here) is
// found out before anything is written there: the producer writes through
// its own mapping, and the other ring is left as it was but for its probe.
TEST(SharedRing, AConsumerAddressOfAnotherRingIsNotWrittenTo) {
    auto ring = MakeRing();
    auto stranger = MakeRing();
    ASSERT_TRUE(ring && stranger);
    ring->Positions().makerAddress = reinterpret_cast<std::uintptr_t>(&stranger->Positions());
    auto other = AttachTo(*ring);
    ASSERT_TRUE(other);
    RingProducer producer(*other, getpid());
    EXPECT_FALSE(producer.WritesRemotely());
    RingConsumer consumer(*ring);
    const int written = FillAndPublish(producer);
    for (int i = 0; i < written; ++i) {
        const auto frame = consumer.Next();
        ASSERT_TRUE(frame) << "frame " << i;
        ExpectNumbered(*frame, i);
    }
    EXPECT_EQ(stranger->Positions().published.load(), 0u);
    EXPECT_TRUE(std::all_of(stranger->Records(), stranger->Records() + kSmallRing,
                            [](std::uint8_t b) { return b == 0; }));
}

// A consumer that is gone takes nothing more: the producer stops and says
// why rather than count its frames as handed over.
TEST(SharedRing, AConsumerThatEndedBreaksTheRingForItsProducer) {
    auto ring = MakeRing();
    ASSERT_TRUE(ring);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t consumer = fork();
    ASSERT_GE(consumer, 0);
    if (consumer == 0) {
        // Holds the ring as its maker did, and ends when told.
        char c;
        close(pipeEnds[1]);
        _exit(read(pipeEnds[0], &c, 1) >= 0 ? 0 : 1);
    }
    close(pipeEnds[0]);
    auto other = AttachTo(*ring);
    ASSERT_TRUE(other);
    RingProducer producer(*other, consumer);
    ASSERT_TRUE(producer.WritesRemotely());
    ASSERT_TRUE(AppendNumbered(producer, 0));
    producer.Publish();
    EXPECT_FALSE(producer.Broken());
    close(pipeEnds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(consumer, &status, 0), consumer);
    AppendNumbered(producer, 1);
    EXPECT_FALSE(producer.Publish());
    EXPECT_TRUE(producer.Broken());
    EXPECT_NE(producer.Failure().find("cannot write the shared ring"), std::string::npos) << producer.Failure();
    EXPECT_FALSE(AppendNumbered(producer, 2));
    EXPECT_EQ(producer.Dropped(), 2u) << "the frame staged but not written, and the one refused";
}

TEST(SharedRing, TheProducerHasEveryPageMappedBeforeItWrites) {
    constexpr std::size_t kCapacity = 4 << 20;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto ring = MakeRing(kCapacity);
    auto other = AttachTo(*ring);
    ASSERT_TRUE(ring && other);
    RingProducer producer(*other);
    // Nothing written yet: the pages were mapped off this thread, and only
    // the first copy of the records, which is all the producer writes.
    WaitForFaultAhead();
    const std::vector<bool> mapped = MappedPages(other->Records(), 2 * kCapacity);
    ASSERT_EQ(mapped.size(), 2 * kCapacity / page);
    EXPECT_EQ(std::count(mapped.begin(), mapped.begin() + mapped.size() / 2, true), kCapacity / page);
    EXPECT_EQ(std::count(mapped.begin() + mapped.size() / 2, mapped.end(), true), 0);
}

TEST(SharedRing, AConsumerThatStopsReadingMakesTheProducerCountDropsNotWait) {
    auto ring = MakeRing();
    RingProducer producer(*ring);
    RingConsumer consumer(*ring);
    const int written = FillAndPublish(producer);
    // Full (the frame that did not fit was the first drop): every further
    // frame is refused at once and counted.
    for (int k = 0; k < 1000; ++k) EXPECT_FALSE(AppendNumbered(producer, written));
    EXPECT_EQ(producer.Dropped(), 1001u);
    EXPECT_LT(producer.Room(), RingRecordBytes(LengthOf(written)));

    // Reading again makes room; what was written before the drops is whole.
    int read = 0;
    while (auto frame = consumer.Next()) ExpectNumbered(*frame, read++);
    EXPECT_EQ(read, written);
    EXPECT_EQ(producer.Room(), kSmallRing);
    EXPECT_TRUE(AppendNumbered(producer, written));
}

TEST(SharedRing, TheFrameHandedOutStaysUntilTheNextCall) {
    auto ring = MakeRing();
    RingProducer producer(*ring);
    RingConsumer consumer(*ring);
    const int written = FillAndPublish(producer);
    // Take all but the last; the ring's release runs ahead of none of them.
    for (int i = 0; i < written; ++i) {
        const auto frame = consumer.Next();
        ASSERT_TRUE(frame);
        // Whatever room the producer is given now must not reach this frame.
        while (AppendNumbered(producer, 1000000 + i)) {
        }
        ExpectNumbered(*frame, i);
    }
}

TEST(SharedRing, AWakeIsAskedOnlyWhenNothingWaitsAndGivenOnce) {
    auto ring = MakeRing();
    RingProducer producer(*ring);
    RingConsumer consumer(*ring);
    // A new ring's consumer waits for the first frames.
    AppendNumbered(producer, 0);
    EXPECT_TRUE(producer.Publish());
    AppendNumbered(producer, 1);
    EXPECT_FALSE(producer.Publish()) << "told once per asking";

    EXPECT_FALSE(consumer.AskForWake()) << "frames wait";
    EXPECT_FALSE(producer.Publish());
    ASSERT_TRUE(consumer.Next());
    ASSERT_TRUE(consumer.Next());
    EXPECT_FALSE(consumer.Next());
    EXPECT_TRUE(consumer.AskForWake());
    AppendNumbered(producer, 2);
    EXPECT_TRUE(producer.Publish());
    EXPECT_FALSE(producer.Publish());
}

// The producer in a child process, as the capture helper is: it gets the
// descriptor only, maps it itself and writes as fast as the ring lets it.
TEST(SharedRing, AProducerInAnotherProcessHandsOverEveryFrame) {
    auto ring = MakeRing(256 << 10);
    ASSERT_TRUE(ring);
    constexpr int kFrames = 50000;  // about 50 MB through a 256 KiB ring
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto mapped = RingMapping::Attach(ring->Fd(), error);
        if (!mapped) _exit(2);
        RingProducer producer(*mapped, getppid());
        if (!producer.WritesRemotely()) _exit(3);
        for (int i = 0; i < kFrames;) {
            if (AppendNumbered(producer, i)) {
                ++i;
                if (i % 16 == 0) producer.Publish();
            } else {
                producer.Publish();
                sched_yield();
            }
        }
        producer.Publish();
        // Every record went into the parent's mapping: none of this one's pages is in.
        const std::vector<bool> pages = MappedPages(mapped->Records(), 2 * mapped->Capacity());
        if (pages.empty() || std::count(pages.begin(), pages.end(), true) != 0) _exit(4);
        _exit(0);
    }
    RingConsumer consumer(*ring);
    int read = 0;
    int status = 0;
    bool ended = false;
    while (read < kFrames && !consumer.Corrupt() && !::testing::Test::HasFailure()) {
        if (auto frame = consumer.Next()) {
            ExpectNumbered(*frame, read++);
        } else if (ended) {
            break;  // ended, and all it published is read
        } else {
            ended = waitpid(child, &status, WNOHANG) == child;
        }
    }
    if (!ended) {
        ASSERT_EQ(waitpid(child, &status, 0), child);
    }
    EXPECT_EQ(read, kFrames);
    EXPECT_FALSE(consumer.Corrupt());
    // 2: could not map the ring; 3: could not write the parent's mapping;
    // 4: its own pages were written.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child's status " << status;
}

TEST(SharedRing, AProducerThatDiesMidWriteLeavesOnlyWholePublishedFrames) {
    auto ring = MakeRing();
    ASSERT_TRUE(ring);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto mapped = RingMapping::Attach(ring->Fd(), error);
        if (!mapped) _exit(2);
        RingProducer producer(*mapped);
        for (int i = 0; i < 10; ++i) AppendNumbered(producer, i);
        producer.Publish();
        // Half a record more, never published, then killed.
        AppendNumbered(producer, 10);
        std::memset(mapped->Records() + 20000, 0xA5, 3000);
        raise(SIGKILL);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    RingConsumer consumer(*ring);
    for (int i = 0; i < 10; ++i) {
        const auto frame = consumer.Next();
        ASSERT_TRUE(frame) << "frame " << i;
        ExpectNumbered(*frame, i);
    }
    EXPECT_FALSE(consumer.Next());
    EXPECT_FALSE(consumer.Corrupt());
}

TEST(SharedRing, PositionsThatCannotBeAreCaughtOnBothSides) {
    struct Case {
        const char* name;
        void (*spoil)(RingMapping&);
        bool producerBroken;
        bool consumerCorrupt;
    };
    const Case cases[] = {
        {"released beyond what was written",
         [](RingMapping& r) { r.Positions().released.store(1 << 20); }, true, false},
        {"published more than the ring holds",
         [](RingMapping& r) { r.Positions().published.store(r.Capacity() + 8); }, false, true},
        {"a record with an unknown type",
         [](RingMapping& r) {
             r.Records()[4] = 99;
             r.Positions().published.store(64);
         },
         false, true},
        {"a record longer than what was published",
         [](RingMapping& r) {
             FrameHeader header{};
             header.type = static_cast<std::uint16_t>(FrameType::Datagram);
             header.payloadLength = 1000;
             std::memcpy(r.Records(), &header, sizeof header);
             r.Positions().published.store(512);
         },
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ring = MakeRing();
        ASSERT_TRUE(ring);
        RingProducer producer(*ring);
        RingConsumer consumer(*ring);
        c.spoil(*ring);
        EXPECT_FALSE(consumer.Next());
        EXPECT_EQ(consumer.Corrupt(), c.consumerCorrupt);
        EXPECT_EQ(producer.Room() == 0, c.producerBroken);
        EXPECT_EQ(producer.Broken(), c.producerBroken);
        EXPECT_EQ(AppendNumbered(producer, 0), !c.producerBroken);
    }
}

// A descriptor the helper is handed on its input must be a ring; anything
// else is refused before it is mapped, and left as it was.
TEST(SharedRing, AttachRefusesWhatIsNotASealedRing) {
    auto ring = MakeRing();
    ASSERT_TRUE(ring);
    char path[] = "/tmp/wirelens-ring-test-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    ASSERT_EQ(ftruncate(file, static_cast<off_t>(4096 + kSmallRing)), 0);
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, static_cast<off_t>(4096 + kSmallRing)), 0);
    const int oddSize = memfd_create("odd", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_EQ(ftruncate(oddSize, static_cast<off_t>(4096 + kSmallRing + 4096)), 0);
    fcntl(oddSize, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
    const std::string readOnlyPath = "/proc/self/fd/" + std::to_string(ring->Fd());
    const int readOnly = open(readOnlyPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);

    struct Case {
        const char* name;
        int fd;
    };
    for (const Case& c : {Case{"a file on disk", file}, Case{"memory that could shrink", unsealed},
                          Case{"a size no ring has", oddSize}, Case{"open for reading only", readOnly},
                          Case{"/dev/null", devNull}, Case{"no descriptor", -1}}) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(RingMapping::Attach(c.fd, error));
        EXPECT_FALSE(error.empty());
        if (c.fd >= 0) {
            EXPECT_NE(fcntl(c.fd, F_GETFD), -1) << "left open for its owner";
        }
    }
    for (int fd : {file, unsealed, oddSize, readOnly, devNull}) close(fd);
}

long ResidentBytesOfProcess() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// The producer's first round would otherwise make each page as it goes.
TEST(SharedRing, PreparedRecordsAreMadeOffThisThreadAndARingMayGoMeanwhile) {
    constexpr std::size_t kCapacity = 16 << 20;
    auto ring = MakeRing(kCapacity);
    ASSERT_TRUE(ring);
    const long before = ResidentBytesOfProcess();
    ring->PrepareRecords();
    WaitForFaultAhead();
    EXPECT_GE(ResidentBytesOfProcess() - before, static_cast<long>(kCapacity - kCapacity / 8));
    // Rings dropped while their pages are still being made: nothing is written after they go.
    for (int i = 0; i < 8; ++i) {
        auto shortLived = MakeRing(kCapacity);
        ASSERT_TRUE(shortLived);
        shortLived->PrepareRecords();
    }
    WaitForFaultAhead();
}

TEST(SharedRing, ARingIsMadeOnlyOfAPowerOfTwoWithinTheLimits) {
    for (std::size_t capacity : {std::size_t{0}, kSmallRing / 2, kSmallRing + 4096, RingMapping::kMaxCapacity * 2}) {
        std::string error;
        EXPECT_FALSE(RingMapping::Create(capacity, error)) << capacity;
        EXPECT_FALSE(error.empty());
    }
}

// The pump with a ring: datagrams from the ring, the rest from the stream.
class PumpWithRing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, mEnds), 0);
        mRing = MakeRing();
        ASSERT_TRUE(mRing);
        mProducerSide = AttachTo(*mRing);
        ASSERT_TRUE(mProducerSide);
        mProducer.emplace(*mProducerSide);
    }
    void StartPump(std::size_t blockBytes = CapturePump::kBlockBytes,
                   std::size_t maxBlocks = CapturePump::kMaxBlocks) {
        mPump = std::make_unique<CapturePump>(mEnds[0], std::move(mRing), blockBytes, maxBlocks);
    }
    void TearDown() override {
        mPump.reset();
        close(mEnds[0]);
        if (mEnds[1] >= 0) close(mEnds[1]);
    }
    void Send(const Bytes& frames) {
        ASSERT_EQ(write(mEnds[1], frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    }
    // Publishes, and sends the Published frame when the pump's side asked.
    void Publish() {
        if (!mProducer->Publish()) return;
        Bytes frame;
        AppendFrame(frame, FrameType::Published, 0, 0, 0, {});
        Send(frame);
    }
    // The next frame, waited for up to `ms` (the notice is the window's to
    // ask for and clear, so it is not used here).
    std::optional<Frame> TakeWithin(int ms) {
        for (int waited = 0;; ++waited) {
            if (auto frame = mPump->TakeFrame()) return frame;
            if (mPump->TakenToTheEnd() != CapturePump::End::None || waited >= ms) return std::nullopt;
            usleep(1000);
        }
    }

    // Appends frame i once the ring has room for it, which only the pump's
    // thread can make; false when it has none within `ms`.
    bool AppendWhenRoom(int i, int ms) {
        for (int waited = 0; mProducer->Room() < RingRecordBytes(LengthOf(i)); ++waited) {
            if (waited >= ms) return false;
            usleep(1000);
        }
        return AppendNumbered(*mProducer, i);
    }

    int mEnds[2] = {-1, -1};
    std::unique_ptr<RingMapping> mRing;  // until the pump has it
    std::unique_ptr<RingMapping> mProducerSide;
    std::optional<RingProducer> mProducer;
    std::unique_ptr<CapturePump> mPump;
};

TEST_F(PumpWithRing, AnErrorComesAfterEveryDatagramTheRingHeldBeforeIt) {
    StartPump();
    std::size_t datagramBytes = 0;  // as on the stream: the ring's padding is not kept
    for (int i = 0; i < 20; ++i) {
        AppendNumbered(*mProducer, i);
        datagramBytes += sizeof(FrameHeader) + LengthOf(i);
    }
    Bytes stream;
    AppendStatsFrame(stream, 5, 0, StatsPayload{20, 0, 0});
    AppendErrorFrame(stream, CaptureError::AddressRemoved, "gone");
    // The helper's order: the datagrams published, then the news after them.
    Publish();
    Send(stream);
    close(mEnds[1]);
    mEnds[1] = -1;
    // The pump's thread has read the whole stream before anything is taken.
    for (int waited = 0; mPump->BytesWaiting() < datagramBytes + stream.size() && waited < 5000; waited += 5)
        usleep(5000);
    ASSERT_EQ(mPump->BytesWaiting(), datagramBytes + stream.size()) << "the Published frame is not kept";

    int datagrams = 0;
    bool stats = false;
    bool error = false;
    while (auto frame = TakeWithin(5000)) {
        if (frame->type == FrameType::Datagram) {
            EXPECT_FALSE(error) << "a datagram after the error";
            ExpectNumbered(*frame, datagrams++);
        }
        stats |= frame->type == FrameType::Stats;
        error |= frame->type == FrameType::Error;
        EXPECT_NE(frame->type, FrameType::Published) << "the pump's own business";
    }
    EXPECT_EQ(datagrams, 20);
    EXPECT_TRUE(stats);
    EXPECT_TRUE(error);
    EXPECT_EQ(mPump->TakenToTheEnd(), CapturePump::End::EndOfStream);
}

TEST_F(PumpWithRing, TheRingsNewFramesGiveNoticeOnlyWhenAskedFor) {
    StartPump();
    // The first frames are news unasked.
    AppendNumbered(*mProducer, 0);
    Publish();
    pollfd notice{mPump->NoticeFd(), POLLIN, 0};
    ASSERT_EQ(poll(&notice, 1, 5000), 1);
    mPump->ClearNotice();
    ASSERT_TRUE(TakeWithin(0));
    EXPECT_FALSE(mPump->TakeFrame());

    ASSERT_TRUE(mPump->AskForNotice());
    AppendNumbered(*mProducer, 1);
    Publish();
    ASSERT_EQ(poll(&notice, 1, 5000), 1);
    mPump->ClearNotice();
    // Not asked again: more frames stay quiet.
    AppendNumbered(*mProducer, 2);
    Publish();
    EXPECT_EQ(poll(&notice, 1, 50), 0);
    for (int i = 1; i <= 2; ++i) {
        const auto frame = TakeWithin(0);
        ASSERT_TRUE(frame);
        ExpectNumbered(*frame, i);
    }
    EXPECT_EQ(mPump->BytesWaiting(), 0u);
    EXPECT_GE(mPump->PeakBytes(), RingRecordBytes(LengthOf(1)));
}

TEST_F(PumpWithRing, ABrokenRingEndsTheReadingAsCorrupt) {
    StartPump();
    AppendNumbered(*mProducer, 0);
    Publish();
    mProducerSide->Positions().published.store(RingMapping::kMaxCapacity);
    Bytes wake;  // as the helper sends with its next frames
    AppendFrame(wake, FrameType::Published, 0, 0, 0, {});
    Send(wake);
    // The frame taken before the position broke may still come; nothing after it.
    int taken = 0;
    while (auto frame = TakeWithin(5000)) ExpectNumbered(*frame, taken++);
    EXPECT_LE(taken, 1);
    EXPECT_EQ(mPump->TakenToTheEnd(), CapturePump::End::Corrupt);
}

// The window may take nothing for a while (painting, a disk behind): the
// pump's thread empties the ring meanwhile, so a small ring loses nothing.
TEST_F(PumpWithRing, TheRingIsEmptiedWhileTheWindowTakesNothing) {
    StartPump();
    int written = 0;
    std::size_t bytes = 0;
    for (; bytes < 8 * kSmallRing; bytes += RingRecordBytes(LengthOf(written++))) {
        ASSERT_TRUE(AppendWhenRoom(written, 5000)) << "the pump left the ring full at frame " << written;
        Publish();
    }
    EXPECT_EQ(mProducer->Dropped(), 0u);
    for (int i = 0; i < written; ++i) {
        const auto frame = TakeWithin(5000);
        ASSERT_TRUE(frame) << "frame " << i;
        ExpectNumbered(*frame, i);
    }
    EXPECT_FALSE(mPump->TakeFrame());
    // Every byte the ring was ever given, published and taken: the counts that
    // tell a frame lost after the helper from one it never wrote.
    EXPECT_EQ(mPump->RingBytesPublished(), bytes);
    EXPECT_EQ(mPump->RingBytesTaken(), bytes);
}

// Blocks freed after a burst are given back and taken again in a later one;
// each must start empty. One that kept its old publish mark and seal looked
// done to a taker that caught up inside it, and what the pump wrote into it
// afterwards was lost: a flood lost the tail of one block, unreported.
TEST_F(PumpWithRing, ABlockTakenAgainAfterItsPagesWentBackLosesNothing) {
    const std::size_t blockBytes = 2 * kLargestFrame;
    StartPump(blockBytes, 64);
    int written = 0;
    int taken = 0;
    // Frames for about `blocks` blocks, none taken meanwhile.
    const auto burst = [&](std::size_t blocks) {
        const std::size_t until = mPump->BytesWaiting() + blocks * blockBytes;
        while (mPump->BytesWaiting() < until) {
            ASSERT_TRUE(AppendWhenRoom(written, 5000)) << "frame " << written;
            ++written;
            Publish();
        }
    };
    const auto takeAll = [&] {
        while (taken < written) {
            const auto frame = TakeWithin(5000);
            ASSERT_TRUE(frame) << "frame " << taken << " of " << written;
            ExpectNumbered(*frame, taken++);
        }
        // Caught up inside the block being written: it is not done with.
        EXPECT_FALSE(mPump->TakeFrame());
    };
    burst(24);  // many blocks, freed once taken
    takeAll();
    burst(12);  // past the few kept: blocks whose pages went back
    takeAll();
    burst(3);   // into the block the taker caught up in, and on
    takeAll();
    EXPECT_EQ(mProducer->Dropped(), 0u);
}

// The pump holds at most its blocks; past them the ring fills, and the
// producer counts drops without waiting, as with a window that stopped.
TEST_F(PumpWithRing, APumpAtItsLimitLeavesTheRingToFillAndTheProducerCountsDrops) {
    constexpr std::size_t kBlocks = 2;
    StartPump(2 * kLargestFrame, kBlocks);
    std::vector<int> accepted;
    constexpr int kOffered = 1000;  // about twelve times what the ring and the blocks hold
    for (int i = 0; i < kOffered; ++i) {
        if (AppendNumbered(*mProducer, i)) accepted.push_back(i);
        Publish();
        if (i % 50 == 0) usleep(2000);  // time for the pump to take what it can
    }
    ASSERT_GT(mProducer->Dropped(), 0u);
    EXPECT_EQ(accepted.size() + mProducer->Dropped(), static_cast<std::size_t>(kOffered));
    EXPECT_LE(mPump->BlocksMade(), kBlocks);
    for (const int i : accepted) {
        const auto frame = TakeWithin(5000);
        ASSERT_TRUE(frame) << "frame " << i;
        ExpectNumbered(*frame, i);
    }
    EXPECT_FALSE(mPump->TakeFrame());
}

}  // namespace
}  // namespace wirelens
