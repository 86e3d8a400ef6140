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
    EXPECT_NE(session.RebuildRows()[0] & CaptureSession::kOutgoingBit, 0u);

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

}  // namespace
}  // namespace wirelens
