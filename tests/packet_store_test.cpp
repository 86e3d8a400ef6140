#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

#include "packets/capture_time.h"
#include "packets/clv.h"
#include "packets/list_view_mode.h"
#include "packets/packet_store.h"
#include "tests/datagram_builder.h"
#include "tests/held_memory_map.h"
#include "tests/vm_flags.h"

namespace wirelens {
namespace {

using testing::Addr;

clV Record(std::uint8_t proto, const char* src, const char* dst, std::int32_t size = 0, std::uint32_t data = 1) {
    clV r;
    const bool ports = proto == 6 || proto == 17;
    r.add(proto, Addr(src), ports ? std::optional<std::uint16_t>(1234) : std::nullopt, Addr(dst),
          ports ? std::optional<std::uint16_t>(80) : std::nullopt, size, data, CaptureTime{});
    return r;
}

TEST(clV, AddFillsMembersDespiteItsParameterOrder) {
    clV r;
    // add's order: Proto, SrcAddr, SrcPort, DestAddr, DestPort, Size, Data, Hora.
    r.add(6, Addr("198.51.100.2"), std::uint16_t{8080}, Addr("203.0.113.9"), std::uint16_t{443}, -7, 42,
          CaptureTime{5023345});
    EXPECT_EQ(r.mProtocol(), "TCP");
    EXPECT_EQ(r.mSrcAddr(), "198.51.100.2");
    EXPECT_EQ(r.mDestAddr(), "203.0.113.9");
    EXPECT_EQ(r.mSrcPort(), "8080");
    EXPECT_EQ(r.mDestPort(), "443");
    EXPECT_EQ(r.mSize(), "-7");
    EXPECT_EQ(r.mData(), "42");
    EXPECT_EQ(r.mHora().substr(0, 8), "13:57:13");
}

// Fields share words in the record: none may leak into another.
TEST(clV, PackedFieldsKeepTheirValuesAtTheirLimits) {
    struct Case {
        const char* name;
        std::uint8_t proto;
        std::int32_t size;
        std::int32_t sizeKept;
        std::uint32_t nanoseconds;
        bool ports;
    };
    const Case cases[] = {
        {"highest protocol, size -1", 255, -1, -1, 999999999, true},
        {"protocol 0, largest size", 0, clV::kMaxSize, clV::kMaxSize, 0, false},
        {"smallest size", 17, clV::kMinSize, clV::kMinSize, 1, true},
        {"sizes past 24 bits held at the ends", 6, 1 << 30, clV::kMaxSize, 500, true},
        {"negative past 24 bits", 6, -(1 << 30), clV::kMinSize, 500, false},
    };
    for (const Case& c : cases) {
        clV r;
        r.add(c.proto, 1, c.ports ? std::optional<std::uint16_t>(65535) : std::nullopt, 2,
              c.ports ? std::optional<std::uint16_t>(1) : std::nullopt, c.size, 0xffffffffu, CaptureTime{});
        EXPECT_FALSE(r.Timestamp().has_value()) << c.name;
        r.SetTimestamp(PacketTime{1700000000, c.nanoseconds});
        EXPECT_EQ(r.Protocol(), c.proto) << c.name;
        EXPECT_EQ(r.Size(), c.sizeKept) << c.name;
        EXPECT_EQ(r.HasPorts(), c.ports) << c.name;
        EXPECT_EQ(r.SrcPort(), c.ports ? 65535 : 0) << c.name;
        EXPECT_EQ(r.DataPosition(), 0xffffffffu) << c.name;
        ASSERT_TRUE(r.Timestamp().has_value()) << c.name;
        EXPECT_EQ(r.Timestamp()->seconds, 1700000000) << c.name;
        EXPECT_EQ(r.Timestamp()->nanoseconds, c.nanoseconds) << c.name;
    }
}

TEST(clV, ProtocolsWithoutPortsHaveEmptyPortTexts) {
    const clV icmp = Record(1, "198.51.100.2", "198.51.100.1", 40);
    EXPECT_EQ(icmp.mProtocol(), "ICMP");
    EXPECT_EQ(icmp.mSrcPort(), "");
    EXPECT_EQ(icmp.mDestPort(), "");
    EXPECT_EQ(Record(2, "1.2.3.4", "5.6.7.8").mProtocol(), "2");
    EXPECT_EQ(Record(17, "1.2.3.4", "5.6.7.8").mSrcPort(), "1234");
}

TEST(CaptureTimeText, TruncatesToHundredthsAndUsesTheSeparator) {
    EXPECT_EQ(CaptureTimeText(CaptureTime{0}, "."), "00:00:00.00");
    EXPECT_EQ(CaptureTimeText(CaptureTime{8639999}, "."), "23:59:59.99");
    EXPECT_EQ(CaptureTimeText(CaptureTime{5060745}, ","), "14:03:27,45");
}

TEST(CaptureTimeOf, SecondsAndHundredthsComeFromOneTimestamp) {
    // In UTC the time of day is the timestamp modulo a day.
    setenv("TZ", "UTC", 1);
    tzset();
    const std::int64_t midnight = 1700006400;  // 2023-11-15 00:00:00 UTC
    EXPECT_EQ(CaptureTimeText(CaptureTimeOf(midnight, 0), "."), "00:00:00.00");
    EXPECT_EQ(CaptureTimeText(CaptureTimeOf(midnight, 999999), "."), "00:00:00.99");
    EXPECT_EQ(CaptureTimeText(CaptureTimeOf(midnight + 1, 5000), "."), "00:00:01.00");
    EXPECT_EQ(CaptureTimeText(CaptureTimeOf(midnight + 50607, 459999), "."), "14:03:27.45");
    // The per-second cache must follow a change of second in both directions.
    EXPECT_EQ(CaptureTimeText(CaptureTimeOf(midnight - 1, 990000), "."), "23:59:59.99");
    unsetenv("TZ");
    tzset();
}

TEST(PacketStore, KeysRunFromOneWithoutGapsAndRestartAfterClear) {
    PacketStore store;
    EXPECT_EQ(store.Count(), 0);
    EXPECT_EQ(store.Get(1), nullptr);
    EXPECT_FALSE(store.Put(2, Record(1, "1.1.1.1", "2.2.2.2")));  // would leave a gap
    EXPECT_FALSE(store.Put(0, Record(1, "1.1.1.1", "2.2.2.2")));
    constexpr std::int32_t kCount = PacketStore::kChunkRecords + 4464;  // crosses a chunk boundary
    for (std::int32_t key = 1; key <= kCount; ++key) {
        ASSERT_TRUE(store.Put(key, Record(17, "1.1.1.1", "2.2.2.2", key)));
    }
    EXPECT_EQ(store.Count(), kCount);
    EXPECT_EQ(store.Get(PacketStore::kChunkRecords)->Size(), PacketStore::kChunkRecords);
    EXPECT_EQ(store.Get(PacketStore::kChunkRecords + 1)->Size(), PacketStore::kChunkRecords + 1);
    EXPECT_EQ(store.Get(kCount + 1), nullptr);
    EXPECT_TRUE(store.Put(3, Record(1, "9.9.9.9", "2.2.2.2")));  // replaces
    EXPECT_EQ(store.Get(3)->mSrcAddr(), "9.9.9.9");
    EXPECT_EQ(store.Count(), kCount);
    store.Clear();
    EXPECT_EQ(store.Count(), 0);
    EXPECT_TRUE(store.Put(1, Record(6, "3.3.3.3", "4.4.4.4")));
    EXPECT_EQ(store.Get(1)->mSrcAddr(), "3.3.3.3");
}

// The records grow as long as a capture runs, and their pages are faulted
// in ahead on another thread: in small pages, each a short step, not a huge
// page's one long fault that keeps the window's thread off that CPU.
TEST(PacketStore, RecordsLieInSmallPages) {
    PacketStore store;
    ASSERT_TRUE(store.Put(1, Record(17, "1.1.1.1", "2.2.2.2")));
    const std::string flags = testing::VmFlagsOf(store.Get(1));
    ASSERT_FALSE(flags.empty());
    EXPECT_EQ(flags.find(" hg"), std::string::npos) << flags;
}

// A capture's records grow without an mmap, which would wait for the
// process's memory map whenever another holds it: the store reserves
// address space for them all with its first chunk.
TEST(PacketStore, RecordsGrowWithoutMappingMemoryWhileTheMapIsHeld) {
    PacketStore store;
    store.PrepareFirstChunk();
    WaitForFaultAhead();
    constexpr std::int32_t kCount = 3 * PacketStore::kChunkRecords + 1;
    const clV record = Record(17, "1.1.1.1", "2.2.2.2");
    using Clock = testing::HeldMemoryMap::Clock;
    testing::HeldMemoryMap held;
    ASSERT_TRUE(held.Holding());
    // A store that mapped memory would wait from its start to the end of the
    // hold. Storing them all may outlast the hold, and a thread may lose its
    // CPU for a tick or so at any time; so each store is timed, and those
    // that took long are kept.
    constexpr auto kLong = std::chrono::milliseconds(10);
    struct Stretch {
        Clock::time_point begun, ended;
    };
    std::vector<Stretch> longStores;
    Clock::time_point growing;  // when the first record past the first chunk began to be stored
    for (std::int32_t key = 1; key <= kCount; ++key) {
        const auto begun = Clock::now();
        ASSERT_TRUE(store.Put(key, record));
        const auto ended = Clock::now();
        if (ended - begun > kLong) longStores.push_back({begun, ended});
        if (key == PacketStore::kChunkRecords + 1) growing = begun;
    }
    held.Release();
    if (!held.HeldLongEnough() || held.Ended() - growing < 2 * kLong)
        GTEST_SKIP() << "populating took too little time here to hold the map while the records grew";
    for (const Stretch& s : longStores)
        EXPECT_FALSE(s.begun < held.Ended() && s.ended >= held.Ended())
            << "storing a record waited for the memory map: "
            << std::chrono::duration<double, std::milli>(s.ended - s.begun).count() << " ms";
    EXPECT_EQ(store.Get(kCount)->Protocol(), 17);
    // One mapping holds them all; what counts as memory is the chunks used.
    EXPECT_NE(testing::MappingStartOf(store.Get(1)), 0u);
    EXPECT_EQ(testing::MappingStartOf(store.Get(1)), testing::MappingStartOf(store.Get(kCount)));
    EXPECT_EQ(store.ReservedBytes(), 4 * static_cast<std::size_t>(PacketStore::kChunkRecords) * sizeof(clV));
}

// Where the system refuses so much address space (strict overcommit, a
// limit on it), each chunk is memory of its own.
TEST(PacketStore, KeepsEveryRecordWhereNoAddressSpaceCanBeReserved) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit leaves";
#endif
    // 1 GiB past what the process maps now: room for chunks, none for the reservation.
    std::ifstream status("/proc/self/status");
    std::size_t vmSizeKb = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) vmSizeKb = std::stoul(line.substr(7));
    ASSERT_NE(vmSizeKb, 0u);
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &before), 0);
    const rlimit limit{(vmSizeKb << 10) + (std::size_t{1} << 30), before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    constexpr std::int32_t kCount = 2 * PacketStore::kChunkRecords + 3;
    std::int32_t refused = 0;
    {
        PacketStore store;
        for (std::int32_t key = 1; key <= kCount; ++key)
            if (!store.Put(key, Record(17, "1.1.1.1", "2.2.2.2", key))) ++refused;
        EXPECT_EQ(store.Count(), kCount);
        std::int32_t wrong = 0;
        for (std::int32_t key = 1; key <= store.Count(); ++key)
            if (store.Get(key)->Size() != key) ++wrong;
        EXPECT_EQ(wrong, 0);
    }
    ASSERT_EQ(setrlimit(RLIMIT_AS, &before), 0);
    EXPECT_EQ(refused, 0);
}

struct ModeCase {
    const char* name;
    std::int32_t mode;
    clV record;
    bool live;
    bool rebuild;
};

class ModeTests : public ::testing::TestWithParam<ModeCase> {
protected:
    static LocalAddressSet Local() {
        LocalAddressSet set;
        set.Set("198.51.100.1");
        set.Set("203.0.113.1");
        return set;
    }
};

TEST_P(ModeTests, LiveAndRebuildTestsAsDefined) {
    const ModeCase& c = GetParam();
    const LocalAddressSet local = Local();
    EXPECT_EQ(PassesLiveTest(c.mode, c.record, local), c.live);
    EXPECT_EQ(PassesRebuildTest(c.mode, c.record, local), c.rebuild);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeTests,
    ::testing::Values(
        ModeCase{"AllTakesEverything", kModeAll, Record(2, "7.7.7.7", "8.8.8.8"), true, true},
        ModeCase{"ReceivedTakesIncoming", kModeReceived, Record(17, "198.51.100.2", "198.51.100.1"), true, true},
        ModeCase{"ReceivedSkipsOutgoing", kModeReceived, Record(17, "198.51.100.1", "198.51.100.2"), false, false},
        ModeCase{"SentTakesOutgoing", kModeSent, Record(17, "198.51.100.1", "198.51.100.2"), true, true},
        ModeCase{"SentSkipsIncoming", kModeSent, Record(17, "198.51.100.2", "198.51.100.1"), false, false},
        // Between two local addresses: excluded on arrival, included on rebuild.
        ModeCase{"ReceivedLocalToLocal", kModeReceived, Record(1, "198.51.100.1", "203.0.113.1"), false, true},
        ModeCase{"SentLocalToLocal", kModeSent, Record(1, "198.51.100.1", "203.0.113.1"), false, true},
        // Neither address local (a broadcast from another host): the reverse.
        ModeCase{"ReceivedForeignBroadcast", kModeReceived, Record(17, "198.51.100.2", "255.255.255.255"), true, false},
        ModeCase{"SentForeignBroadcast", kModeSent, Record(17, "198.51.100.2", "255.255.255.255"), true, false},
        ModeCase{"ReceivedFromLoopbackPasses", kModeReceived, Record(1, "127.0.0.1", "127.0.0.1"), true, false},
        ModeCase{"TcpTakesTcp", kModeTcp, Record(6, "1.1.1.1", "2.2.2.2"), true, true},
        ModeCase{"TcpSkipsUdp", kModeTcp, Record(17, "1.1.1.1", "2.2.2.2"), false, false},
        ModeCase{"UdpTakesUdp", kModeUdp, Record(17, "1.1.1.1", "2.2.2.2"), true, true},
        ModeCase{"IcmpTakesIcmp", kModeIcmp, Record(1, "1.1.1.1", "2.2.2.2"), true, true},
        ModeCase{"NumberProtocolNeverTcp", kModeTcp, Record(2, "1.1.1.1", "2.2.2.2"), false, false},
        ModeCase{"NumberProtocolNeverUdp", kModeUdp, Record(2, "1.1.1.1", "2.2.2.2"), false, false},
        ModeCase{"NumberProtocolNeverIcmp", kModeIcmp, Record(2, "1.1.1.1", "2.2.2.2"), false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListViewModeTexts, NamesAndStatusTexts) {
    EXPECT_STREQ(ListViewModeName(kModeAll), "All");
    EXPECT_STREQ(ListViewModeName(kModeIcmp), "ICMP");
    EXPECT_EQ(ListViewModeStatusText(kModeReceived), "List view -> Received");
    EXPECT_EQ(ListViewModeStatusText(kModeSent), "List view -> Sent");
}

TEST(PacketCountText, SingularBelowTwo) {
    EXPECT_EQ(PacketCountText(0), "0 packet");
    EXPECT_EQ(PacketCountText(1), "1 packet");
    EXPECT_EQ(PacketCountText(2), "2 packets");
    EXPECT_EQ(PacketCountText(5000000), "5000000 packets");
}

TEST(LocalAddressSet, ExactTextKeysInInsertionOrder) {
    LocalAddressSet set;
    set.Set("203.0.113.1");
    set.Set("198.51.100.1");
    set.Set("203.0.113.1");
    ASSERT_EQ(set.Count(), 2u);
    EXPECT_EQ(set.Keys()[0], "203.0.113.1");
    EXPECT_EQ(set.Keys()[1], "198.51.100.1");
    EXPECT_TRUE(set.Contains("198.51.100.1"));
    EXPECT_FALSE(set.Contains("198.51.100.01"));
    EXPECT_TRUE(set.ContainsAddress(Addr("198.51.100.1")));
    EXPECT_FALSE(set.ContainsAddress(Addr("198.51.100.2")));
    set.Clear();
    EXPECT_FALSE(set.ContainsAddress(Addr("198.51.100.1")));
}

}  // namespace
}  // namespace wirelens
