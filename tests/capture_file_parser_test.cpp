#include "files/capture_file_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/capture_file_builder.h"
#include "tests/datagram_builder.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ByteSink;
using testing::InterfaceFields;
using testing::PcapHeaderFields;
using testing::PcapngBuilder;

struct ParsedPacket {
    Bytes bytes;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
    std::uint32_t wireLength;
    bool nanosecond;
};

struct Parsed {
    std::vector<ParsedPacket> packets;
    std::optional<CaptureFileError> error;
    bool ended = false;
    std::uint64_t skipped = 0;
    std::optional<CaptureFileFormat> format;
    CaptureFileInfo info;
    bool nanosecond = false;
};

// Feeds the file in slices of sliceSize bytes (0: all at once), then ends the input.
Parsed Parse(const Bytes& file, std::size_t sliceSize = 0) {
    CaptureFileParser parser;
    Parsed result;
    CapturePacket packet;
    const auto drain = [&] {
        while (true) {
            const auto status = parser.Next(packet);
            if (status != CaptureFileParser::Status::Packet) return status;
            result.packets.push_back({Bytes(packet.bytes.begin(), packet.bytes.end()), packet.seconds,
                                      packet.nanoseconds, packet.wireLength, packet.nanosecondResolution});
        }
    };
    if (sliceSize == 0) sliceSize = std::max<std::size_t>(file.size(), 1);
    for (std::size_t at = 0; at < file.size(); at += sliceSize) {
        const std::size_t n = std::min(sliceSize, file.size() - at);
        parser.Feed(std::span<const std::uint8_t>(file).subspan(at, n));
        if (drain() == CaptureFileParser::Status::Error) break;
    }
    parser.Finish();
    const auto last = drain();
    result.ended = last == CaptureFileParser::Status::End;
    EXPECT_TRUE(last == CaptureFileParser::Status::End || last == CaptureFileParser::Status::Error);
    result.error = parser.Error();
    result.skipped = parser.SkippedFrames();
    result.format = parser.Format();
    result.info = parser.Info();
    result.nanosecond = parser.NanosecondResolution();
    EXPECT_EQ(parser.PacketCount(), result.packets.size());
    return result;
}

Bytes Datagram(std::size_t payload = 12, std::uint8_t fill = 0x61) {
    testing::DatagramFields fields;
    fields.payload = testing::Bytes(payload, fill);
    return testing::BuildDatagram(fields);
}

// ---- each link type in each container ----

struct LinkCase {
    const char* name;
    std::uint32_t linktype;
    Bytes frame;
};

std::vector<LinkCase> LinkCases(const Bytes& datagram) {
    using namespace testing;
    return {
        {"Ethernet", 1, EthernetFrame(datagram)},
        {"Ethernet802_1Q", 1, EthernetFrame(datagram, 0x0800, {0x8100})},
        {"EthernetQinQ", 1, EthernetFrame(datagram, 0x0800, {0x88A8, 0x8100})},
        {"LinuxSll", 113, SllFrame(datagram)},
        {"LinuxSll2", 276, Sll2Frame(datagram)},
        {"LinktypeRaw101", 101, datagram},
        {"DltRawLinux12", 12, datagram},
        {"DltRawOpenBsd14", 14, datagram},
        {"Ipv4_228", 228, datagram},
        {"NullLittleEndian", 0, LoopbackFrame(datagram, false)},
        {"NullBigEndian", 0, LoopbackFrame(datagram, true)},
        {"Loop", 108, LoopbackFrame(datagram, true)},
    };
}

enum class Container { PcapLe, PcapBe, PcapNanoLe, PcapNanoBe, PcapModified, PcapngLe, PcapngBe, PcapngNano };

const char* ContainerName(Container c) {
    switch (c) {
        case Container::PcapLe: return "pcap little-endian";
        case Container::PcapBe: return "pcap big-endian";
        case Container::PcapNanoLe: return "nanosecond pcap little-endian";
        case Container::PcapNanoBe: return "nanosecond pcap big-endian";
        case Container::PcapModified: return "modified pcap";
        case Container::PcapngLe: return "pcapng little-endian";
        case Container::PcapngBe: return "pcapng big-endian";
        case Container::PcapngNano: return "pcapng if_tsresol 9";
    }
    return "";
}

constexpr std::uint32_t kSeconds = 1700000000;
constexpr std::uint32_t kMicros = 123456;
constexpr std::uint32_t kNanos = 123456789;

bool IsNano(Container c) {
    return c == Container::PcapNanoLe || c == Container::PcapNanoBe || c == Container::PcapngNano;
}

// The frames, each stamped kSeconds + index and the container's fraction.
Bytes BuildFile(Container c, std::uint32_t linktype, const std::vector<Bytes>& frames,
                std::vector<std::size_t>* recordStarts = nullptr) {
    const bool nano = IsNano(c);
    if (c == Container::PcapngLe || c == Container::PcapngBe || c == Container::PcapngNano) {
        PcapngBuilder b(c == Container::PcapngBe);
        InterfaceFields idb;
        idb.linktype = static_cast<std::uint16_t>(linktype);
        if (nano) idb.tsresol = 9;
        b.Interface(idb);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (recordStarts) recordStarts->push_back(b.Size());
            const std::uint64_t perSecond = nano ? 1000000000ULL : 1000000ULL;
            b.Enhanced(0, (kSeconds + i) * perSecond + (nano ? kNanos : kMicros), frames[i]);
        }
        return b.Data();
    }
    PcapHeaderFields f;
    f.bigEndian = c == Container::PcapBe || c == Container::PcapNanoBe;
    f.nanosecond = nano;
    f.modified = c == Container::PcapModified;
    f.linktype = linktype;
    ByteSink s = testing::PcapHeader(f);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (recordStarts) recordStarts->push_back(s.out.size());
        testing::PcapRecord(s, f, static_cast<std::uint32_t>(kSeconds + i), nano ? kNanos : kMicros,
                            frames[i]);
    }
    return s.out;
}

constexpr Container kContainers[] = {Container::PcapLe,       Container::PcapBe,   Container::PcapNanoLe,
                                     Container::PcapNanoBe,   Container::PcapModified,
                                     Container::PcapngLe,     Container::PcapngBe, Container::PcapngNano};

TEST(CaptureFileParser, EveryLinkTypeInEveryContainerYieldsTheDatagramWithItsTime) {
    const Bytes first = Datagram(12, 0x61);
    const Bytes second = Datagram(40, 0x62);
    const auto firstCases = LinkCases(first);
    const auto secondCases = LinkCases(second);
    for (Container c : kContainers) {
        for (std::size_t k = 0; k < firstCases.size(); ++k) {
            SCOPED_TRACE(std::string(ContainerName(c)) + ", " + firstCases[k].name);
            const Parsed parsed =
                Parse(BuildFile(c, firstCases[k].linktype, {firstCases[k].frame, secondCases[k].frame}));
            ASSERT_TRUE(parsed.ended) << (parsed.error ? parsed.error->message : "");
            ASSERT_EQ(parsed.packets.size(), 2u);
            EXPECT_EQ(parsed.skipped, 0u);
            EXPECT_EQ(parsed.nanosecond, IsNano(c));
            const bool pcapng = c == Container::PcapngLe || c == Container::PcapngBe || c == Container::PcapngNano;
            EXPECT_EQ(parsed.format, pcapng ? CaptureFileFormat::PcapNg : CaptureFileFormat::Pcap);
            for (std::size_t i = 0; i < 2; ++i) {
                const ParsedPacket& p = parsed.packets[i];
                const Bytes& expected = i == 0 ? first : second;
                EXPECT_EQ(p.bytes, expected);
                EXPECT_EQ(p.wireLength, expected.size());
                EXPECT_EQ(p.seconds, kSeconds + static_cast<std::int64_t>(i));
                EXPECT_EQ(p.nanoseconds, IsNano(c) ? kNanos : kMicros * 1000);
                EXPECT_EQ(p.nanosecond, IsNano(c));
            }
        }
    }
}

TEST(CaptureFileParser, WireLengthIsTheDatagramsOriginalLengthNotTheSnappedOrPaddedFrame) {
    const Bytes big = Datagram(1472);  // 1500 bytes on the wire
    const Bytes snapped = testing::EthernetFrame(Bytes(big.begin(), big.begin() + 100));
    const Bytes small = Datagram(0);    // 28 bytes, padded to Ethernet's minimum
    Bytes padded = testing::EthernetFrame(small);
    padded.resize(60, 0);

    PcapHeaderFields f;
    f.snapLength = 114;
    ByteSink s = testing::PcapHeader(f);
    testing::PcapRecord(s, f, 1, 0, snapped, 1514);
    testing::PcapRecord(s, f, 2, 0, padded);
    const Parsed parsed = Parse(s.out);
    ASSERT_EQ(parsed.packets.size(), 2u);
    EXPECT_EQ(parsed.packets[0].bytes, Bytes(big.begin(), big.begin() + 100));
    EXPECT_EQ(parsed.packets[0].wireLength, 1500u);
    EXPECT_EQ(parsed.packets[1].bytes, small);
    EXPECT_EQ(parsed.packets[1].wireLength, 28u);
}

TEST(CaptureFileParser, DatagramsAreKeptUpTo2000BytesWithTheirFullWireLength) {
    const Bytes jumbo = Datagram(8972);  // 9000 bytes
    PcapngBuilder b;
    b.Interface(testing::Interface(101));
    b.Enhanced(0, 0, jumbo);
    const Parsed parsed = Parse(b.Data());
    ASSERT_EQ(parsed.packets.size(), 1u);
    EXPECT_EQ(parsed.packets[0].bytes, Bytes(jumbo.begin(), jumbo.begin() + 2000));
    EXPECT_EQ(parsed.packets[0].wireLength, 9000u);
}

TEST(CaptureFileParser, FramesWithoutIpv4AreSkippedAndCountedAndTheRestKeepTheirOrder) {
    const Bytes a = Datagram(4, 0x41);
    const Bytes b = Datagram(4, 0x42);
    Bytes ipv6(40, 0);
    ipv6[0] = 0x60;
    PcapngBuilder file;
    file.Interface(testing::Interface(1));                      // 0: Ethernet
    file.Interface(testing::Interface(105));                    // 1: 802.11, cannot be stripped
    file.Interface(testing::Interface(113));                    // 2: Linux cooked
    file.Interface(testing::Interface(0));                      // 3: BSD loopback
    file.Enhanced(0, 1, testing::EthernetFrame(Bytes(28, 0), 0x0806));  // ARP
    file.Enhanced(0, 2, testing::EthernetFrame(a));
    file.Enhanced(1, 3, a);
    file.Enhanced(2, 4, testing::SllFrame(ipv6, 0x86DD));
    file.Enhanced(3, 5, testing::LoopbackFrame(ipv6, false, 30));
    file.Enhanced(0, 6, testing::EthernetFrame(Bytes(13, 0)));  // IPv4 type, version 0 inside
    file.Enhanced(2, 7, testing::SllFrame(b));
    const Parsed parsed = Parse(file.Data());
    ASSERT_TRUE(parsed.ended);
    ASSERT_EQ(parsed.packets.size(), 2u);
    EXPECT_EQ(parsed.packets[0].bytes, a);
    EXPECT_EQ(parsed.packets[1].bytes, b);
    EXPECT_EQ(parsed.skipped, 5u);
}

// ---- time ----

struct TimeCase {
    const char* name;
    int tsresol;  // -1: option absent
    bool hasOffset;
    std::int64_t offset;
    std::uint64_t timestamp;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
    bool nanosecond;
};

TEST(CaptureFileParser, PcapngTimestampsFollowTheInterfacesResolutionAndOffset) {
    const TimeCase cases[] = {
        {"default is microseconds", -1, false, 0, 1700000000123456ULL, 1700000000, 123456000, false},
        {"decimal 6", 6, false, 0, 1700000000123456ULL, 1700000000, 123456000, false},
        {"decimal 9", 9, false, 0, 1700000000123456789ULL, 1700000000, 123456789, true},
        {"milliseconds", 3, false, 0, 1700000000123ULL, 1700000000, 123000000, false},
        {"picoseconds", 12, false, 0, 1000000ULL * 1000000000000ULL + 123456789012ULL, 1000000, 123456789, true},
        {"binary 2^-10", 0x80 | 10, false, 0, (5ULL << 10) | 256, 5, 250000000, false},
        {"binary 2^-20", 0x80 | 20, false, 0, (1700000000ULL << 20) | (1ULL << 19), 1700000000, 500000000, true},
        {"binary 2^-40", 0x80 | 40, false, 0, (3ULL << 40) | (1ULL << 38), 3, 250000000, true},
        {"offset in seconds", 6, true, 100, 5000001, 105, 1000, false},
        {"negative offset", 6, true, -5, 10000000, 5, 0, false},
    };
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        PcapngBuilder b;
        InterfaceFields idb;
        idb.linktype = 101;
        idb.tsresol = c.tsresol;
        idb.hasTsoffset = c.hasOffset;
        idb.tsoffset = c.offset;
        b.Interface(idb);
        b.Enhanced(0, c.timestamp, Datagram());
        const Parsed parsed = Parse(b.Data());
        ASSERT_EQ(parsed.packets.size(), 1u);
        EXPECT_EQ(parsed.packets[0].seconds, c.seconds);
        EXPECT_EQ(parsed.packets[0].nanoseconds, c.nanoseconds);
        EXPECT_EQ(parsed.packets[0].nanosecond, c.nanosecond);
        EXPECT_EQ(parsed.nanosecond, c.nanosecond);
    }
}

TEST(CaptureFileParser, PcapFractionsOfASecondOrMoreCarryIntoTheSeconds) {
    for (const bool nano : {false, true}) {
        PcapHeaderFields f;
        f.linktype = 101;
        f.nanosecond = nano;
        ByteSink s = testing::PcapHeader(f);
        testing::PcapRecord(s, f, 10, nano ? 2500000000u : 2500000u, Datagram());
        const Parsed parsed = Parse(s.out);
        ASSERT_EQ(parsed.packets.size(), 1u);
        EXPECT_EQ(parsed.packets[0].seconds, 12);
        EXPECT_EQ(parsed.packets[0].nanoseconds, 500000000u);
    }
}

// ---- incremental input ----

TEST(CaptureFileParser, FeedingOneByteAtATimeGivesWhatFeedingItAllGives) {
    const auto cases = LinkCases(Datagram(30));
    for (Container c : kContainers) {
        SCOPED_TRACE(ContainerName(c));
        const Bytes file = BuildFile(c, 1, {cases[0].frame, cases[0].frame, cases[0].frame});
        const Parsed whole = Parse(file);
        for (std::size_t slice : {1, 3, 7, 64}) {
            const Parsed pieces = Parse(file, slice);
            ASSERT_TRUE(pieces.ended);
            ASSERT_EQ(pieces.packets.size(), whole.packets.size());
            for (std::size_t i = 0; i < whole.packets.size(); ++i) {
                EXPECT_EQ(pieces.packets[i].bytes, whole.packets[i].bytes);
                EXPECT_EQ(pieces.packets[i].seconds, whole.packets[i].seconds);
            }
        }
    }
}

TEST(CaptureFileParser, APartialRecordWaitsForMoreBytesUntilTheInputEnds) {
    const Bytes file = BuildFile(Container::PcapngLe, 101, {Datagram(), Datagram()});
    CaptureFileParser parser;
    CapturePacket packet;
    parser.Feed(std::span<const std::uint8_t>(file).first(file.size() - 5));
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::Packet);
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::NeedMore);
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::NeedMore);
    EXPECT_FALSE(parser.Error());
    parser.Feed(std::span<const std::uint8_t>(file).last(5));
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::Packet);
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::NeedMore);
    parser.Finish();
    EXPECT_EQ(parser.Next(packet), CaptureFileParser::Status::End);
    EXPECT_EQ(parser.Consumed(), file.size());
}

// ---- damage ----

TEST(CaptureFileParser, AFileCutAtEveryByteOfItsLastRecordKeepsEveryWholePacket) {
    const Bytes frame = testing::EthernetFrame(Datagram(21));  // odd size: pcapng pads it
    for (Container c : kContainers) {
        SCOPED_TRACE(ContainerName(c));
        std::vector<std::size_t> starts;
        const Bytes file = BuildFile(c, 1, {frame, frame, frame}, &starts);
        const std::size_t lastStart = starts.back();
        for (std::size_t cut = lastStart; cut <= file.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            for (std::size_t slice : {std::size_t{0}, std::size_t{5}}) {
                const Parsed parsed = Parse(prefix, slice);
                if (cut == lastStart || cut == file.size()) {
                    // A file that ends between records is whole.
                    EXPECT_TRUE(parsed.ended);
                    EXPECT_EQ(parsed.packets.size(), cut == lastStart ? 2u : 3u);
                    continue;
                }
                EXPECT_EQ(parsed.packets.size(), 2u);
                ASSERT_TRUE(parsed.error);
                EXPECT_EQ(parsed.error->offset, lastStart);
                EXPECT_NE(parsed.error->message.find("cut short at byte " + std::to_string(lastStart)),
                          std::string::npos)
                    << parsed.error->message;
            }
        }
    }
}

TEST(CaptureFileParser, FilesThatAreNotCaptureFilesFailBeforeAnyPacket) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* says;
    };
    const std::string text = "Date,Source,Destination\n2024-01-01,198.51.100.1,198.51.100.2\n";
    ByteSink shbWithoutMagic(false);
    shbWithoutMagic.U32(0x0A0D0D0A);
    shbWithoutMagic.U32(28);
    shbWithoutMagic.U32(0x11223344);
    shbWithoutMagic.Append(Bytes(16, 0));
    PcapHeaderFields version3;
    version3.major = 3;
    const Bytes pcapHeader = testing::PcapHeader({}).out;
    const Case cases[] = {
        {"empty", {}, "empty"},
        {"three bytes", {0xD4, 0xC3, 0xB2}, "too short"},
        {"text", Bytes(text.begin(), text.end()), "not a capture file"},
        {"gzip", {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, "not a capture file"},
        {"pcapng header without byte-order magic", shbWithoutMagic.out, "not a capture file"},
        {"pcap version 3", testing::PcapHeader(version3).out, "version 3"},
        {"pcap header cut short", Bytes(pcapHeader.begin(), pcapHeader.begin() + 20), "cut short at byte 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t slice : {std::size_t{0}, std::size_t{1}}) {
            const Parsed parsed = Parse(c.bytes, slice);
            EXPECT_TRUE(parsed.packets.empty());
            ASSERT_TRUE(parsed.error);
            EXPECT_EQ(parsed.error->offset, 0u);
            EXPECT_NE(parsed.error->message.find(c.says), std::string::npos) << parsed.error->message;
        }
    }
}

// A three-packet pcapng file whose second packet block is changed by damage().
template <typename Damage>
Parsed ParseWithDamagedSecondBlock(Damage damage, std::size_t* secondStart) {
    PcapngBuilder b;
    b.Interface(testing::Interface(101));
    b.Enhanced(0, 1, Datagram());
    *secondStart = b.Size();
    b.Enhanced(0, 2, Datagram());
    const std::size_t secondEnd = b.Size();
    b.Enhanced(0, 3, Datagram());
    Bytes file = b.Data();
    damage(file, *secondStart, secondEnd);
    return Parse(file);
}

void PutU32Le(Bytes& file, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(CaptureFileParser, DamagedPcapngBlocksStopWithTheOffsetAfterTheWholePackets) {
    struct Case {
        const char* name;
        std::function<void(Bytes&, std::size_t, std::size_t)> damage;
        const char* says;
    };
    const Case cases[] = {
        {"length not a multiple of four", [](Bytes& f, std::size_t s, std::size_t) { PutU32Le(f, s + 4, 62); }, "claims 62 bytes"},
        {"length shorter than a block", [](Bytes& f, std::size_t s, std::size_t) { PutU32Le(f, s + 4, 8); }, "claims 8 bytes"},
        {"length beyond any block", [](Bytes& f, std::size_t s, std::size_t) { PutU32Le(f, s + 4, 0x7FFFFFF0); }, "claims"},
        {"trailing length differs", [](Bytes& f, std::size_t, std::size_t e) { PutU32Le(f, e - 4, 1234); }, "two lengths differ"},
        {"leading length longer than the block", [](Bytes& f, std::size_t s, std::size_t e) { PutU32Le(f, s + 4, static_cast<std::uint32_t>(e - s + 8)); }, "two lengths differ"},
        {"captured length past the block", [](Bytes& f, std::size_t s, std::size_t) { PutU32Le(f, s + 20, 4000); }, "more bytes than it holds"},
        {"undescribed interface", [](Bytes& f, std::size_t s, std::size_t) { PutU32Le(f, s + 8, 3); }, "interface that was not described"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t secondStart = 0;
        const Parsed parsed = ParseWithDamagedSecondBlock(c.damage, &secondStart);
        ASSERT_EQ(parsed.packets.size(), 1u);
        ASSERT_TRUE(parsed.error);
        EXPECT_EQ(parsed.error->offset, secondStart);
        EXPECT_NE(parsed.error->message.find("damaged at byte " + std::to_string(secondStart)), std::string::npos)
            << parsed.error->message;
        EXPECT_NE(parsed.error->message.find(c.says), std::string::npos) << parsed.error->message;
    }
}

TEST(CaptureFileParser, APcapRecordClaimingMoreThanAnyFrameIsDamage) {
    PcapHeaderFields f;
    f.linktype = 101;
    ByteSink s = testing::PcapHeader(f);
    testing::PcapRecord(s, f, 1, 0, Datagram());
    const std::size_t second = s.out.size();
    testing::PcapRecord(s, f, 2, 0, Datagram());
    PutU32Le(s.out, second + 8, 0x01000000);
    const Parsed parsed = Parse(s.out);
    ASSERT_EQ(parsed.packets.size(), 1u);
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->offset, second);
}

TEST(CaptureFileParser, AnInterfaceOptionRunningPastItsBlockIsDamage) {
    PcapngBuilder b;
    ByteSink body(false);
    body.U16(101);
    body.U16(0);
    body.U32(0);
    body.U16(2);    // if_name
    body.U16(200);  // longer than the block
    body.Append({'e', 't', 'h', '0'});
    const std::size_t idbStart = b.Size();
    b.Block(1, body.out);
    const Parsed parsed = Parse(b.Data());
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->offset, idbStart);
}

// ---- pcapng structure ----

TEST(CaptureFileParser, SectionsResetInterfacesAndMaySwitchByteOrder) {
    const Bytes a = Datagram(4, 0x41);
    const Bytes b = Datagram(4, 0x42);
    PcapngBuilder file(false);
    file.Interface(testing::Interface(101, "first"));
    file.Interface(testing::Interface(101));
    file.Enhanced(1, 1, a);
    file.Section(true);
    file.Interface(testing::Interface(1, "second"));
    file.Enhanced(0, 2, testing::EthernetFrame(b));
    Parsed parsed = Parse(file.Data());
    ASSERT_TRUE(parsed.ended) << parsed.error->message;
    ASSERT_EQ(parsed.packets.size(), 2u);
    EXPECT_EQ(parsed.packets[0].bytes, a);
    EXPECT_EQ(parsed.packets[1].bytes, b);
    EXPECT_EQ(parsed.info.interfaceName, "first");

    // Interface 1 of the first section does not exist in the second.
    const std::size_t before = file.Size();
    file.Enhanced(1, 3, testing::EthernetFrame(b));
    parsed = Parse(file.Data());
    EXPECT_EQ(parsed.packets.size(), 2u);
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->offset, before);
}

TEST(CaptureFileParser, RecordsTheFirstInterfacesNameAndAddressAndTheKernelDrops) {
    PcapngBuilder file;
    file.Interface(testing::Interface(101, "veth0", {198, 51, 100, 7, 255, 255, 255, 255}));
    file.Interface(testing::Interface(1, "eth1", {203, 0, 113, 9, 255, 255, 255, 0}));
    file.Enhanced(0, 1, Datagram());
    file.Statistics(1, 99);  // another interface's count is not the capture's
    file.Statistics(0, 42);
    const Parsed parsed = Parse(file.Data());
    ASSERT_TRUE(parsed.ended);
    EXPECT_EQ(parsed.info.interfaceName, "veth0");
    ASSERT_TRUE(parsed.info.captureAddress);
    EXPECT_EQ(*parsed.info.captureAddress, testing::Addr("198.51.100.7"));
    EXPECT_EQ(parsed.info.kernelDrops, 42u);

    const Parsed pcap = Parse(BuildFile(Container::PcapLe, 101, {Datagram()}));
    EXPECT_TRUE(pcap.info.interfaceName.empty());
    EXPECT_FALSE(pcap.info.captureAddress);
    EXPECT_FALSE(pcap.info.kernelDrops);
}

TEST(CaptureFileParser, SkipsBlocksThatCarryNoPackets) {
    PcapngBuilder file;
    file.Interface(testing::Interface(101));
    file.Block(4, Bytes(12, 0));           // name resolution
    file.Block(0x0A, Bytes(8, 0));         // decryption secrets
    file.Block(0x00000BAD, Bytes(16, 1));  // custom
    file.Block(0x40000BAD, Bytes(4, 1));   // custom, not to be copied
    file.Block(0x12345678, Bytes());       // unknown
    file.Enhanced(0, 1, Datagram());
    const Parsed parsed = Parse(file.Data());
    ASSERT_TRUE(parsed.ended);
    EXPECT_EQ(parsed.packets.size(), 1u);
    EXPECT_EQ(parsed.skipped, 0u);
}

TEST(CaptureFileParser, ReadsSimpleAndObsoletePacketBlocks) {
    const Bytes datagram = Datagram(100);  // 128 bytes
    PcapngBuilder file;
    InterfaceFields idb = testing::Interface(1);
    idb.snapLength = 14 + 64;
    idb.tsresol = 9;
    file.Interface(idb);
    file.Simple(testing::EthernetFrame(Bytes(datagram.begin(), datagram.begin() + 64)),
                static_cast<std::uint32_t>(14 + datagram.size()));
    file.Obsolete(0, 1700000000123456789ULL, testing::EthernetFrame(datagram));
    const Parsed parsed = Parse(file.Data());
    ASSERT_TRUE(parsed.ended) << parsed.error->message;
    ASSERT_EQ(parsed.packets.size(), 2u);
    EXPECT_EQ(parsed.packets[0].bytes, Bytes(datagram.begin(), datagram.begin() + 64));
    EXPECT_EQ(parsed.packets[0].wireLength, datagram.size());
    EXPECT_EQ(parsed.packets[0].seconds, 0);
    EXPECT_EQ(parsed.packets[1].bytes, datagram);
    EXPECT_EQ(parsed.packets[1].seconds, 1700000000);
    EXPECT_EQ(parsed.packets[1].nanoseconds, 123456789u);
}

}  // namespace
}  // namespace wirelens
