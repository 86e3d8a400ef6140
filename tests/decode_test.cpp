#include "capture/decode.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/huge_chunk.h"
#include "capture/raw_datagram_store.h"
#include "capture/thread_priority.h"
#include "tests/datagram_builder.h"
#include "tests/vm_flags.h"

namespace wirelens {
namespace {

using testing::BuildDatagram;
using testing::Bytes;
using testing::DatagramFields;

struct DecodeCase {
    const char* name;
    DatagramFields fields;
    std::size_t expectedLength;
    std::string protocolText;
    bool hasPorts;
    std::int32_t size;
};

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, GivesProtocolPortsAndSize) {
    const DecodeCase& c = GetParam();
    const auto bytes = BuildDatagram(c.fields);
    ASSERT_EQ(bytes.size(), c.expectedLength);
    const DecodedDatagram d = DecodeDatagram(bytes);
    EXPECT_EQ(ProtocolText(d.protocol), c.protocolText);
    EXPECT_EQ(d.hasPorts, c.hasPorts);
    EXPECT_EQ(d.size, c.size);
    EXPECT_EQ(AddressToText(d.srcAddr), c.fields.src);
    EXPECT_EQ(AddressToText(d.dstAddr), c.fields.dst);
    if (c.hasPorts) {
        EXPECT_EQ(d.srcPort, c.fields.srcPort);
        EXPECT_EQ(d.dstPort, c.fields.dstPort);
    } else {
        EXPECT_EQ(d.srcPort, 0);
        EXPECT_EQ(d.dstPort, 0);
    }
}

DatagramFields Fields(std::uint8_t proto, std::size_t payload, std::size_t transport = 0, std::size_t ipOptions = 0) {
    DatagramFields s;
    s.protocol = proto;
    s.payload = Bytes(payload);
    s.transportHeaderBytes = transport;
    s.ipOptionBytes = ipOptions;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, DecodeTable,
    ::testing::Values(
        DecodeCase{"Tcp60BytesGivesSize20", Fields(6, 20), 60, "TCP", true, 20},
        DecodeCase{"TcpOptionsCountAsData", Fields(6, 0, 32), 52, "TCP", true, 12},
        DecodeCase{"Tcp12OptionBytesNoPayloadGives24", Fields(6, 12, 32), 64, "TCP", true, 24},
        DecodeCase{"UdpEmpty", Fields(17, 0), 28, "UDP", true, 0},
        DecodeCase{"Udp28PlusK", Fields(17, 37), 65, "UDP", true, 37},
        DecodeCase{"Icmp60GivesSize40", Fields(1, 32), 60, "ICMP", false, 40},
        DecodeCase{"Igmp2IsNumberText", Fields(2, 12), 32, "2", false, 12},
        DecodeCase{"Protocol255", Fields(255, 5), 25, "255", false, 5},
        DecodeCase{"Protocol0", Fields(0, 0), 20, "0", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, IpOptionsDoNotMovePortOffsets) {
    DatagramFields s = Fields(17, 0, 8, 8);  // 28-byte header
    s.srcPort = 1234;
    auto bytes = BuildDatagram(s);
    // The builder put the real ports at 28; the decoder reads 20..23, which hold option bytes.
    const DecodedDatagram d = DecodeDatagram(bytes);
    EXPECT_EQ(d.srcPort, 0x0101);
    EXPECT_EQ(d.dstPort, 0x0101);
    EXPECT_EQ(d.size, static_cast<std::int32_t>(bytes.size()) - 28);
}

TEST(Decode, PortBytesAreBigEndian) {
    DatagramFields s = Fields(6, 0);
    auto bytes = BuildDatagram(s);
    bytes[20] = 0x1F;
    bytes[21] = 0x90;
    bytes[22] = 0xFF;
    bytes[23] = 0xFF;
    const DecodedDatagram d = DecodeDatagram(bytes);
    EXPECT_EQ(d.srcPort, 8080);
    EXPECT_EQ(d.dstPort, 65535);
}

// Cut at each header boundary: a short datagram gives a negative size and
// reads zeros where it has no bytes. Each cut is an exact-size heap copy, so a
// read outside it would be a sanitizer report.
std::vector<std::uint8_t> Cut(const std::vector<std::uint8_t>& full, std::size_t n) {
    std::vector<std::uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    part.shrink_to_fit();
    return part;
}

TEST(Decode, ShortDatagramGivesNegativeSizeAndReadsOnlyItsBytes) {
    const auto full = BuildDatagram(Fields(6, 0));  // 40 bytes, ports 40000 -> 53
    for (std::size_t n : {0, 1, 9}) {
        const DecodedDatagram d = DecodeDatagram(Cut(full, n));
        EXPECT_EQ(d.protocol, 0) << n;  // byte 9 missing reads as zero
        EXPECT_EQ(d.size, static_cast<std::int32_t>(n) - 20) << n;
    }
    const DecodedDatagram at16 = DecodeDatagram(Cut(full, 16));
    EXPECT_EQ(at16.size, 16 - 40);
    EXPECT_EQ(AddressToText(at16.srcAddr), "198.51.100.2");
    EXPECT_EQ(AddressToText(at16.dstAddr), "0.0.0.0");
    const DecodedDatagram at18 = DecodeDatagram(Cut(full, 18));
    EXPECT_EQ(AddressToText(at18.dstAddr), "198.51.0.0");
    const DecodedDatagram at21 = DecodeDatagram(Cut(full, 21));
    EXPECT_EQ(at21.srcPort, 0x9C00);  // high byte of 40000 only
    EXPECT_EQ(at21.dstPort, 0);
    const DecodedDatagram at39 = DecodeDatagram(Cut(full, 39));
    EXPECT_EQ(at39.srcPort, 40000);
    EXPECT_EQ(at39.dstPort, 53);
    EXPECT_EQ(at39.size, -1);
}

TEST(AddressToText, FormatsEveryOctetWithoutPadding) {
    EXPECT_EQ(AddressToText(testing::Addr("0.0.0.0")), "0.0.0.0");
    EXPECT_EQ(AddressToText(testing::Addr("255.255.255.255")), "255.255.255.255");
    EXPECT_EQ(AddressToText(testing::Addr("198.51.100.7")), "198.51.100.7");
    EXPECT_EQ(AddressToText(testing::Addr("10.0.100.99")), "10.0.100.99");
}

TEST(DataOffset, FollowsUpperCasedProtocolText) {
    EXPECT_EQ(DataOffsetOfProtocolText("TCP"), 40);
    EXPECT_EQ(DataOffsetOfProtocolText("tcp"), 40);
    EXPECT_EQ(DataOffsetOfProtocolText("UDP"), 28);
    EXPECT_EQ(DataOffsetOfProtocolText("ICMP"), 20);
    EXPECT_EQ(DataOffsetOfProtocolText("2"), 20);
    EXPECT_EQ(DataOffsetOfProtocolText(""), 20);
}

TEST(RawDatagramStore, PositionsCountFromOneAndRestartAfterClear) {
    RawDatagramStore store;
    EXPECT_EQ(store.Append(Bytes(10, 1)), 1u);
    EXPECT_EQ(store.Append(Bytes(0)), 2u);
    EXPECT_EQ(store.Append(Bytes(3000, 7)), 3u);
    EXPECT_EQ(store.Get(1).size(), 10u);
    EXPECT_EQ(store.Get(2).size(), 0u);
    EXPECT_EQ(store.Get(3).size(), kReceiveBufferSize);  // kept as its first 2000 bytes
    EXPECT_EQ(store.Get(0).size(), 0u);
    EXPECT_EQ(store.Get(4).size(), 0u);
    store.Clear();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.Get(1).size(), 0u);
    EXPECT_EQ(store.Append(Bytes(5, 9)), 1u);
    EXPECT_EQ(store.Get(1)[4], 9);
}

TEST(RawDatagramStore, KeepsEachDatagramsOwnBytesAcrossChunks) {
    RawDatagramStore store;
    // Enough 2000-byte datagrams to fill several chunks.
    for (std::uint32_t i = 0; i < 5000; ++i) {
        std::vector<std::uint8_t> d(1 + i % kReceiveBufferSize, static_cast<std::uint8_t>(i));
        ASSERT_EQ(store.Append(d), i + 1);
    }
    for (std::uint32_t i = 0; i < 5000; i += 97) {
        const auto bytes = store.Get(i + 1);
        ASSERT_EQ(bytes.size(), 1 + i % kReceiveBufferSize);
        EXPECT_EQ(bytes.front(), static_cast<std::uint8_t>(i));
        EXPECT_EQ(bytes.back(), static_cast<std::uint8_t>(i));
    }
}

// A writer asks for the next huge page when it starts filling a page, and
// for its next chunk when it starts the chunk's last page.
TEST(FaultInNextHugePage, AsksOnEnteringEachPageAndForTheNextChunkAtTheLast) {
    struct Case {
        const char* name;
        std::size_t before, after;
        bool nextChunkWanted;
    };
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const Case cases[] = {
        {"the first write into the chunk", 0, 100, false},
        {"within the first page", 100, 200, false},
        {"crossing into the last page", 2 * kMiB - 10, 2 * kMiB + 5, true},
        {"ending exactly where the last page starts", 2 * kMiB - 10, 2 * kMiB, true},
        {"within the last page", 2 * kMiB + 5, 2 * kMiB + 2000, false},
        {"an empty write", 0, 0, false},
        {"the end of the chunk", 4 * kMiB - 100, 4 * kMiB, false},
    };
    const auto chunk = AllocateHugeChunk<std::uint8_t>(4 * kMiB);
    for (const Case& c : cases)
        EXPECT_EQ(FaultInNextHugePage(chunk.get(), 4 * kMiB, c.before, c.after), c.nextChunkWanted) << c.name;
}

// The fault-ahead thread brings in exactly the pages asked for, and leaves
// what is written there as it was.
TEST(FaultInAhead, BringsInThePagesAskedForAndKeepsTheirBytes) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const long pageBytes = sysconf(_SC_PAGESIZE);
    const auto residentPages = [&](const std::uint8_t* begin, std::size_t bytes) {
        std::vector<unsigned char> pages(bytes / static_cast<std::size_t>(pageBytes));
        EXPECT_EQ(mincore(const_cast<std::uint8_t*>(begin), bytes, pages.data()), 0);
        return static_cast<std::size_t>(std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; }));
    };
    // Mapped here rather than allocated, so that no page of it was ever in, and
    // in small pages, so that exactly the pages asked for come in.
    void* mapped = mmap(nullptr, 4 * kMiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    madvise(mapped, 4 * kMiB, MADV_NOHUGEPAGE);
    auto* const fresh = static_cast<std::uint8_t*>(mapped);
    FaultInAhead(fresh + 2 * kMiB, kMiB);
    WaitForFaultAhead();
    EXPECT_EQ(residentPages(fresh + 2 * kMiB, kMiB), kMiB / static_cast<std::size_t>(pageBytes));
    EXPECT_EQ(residentPages(fresh, 2 * kMiB), 0u) << "a page before those asked for was brought in";
    munmap(mapped, 4 * kMiB);

    const auto written = AllocateHugeChunk<std::uint8_t>(4 * kMiB);
    for (std::size_t i = 0; i < 4 * kMiB; ++i) written[i] = static_cast<std::uint8_t>(i * 7 + 1);
    FaultInAhead(written.get(), 4 * kMiB);
    WaitForFaultAhead();
    std::size_t changed = 0;
    for (std::size_t i = 0; i < 4 * kMiB; ++i) changed += written[i] != static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ(changed, 0u);
}

// The fault-ahead thread only saves its askers faults: it must never take a
// CPU from them, so it runs behind the thread that asks, whatever priority
// it was started with.
TEST(FaultInAhead, RunsBehindTheThreadThatAsksIt) {
    auto chunk = AllocateHugeChunk<std::uint8_t>(kHugePageBytes);
    int askerNice = 0;
    std::thread asker([&] {
        // Lowering one's own priority needs no privilege.
        askerNice = std::min(getpriority(PRIO_PROCESS, 0) + 3, 19);
        ASSERT_EQ(setpriority(PRIO_PROCESS, 0, askerNice), 0);
        FaultInAhead(chunk.get(), kHugePageBytes);
        WaitForFaultAhead();
    });
    asker.join();
    const std::vector<pid_t> faultThreads = ThreadsNamed(getpid(), kFaultAheadThreadName);
    ASSERT_EQ(faultThreads.size(), 1u) << "the fault-ahead thread is not named";
    const std::optional<int> nice = NiceOf(faultThreads.front());
    ASSERT_TRUE(nice.has_value());
    // Further behind when it could not come back up without privilege.
    EXPECT_GE(*nice, std::min(askerNice + kFaultAheadNiceBehind, 19));
}

// A chunk freed with requests still queued for it: they are dropped, and one
// being served is waited for, so the thread never writes freed memory (which
// the sanitizer reports, or which is no longer mapped).
TEST(FaultInAhead, AChunkFreedWithRequestsQueuedIsNeverTouchedAgain) {
    constexpr std::size_t kChunkBytes = std::size_t{8} << 20;
    for (int round = 0; round < 50; ++round) {
        auto chunk = AllocateHugeChunk<std::uint8_t>(kChunkBytes);
        for (std::size_t at = 0; at < kChunkBytes; at += kHugePageBytes) FaultInAhead(chunk.get() + at, kHugePageBytes);
        chunk.reset();
    }
    WaitForFaultAhead();
}

// Memory that grows with a capture is faulted in small pages: a huge page's
// fault is one long step no other thread can cut into.
TEST(HugeChunk, OnlyChunksAskedToHaveHugePagesAreAdvisedSo) {
    const auto huge = AllocateHugeChunk<std::uint8_t>(4 * kHugePageBytes, ChunkPages::Huge);
    const auto small = AllocateHugeChunk<std::uint8_t>(4 * kHugePageBytes, ChunkPages::Small);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.get()) % kHugePageBytes, 0u);
    const std::string hugeFlags = testing::VmFlagsOf(huge.get() + kHugePageBytes);
    const std::string smallFlags = testing::VmFlagsOf(small.get() + kHugePageBytes);
    ASSERT_FALSE(hugeFlags.empty());
    ASSERT_FALSE(smallFlags.empty());
    EXPECT_NE(hugeFlags.find(" hg"), std::string::npos) << hugeFlags;
    EXPECT_EQ(smallFlags.find(" hg"), std::string::npos) << smallFlags;
}

// What a release holds ends on another thread, and the wait returns only
// after it has.
TEST(ReleaseInBackground, EndsWhatItHoldsOnAnotherThreadBeforeTheWaitReturns) {
    struct Held {
        std::atomic<std::thread::id>* endedOn;
        ~Held() {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            endedOn->store(std::this_thread::get_id());
        }
    };
    std::atomic<std::thread::id> endedOn{};
    std::unique_ptr<Held> held(new Held{&endedOn});
    ReleaseInBackground([held = std::move(held)]() mutable { held.reset(); });
    WaitForBackgroundReleases();
    EXPECT_NE(endedOn.load(), std::thread::id{}) << "the wait returned before the release ended";
    EXPECT_NE(endedOn.load(), std::this_thread::get_id());
}

}  // namespace
}  // namespace wirelens
