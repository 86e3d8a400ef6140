// The line `--print` writes per packet: the list's seven column texts and the
// true decode's summary, tab-separated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packets/capture_session.h"
#include "packets/packet_line.h"
#include "tests/dissect_fixtures.h"

namespace wirelens {
namespace {

using testing::ByteVector;

struct LineCase {
    std::string name;
    ByteVector bytes;
    std::uint32_t wireLength;  // 0: the whole datagram was kept
    std::string columns;       // the six before Start Time
    std::string info;
};

std::vector<LineCase> LineCases() {
    using namespace testing;
    ByteVector cutData = TcpData();
    cutData.resize(60);
    return {
        {"DnsQuery", DnsQuery(), 0, "UDP\t198.51.100.2\t40000\t198.51.100.1\t53\t30",
         "4660+ A? example.test. (30)"},
        // The positional Length counts TCP options as data; Info says what the segment carries.
        {"TcpDataBehindOptions", TcpData(), 0, "TCP\t198.51.100.1\t40000\t198.51.100.2\t6000\t112",
         "Flags [P.], seq 1000:1100, ack 2000, win 502, options [nop,nop,TS val 3 ecr 4], length 100"},
        // Length counts the bytes kept; Info gives the segment's length on the wire.
        {"TcpKeptShortOfTheWire", cutData, 152, "TCP\t198.51.100.1\t40000\t198.51.100.2\t6000\t20",
         "Flags [P.], seq 1000:1100, ack 2000, win 502, options [nop,nop,TS val 3 ecr 4], length 100"},
        {"IcmpWithoutPorts", IcmpPortUnreachable(), 0, "ICMP\t198.51.100.2\t\t198.51.100.1\t\t40",
         "ICMP 198.51.100.2 udp port 9 unreachable, length 40 (UDP 198.51.100.1.40000 > 198.51.100.2.9)"},
    };
}

class PacketLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(PacketLineTest, SevenColumnsThenInfo) {
    const auto& c = GetParam();
    CaptureSession session;
    const IngestResult result = session.Ingest(c.bytes, PacketTime{1700000000, 250000000}, c.wireLength);
    ASSERT_NE(result.key, 0);
    const clV* record = session.Packets().Get(result.key);
    ASSERT_NE(record, nullptr);
    const std::string line = PrintPacketLine(*record, session.Bytes(*record), session.WireLength(*record));
    EXPECT_EQ(line, c.columns + '\t' + record->mHora() + '\t' + c.info);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 7);
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(PrintLine, PacketLineTest, ::testing::ValuesIn(LineCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace wirelens
