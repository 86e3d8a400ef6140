// The capture session without a window: filing, the list tests, what a
// capture file needs of each packet, and clearing.
#include <gtest/gtest.h>

#include <vector>

#include "capture/decode.h"
#include "packets/capture_session.h"
#include "packets/list_view_mode.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

using testing::Addr;
using testing::BuildDatagram;
using testing::DatagramFields;

constexpr PacketTime kTime{1700000000, 123456789};

DatagramFields Fields(std::uint8_t protocol = 17, const char* src = "198.51.100.2", const char* dst = "198.51.100.1") {
    DatagramFields f;
    f.protocol = protocol;
    f.src = src;
    f.dst = dst;
    return f;
}

struct SessionFixture : ::testing::Test {
    SessionFixture() {
        machine.Set("198.51.100.1");
        session.SetMachineAddresses(&machine);
        session.onRowAdmitted = [this](std::int32_t key, const clV&) { admitted.push_back(key); };
    }
    IngestResult Ingest(DatagramFields fields, PacketTime time = kTime, std::uint32_t wire = 0) {
        const std::vector<std::uint8_t> bytes = BuildDatagram(fields);
        return session.Ingest(bytes, time, wire);
    }
    LocalAddressSet machine;
    CaptureSession session;
    std::vector<std::int32_t> admitted;
};

TEST_F(SessionFixture, FilesEachDatagramUnderTheNextKeyWithItsPosition) {
    EXPECT_EQ(Ingest(Fields()).key, 1);
    EXPECT_EQ(Ingest(Fields(6)).key, 2);
    ASSERT_EQ(session.Count(), 2);
    EXPECT_EQ(session.Packets().Get(2)->mProtocol(), "TCP");
    EXPECT_EQ(session.Packets().Get(2)->mData(), "2");
    EXPECT_EQ(admitted, (std::vector<std::int32_t>{1, 2}));
    // After a clear the sequence starts again at 1.
    session.Clear();
    EXPECT_EQ(session.Raw().Count(), 0u);
    EXPECT_EQ(Ingest(Fields()).key, 1);
}

TEST_F(SessionFixture, KeepsTheFullTimestampAndTheWireLengthOfACutDatagram) {
    DatagramFields big = Fields();
    big.payload.assign(2400, 0x41);
    const IngestResult r = Ingest(big, kTime);
    const clV* record = session.Packets().Get(r.key);
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(record->Timestamp().has_value());
    EXPECT_EQ(*record->Timestamp(), kTime);
    EXPECT_EQ(session.Bytes(*record).size(), kReceiveBufferSize);
    EXPECT_EQ(session.WireLength(*record), 2428u);
    // A datagram given with a larger original length (a snap length cut it).
    const IngestResult small = Ingest(Fields(), kTime, 1500);
    EXPECT_EQ(session.WireLength(*session.Packets().Get(small.key)), 1500u);
    EXPECT_EQ(session.Bytes(*session.Packets().Get(small.key)).size(), 28u);
    // The time of day comes from the same timestamp.
    EXPECT_EQ(record->Time().centiseconds, CaptureTimeOf(kTime.seconds, kTime.nanoseconds / 1000).centiseconds);
}

TEST_F(SessionFixture, LiveAndRebuildTestsFollowTheModeAndTheFilter) {
    Ingest(Fields(17, "198.51.100.1", "203.0.113.9"));  // sent
    Ingest(Fields(17, "203.0.113.9", "198.51.100.1"));  // received
    Ingest(Fields(1, "203.0.113.9", "203.0.113.10"));  // neither side local
    session.SetListViewMode(kModeSent);
    std::vector<std::int32_t> rows;
    for (std::uint32_t row : session.RebuildRows()) rows.push_back(static_cast<std::int32_t>(row & ~CaptureSession::kOutgoingBit));
    EXPECT_EQ(rows, (std::vector<std::int32_t>{1}));
    EXPECT_NE(session.RebuildRows().front() & CaptureSession::kOutgoingBit, 0u);

    // The filter applies on top of the mode, on arrival and in a rebuild.
    session.SetListViewMode(kModeAll);
    session.SetDisplayFilter([](std::span<const std::uint8_t> bytes, std::uint32_t) { return bytes[9] == kProtocolIcmp; });
    EXPECT_EQ(session.RebuildRows().size(), 1u);
    admitted.clear();
    EXPECT_EQ(Ingest(Fields()).status, IngestStatus::Hidden);
    EXPECT_EQ(Ingest(Fields(1)).status, IngestStatus::Listed);
    EXPECT_EQ(admitted, (std::vector<std::int32_t>{5}));
}

TEST_F(SessionFixture, AFileJudgesDirectionByTheAddressItRecords) {
    Ingest(Fields(17, "203.0.113.5", "203.0.113.6"));
    session.SetListViewMode(kModeSent);
    EXPECT_TRUE(session.RebuildRows().empty());
    session.JudgeDirectionBy(std::string("203.0.113.5"));
    EXPECT_EQ(session.RebuildRows().size(), 1u);
    // Back to the machine's own addresses.
    session.JudgeDirectionBy(std::nullopt);
    EXPECT_TRUE(session.RebuildRows().empty());
}

TEST_F(SessionFixture, CapturedPacketsAreUnsavedUntilMarkedSaved) {
    EXPECT_FALSE(session.HasUnsavedPackets());
    Ingest(Fields());
    EXPECT_TRUE(session.HasUnsavedPackets());
    session.MarkSaved();
    EXPECT_FALSE(session.HasUnsavedPackets());
    Ingest(Fields());
    EXPECT_TRUE(session.HasUnsavedPackets());
    session.Clear();
    EXPECT_FALSE(session.HasUnsavedPackets());
}

TEST(RawDatagramStoreIndex, KeepsPositionsLengthsAndCutLengthsAcrossChunks) {
    RawDatagramStore store;
    // Enough datagrams to fill several byte chunks and index chunks.
    constexpr std::uint32_t kCount = 70000;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        std::vector<std::uint8_t> d(1 + i % 2000, static_cast<std::uint8_t>(i));
        const std::uint32_t wire = i % 1000 == 0 ? 60000 : 0;
        ASSERT_EQ(store.Append(d, wire), i + 1);
    }
    for (std::uint32_t i = 0; i < kCount; i += 997) {
        const auto bytes = store.Get(i + 1);
        ASSERT_EQ(bytes.size(), 1 + i % 2000);
        EXPECT_EQ(bytes.front(), static_cast<std::uint8_t>(i));
        EXPECT_EQ(bytes.back(), static_cast<std::uint8_t>(i));
        EXPECT_EQ(store.WireLength(i + 1), i % 1000 == 0 ? 60000u : 1 + i % 2000);
    }
    EXPECT_TRUE(store.Get(kCount + 1).empty());
    EXPECT_EQ(store.WireLength(0), 0u);
}

// A datagram's end is where the next one in its chunk starts, or where its
// chunk's bytes end: every length must come out whole, empty datagrams and
// the last datagram of each chunk included.
TEST(RawDatagramStoreIndex, EveryLengthComesBackAtChunkEndsAndForEmptyDatagrams) {
    RawDatagramStore store;
    std::vector<std::size_t> lengths;
    std::uint32_t seed = 12345;
    for (std::uint32_t i = 0; i < 30000; ++i) {
        seed = seed * 1103515245u + 12345u;
        // Mostly full-size datagrams so chunks fill fast, with empty ones in runs.
        const std::size_t length = (seed >> 16) % 7 == 0 ? 0 : 1500 + (seed >> 8) % 501;
        lengths.push_back(length);
        std::vector<std::uint8_t> d(length, static_cast<std::uint8_t>(i * 7));
        ASSERT_EQ(store.Append(d), i + 1);
    }
    for (std::uint32_t i = 0; i < lengths.size(); ++i) {
        const auto bytes = store.Get(i + 1);
        ASSERT_EQ(bytes.size(), lengths[i]) << "position " << i + 1;
        ASSERT_EQ(store.WireLength(i + 1), lengths[i]) << "position " << i + 1;
        if (!bytes.empty()) {
            EXPECT_EQ(bytes.front(), static_cast<std::uint8_t>(i * 7));
            EXPECT_EQ(bytes.back(), static_cast<std::uint8_t>(i * 7));
        }
    }
    // The last datagram, in the chunk still being filled, grows no longer when more arrive.
    const std::size_t lastLength = store.Get(store.Count()).size();
    store.Append(std::vector<std::uint8_t>(10, 1));
    EXPECT_EQ(store.Get(store.Count() - 1).size(), lastLength);
    EXPECT_EQ(store.Get(store.Count()).size(), 10u);
}

}  // namespace
}  // namespace wirelens
