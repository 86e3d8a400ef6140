// The session's limits: when no key is left or memory runs short it refuses a
// packet whole and says why, keeping every packet filed before; and the malloc
// setting that keeps a long list's growth from copying it.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <vector>

#include "packets/available_memory.h"
#include "packets/capture_session.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

constexpr PacketTime kTime{1700000000, 0};
constexpr std::uint64_t kMiB = 1 << 20;

std::vector<std::uint8_t> Udp(std::uint8_t fill) {
    testing::DatagramFields f;
    f.protocol = 17;
    f.src = "198.51.100.2";
    f.dst = "198.51.100.1";
    f.payload.assign(10, fill);
    return testing::BuildDatagram(f);
}

TEST(SessionLimits, NoKeyLeftRefusesThePacketWholeAndKeepsTheOthers) {
    CaptureSession session;
    session.SetPacketLimit(2);
    EXPECT_EQ(session.Ingest(Udp(1), kTime).status, IngestStatus::Listed);
    EXPECT_EQ(session.Ingest(Udp(2), kTime).status, IngestStatus::Listed);
    EXPECT_EQ(session.LastRefusal(), FilingStop::None);
    const IngestResult refused = session.Ingest(Udp(3), kTime);
    EXPECT_EQ(refused.status, IngestStatus::Refused);
    EXPECT_EQ(refused.key, 0);
    EXPECT_EQ(session.LastRefusal(), FilingStop::NoKeyLeft);
    EXPECT_FALSE(session.CanFileAnother());
    EXPECT_EQ(session.Count(), 2);
    EXPECT_EQ(session.Raw().Count(), 2u) << "the refused packet's bytes are not kept either";
    EXPECT_EQ(session.Bytes(*session.Packets().Get(2)).back(), 2);

    session.Clear();
    EXPECT_EQ(session.Ingest(Udp(4), kTime).key, 1);
    EXPECT_EQ(session.LastRefusal(), FilingStop::None);
}

TEST(SessionLimits, MemoryRunningShortRefusesUntilThereIsRoomAgain) {
    CaptureSession session;
    std::uint64_t available = 900 * kMiB;
    int probes = 0;
    session.SetMemoryGuard({[&]() -> std::optional<std::uint64_t> {
                                ++probes;
                                return available;
                            },
                            256 * kMiB, 4});
    for (int i = 0; i < 6; ++i) ASSERT_NE(session.Ingest(Udp(1), kTime).status, IngestStatus::Refused) << i;
    EXPECT_EQ(probes, 2) << "looked at before the first packet and every fourth after it";

    available = 200 * kMiB;
    EXPECT_NE(session.Ingest(Udp(1), kTime).status, IngestStatus::Refused) << "not looked at for this one";
    EXPECT_NE(session.Ingest(Udp(1), kTime).status, IngestStatus::Refused);
    EXPECT_EQ(session.Ingest(Udp(9), kTime).status, IngestStatus::Refused);
    EXPECT_EQ(session.LastRefusal(), FilingStop::MemoryLow);
    EXPECT_EQ(session.Count(), 8);
    EXPECT_EQ(session.Raw().Count(), 8u);
    // Short still: every packet looks again, and is refused.
    EXPECT_EQ(session.Ingest(Udp(9), kTime).status, IngestStatus::Refused);
    available = 600 * kMiB;
    EXPECT_NE(session.Ingest(Udp(1), kTime).status, IngestStatus::Refused);
    EXPECT_EQ(session.LastRefusal(), FilingStop::None);
    EXPECT_EQ(session.Count(), 9);
}

TEST(SessionLimits, UnknownAvailableMemoryNeverStopsFiling) {
    CaptureSession session;
    session.SetMemoryGuard({[] { return std::optional<std::uint64_t>(); }, 256 * kMiB, 1});
    for (int i = 0; i < 3; ++i) EXPECT_NE(session.Ingest(Udp(1), kTime).status, IngestStatus::Refused);
}

TEST(SessionLimits, TheMachinesOwnGuardReadsProcMeminfo) {
    const auto available = AvailableMemoryBytes();
    ASSERT_TRUE(available.has_value());
    EXPECT_GT(*available, 0u);
}

struct MeminfoCase {
    const char* name;
    const char* text;
    std::optional<std::uint64_t> bytes;
};

class ParseMemAvailableTest : public ::testing::TestWithParam<MeminfoCase> {};

TEST_P(ParseMemAvailableTest, GivesBytesOrNothing) {
    EXPECT_EQ(ParseMemAvailable(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseMemAvailableTest,
    ::testing::Values(
        MeminfoCase{"Usual", "MemTotal:       24684104 kB\nMemFree:        18839332 kB\nMemAvailable:   22071716 kB\n",
                    22071716ull * 1024},
        MeminfoCase{"LastLineWithoutNewline", "MemAvailable: 5 kB", 5120},
        MeminfoCase{"Missing", "MemTotal:       24684104 kB\nMemFree:        18839332 kB\n", std::nullopt},
        MeminfoCase{"NotANumber", "MemAvailable:   lots kB\n", std::nullopt},
        MeminfoCase{"OtherUnit", "MemAvailable:   12 MB\n", std::nullopt},
        MeminfoCase{"Overflowing", "MemAvailable:   99999999999999999999 kB\n", std::nullopt},
        MeminfoCase{"PrefixOfAnotherField", "MemAvailableX:  7 kB\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// Where the blocks go, so that the compiler cannot leave a malloc and its free out.
void* volatile gBlock = nullptr;

// After a large block is freed glibc would serve the next one from the heap,
// where growing it copies it; kept mapped, it grows by moving pages.
TEST(LargeBlocks, StayMappedAfterALargerOneIsFreed) {
    if (!KeepLargeBlocksMapped()) GTEST_SKIP() << "this allocator (a sanitizer's) has no mapping threshold";
    gBlock = std::malloc(4 * static_cast<std::size_t>(kMappedBlockBytes));
    ASSERT_NE(gBlock, nullptr);
    std::free(gBlock);
    const auto mappedBefore = mallinfo2().hblks;
    gBlock = std::malloc(2 * static_cast<std::size_t>(kMappedBlockBytes));
    ASSERT_NE(gBlock, nullptr);
    EXPECT_EQ(mallinfo2().hblks, mappedBefore + 1);
    std::free(gBlock);
}

}  // namespace
}  // namespace wirelens
