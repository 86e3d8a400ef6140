#include "files/capture_file_writer.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/capture_file_io.h"
#include "tests/capture_file_builder.h"
#include "tests/capture_file_test_support.h"

namespace wirelens {
namespace {

using testing::ReadBackFile;
using testing::ReadWholeFile;
using testing::SamplePackets;
using testing::StoredPacket;
using testing::TempFolder;
using Bytes = std::vector<std::uint8_t>;

std::optional<std::string> WritePackets(const std::string& path, CaptureFileFormat format,
                                        const CaptureFileInfo& info,
                                        const std::vector<StoredPacket>& packets) {
    return WriteCaptureFile(path, format, info, packets.size(),
                            [&packets](std::size_t i) { return packets[i].View(); });
}

CaptureFileInfo SampleInfo(bool nanosecond) {
    CaptureFileInfo info;
    info.interfaceName = "veth-capture";
    info.captureAddress = testing::Addr("198.51.100.7");
    info.kernelDrops = 17;
    info.nanosecondResolution = nanosecond;
    return info;
}

TEST(CaptureFileWriter, EachFormatAndResolutionReadsBackTheSamePackets) {
    TempFolder folder;
    const auto packets = SamplePackets();
    for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
        for (const bool nano : {false, true}) {
            const bool pcapng = format == CaptureFileFormat::PcapNg;
            SCOPED_TRACE(std::string(pcapng ? "pcapng" : "pcap") + (nano ? " nano" : " micro"));
            const std::string path = folder.File("out");
            ASSERT_EQ(WritePackets(path, format, SampleInfo(nano), packets), std::nullopt);
            const auto back = ReadBackFile(path);
            ASSERT_FALSE(back.result.error) << back.result.error->message;
            EXPECT_EQ(back.result.format, format);
            EXPECT_EQ(back.result.info.nanosecondResolution, nano);
            EXPECT_EQ(back.packets, nano ? packets : testing::ToMicroseconds(packets));
            if (pcapng) {
                EXPECT_EQ(back.result.info.interfaceName, "veth-capture");
                EXPECT_EQ(back.result.info.captureAddress, testing::Addr("198.51.100.7"));
                EXPECT_EQ(back.result.info.kernelDrops, 17u);
            }
        }
    }
}

TEST(CaptureFileWriter, PcapngRecordsTheInterfaceAsAHostAddressAndTheCaptureSpanInStatistics) {
    TempFolder folder;
    const std::string path = folder.File("out.pcapng");
    const auto packets = SamplePackets();
    ASSERT_EQ(WritePackets(path, CaptureFileFormat::PcapNg, SampleInfo(true), packets), std::nullopt);
    const Bytes file = ReadWholeFile(path);
    const auto find = [&file](const Bytes& needle) {
        return std::search(file.begin(), file.end(), needle.begin(), needle.end()) != file.end();
    };
    // if_IPv4addr: code 4, length 8, address, mask 255.255.255.255.
    EXPECT_TRUE(find({4, 0, 8, 0, 198, 51, 100, 7, 255, 255, 255, 255}));
    // if_tsresol 9 and snap length 2000 after link type 101.
    EXPECT_TRUE(find({9, 0, 1, 0, 9, 0, 0, 0}));
    EXPECT_TRUE(find({101, 0, 0, 0, 0xD0, 0x07, 0, 0}));
    // isb_starttime and isb_endtime: the first and last packet, high word first.
    const auto timeOption = [](std::uint16_t code, const StoredPacket& p) {
        const std::uint64_t t = static_cast<std::uint64_t>(p.seconds) * 1000000000ULL + p.nanoseconds;
        testing::ByteSink s(false);
        s.U16(code);
        s.U16(8);
        s.U32(static_cast<std::uint32_t>(t >> 32));
        s.U32(static_cast<std::uint32_t>(t));
        return s.out;
    };
    EXPECT_TRUE(find(timeOption(2, packets.front())));
    EXPECT_TRUE(find(timeOption(3, packets.back())));
}

TEST(CaptureFileWriter, AnEmptyCaptureStillMakesAReadableFile) {
    TempFolder folder;
    for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
        const std::string path = folder.File("empty");
        ASSERT_EQ(WritePackets(path, format, CaptureFileInfo{}, {}), std::nullopt);
        const auto back = ReadBackFile(path);
        EXPECT_FALSE(back.result.error);
        EXPECT_EQ(back.result.format, format);
        EXPECT_TRUE(back.packets.empty());
    }
}

TEST(CaptureFileFormatForPath, PcapOnlyForThePcapSuffix) {
    const std::pair<const char*, CaptureFileFormat> cases[] = {
        {"capture.pcap", CaptureFileFormat::Pcap},      {"/tmp/A.PCAP", CaptureFileFormat::Pcap},
        {".pcap", CaptureFileFormat::Pcap},             {"capture.pcapng", CaptureFileFormat::PcapNg},
        {"capture.ntar", CaptureFileFormat::PcapNg},    {"capture", CaptureFileFormat::PcapNg},
        {"pcap", CaptureFileFormat::PcapNg},            {"dir.pcap/capture", CaptureFileFormat::PcapNg},
        {"capture.pcap.gz", CaptureFileFormat::PcapNg}, {"", CaptureFileFormat::PcapNg},
    };
    for (const auto& [path, format] : cases) EXPECT_EQ(CaptureFileFormatForPath(path), format) << path;
}

// ---- failures ----

TEST(CaptureFileWriter, AnUnfinishedFileLeavesTheEarlierOneAndNoTemporaryFile) {
    TempFolder folder;
    const std::string path = folder.File("keep.pcapng");
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    testing::WriteWholeFile(path, earlier);
    const auto packets = SamplePackets();
    for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
        {
            CaptureFileWriter writer;
            ASSERT_EQ(writer.Open(path, format, CaptureFileInfo{}), std::nullopt);
            for (const auto& p : packets) EXPECT_TRUE(writer.Write(p.View()));
            EXPECT_EQ(ReadWholeFile(path), earlier);  // nothing shows before Commit
        }  // destroyed without Commit
        EXPECT_EQ(ReadWholeFile(path), earlier);
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{"keep.pcapng"});

        CaptureFileWriter aborted;
        ASSERT_EQ(aborted.Open(path, format, CaptureFileInfo{}), std::nullopt);
        aborted.Abort();
        EXPECT_EQ(ReadWholeFile(path), earlier);
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{"keep.pcapng"});
    }
    ASSERT_EQ(WritePackets(path, CaptureFileFormat::PcapNg, CaptureFileInfo{}, packets), std::nullopt);
    EXPECT_EQ(ReadBackFile(path).packets.size(), packets.size());
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"keep.pcapng"});
}

TEST(CaptureFileWriter, FailuresGiveTheSystemsReason) {
    TempFolder folder;
    const auto packets = SamplePackets();
    struct Case {
        const char* name;
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {"missing folder", folder.File("none/out.pcapng"), "No such file or directory"},
        {"a folder", folder.Path(), "Is a directory"},
        {"full device", "/dev/full", "No space left on device"},
    };
    for (const Case& c : cases) {
        for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
            SCOPED_TRACE(std::string(c.name) + (format == CaptureFileFormat::Pcap ? " pcap" : " pcapng"));
            const auto why = WritePackets(c.path, format, CaptureFileInfo{}, packets);
            ASSERT_TRUE(why);
            EXPECT_NE(why->find(c.reason), std::string::npos) << *why;
            EXPECT_NE(why->find(c.path), std::string::npos) << *why;
        }
    }
    EXPECT_TRUE(folder.Entries().empty());
}

// A disk that fills up while saving: a tiny tmpfs (needs root to mount).
TEST(CaptureFileWriter, AFullDiskFailsTheSaveAndKeepsTheEarlierFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempFolder folder;
    const std::string mountPoint = folder.File("small");
    std::filesystem::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    const std::string path = mountPoint + "/capture.pcapng";
    const Bytes earlier(1000, 0x5A);
    testing::WriteWholeFile(path, earlier);
    std::vector<StoredPacket> many;
    for (int i = 0; i < 200; ++i) many.push_back(SamplePackets()[3]);  // 1500 bytes each: 300 KB
    for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
        SCOPED_TRACE(format == CaptureFileFormat::Pcap ? "pcap" : "pcapng");
        const auto why = WritePackets(path, format, CaptureFileInfo{}, many);
        ASSERT_TRUE(why);
        EXPECT_NE(why->find("No space left on device"), std::string::npos) << *why;
        EXPECT_EQ(ReadWholeFile(path), earlier);
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(mountPoint)) left.push_back(e.path().filename());
        EXPECT_EQ(left, std::vector<std::string>{"capture.pcapng"});
    }
}

// ---- whole-file reading and conversion ----

TEST(ReadCaptureFile, ReportsProgressToTheFileSizeAndStopsWhenCancelled) {
    TempFolder folder;
    const std::string path = folder.File("big.pcap");
    std::vector<StoredPacket> packets(30000, SamplePackets()[2]);  // 128-byte datagrams: ~4.3 MB
    ASSERT_EQ(WritePackets(path, CaptureFileFormat::Pcap, CaptureFileInfo{}, packets), std::nullopt);
    const auto size = static_cast<std::uint64_t>(std::filesystem::file_size(path));

    std::vector<std::uint64_t> seen;
    std::uint64_t count = 0;
    auto whole = ReadCaptureFile(
        path, [&count](const CapturePacket&) { ++count; },
        [&](std::uint64_t read, std::uint64_t total) {
            EXPECT_EQ(total, size);
            seen.push_back(read);
            return true;
        });
    EXPECT_FALSE(whole.error);
    EXPECT_FALSE(whole.cancelled);
    EXPECT_EQ(count, packets.size());
    EXPECT_EQ(whole.packets, packets.size());
    ASSERT_GE(seen.size(), 4u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), size);

    count = 0;
    auto cancelled = ReadCaptureFile(
        path, [&count](const CapturePacket&) { ++count; },
        [](std::uint64_t, std::uint64_t) { return false; });
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_FALSE(cancelled.error);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, packets.size());
    EXPECT_EQ(cancelled.packets, count);
}

TEST(ReadCaptureFile, AMissingFileGivesTheSystemsReason) {
    TempFolder folder;
    const auto result = ReadCaptureFile(folder.File("absent.pcap"), [](const CapturePacket&) {});
    ASSERT_TRUE(result.error);
    EXPECT_NE(result.error->message.find("No such file or directory"), std::string::npos);
    EXPECT_FALSE(result.format);
}

TEST(ConvertCaptureFile, PcapAndPcapngConvertBothWaysWithEveryPacketAndTheInterface) {
    TempFolder folder;
    const auto packets = SamplePackets();
    for (const bool nano : {false, true}) {
        SCOPED_TRACE(nano ? "nano" : "micro");
        const std::string original = folder.File("original.pcapng");
        ASSERT_EQ(WritePackets(original, CaptureFileFormat::PcapNg, SampleInfo(nano), packets), std::nullopt);

        const auto toPcap = ConvertCaptureFile(original, folder.File("converted.pcap"));
        ASSERT_TRUE(toPcap.Ok()) << (toPcap.writeError ? *toPcap.writeError : toPcap.readError->message);
        EXPECT_EQ(toPcap.packetsRead, packets.size());
        EXPECT_EQ(toPcap.packetsWritten, packets.size());
        const auto pcap = ReadBackFile(folder.File("converted.pcap"));
        EXPECT_EQ(pcap.result.format, CaptureFileFormat::Pcap);
        EXPECT_EQ(pcap.packets, nano ? packets : testing::ToMicroseconds(packets));

        const auto back = ConvertCaptureFile(folder.File("converted.pcap"), folder.File("back"));
        ASSERT_TRUE(back.Ok());
        const auto pcapng = ReadBackFile(folder.File("back"));
        EXPECT_EQ(pcapng.result.format, CaptureFileFormat::PcapNg);
        EXPECT_EQ(pcapng.result.info.nanosecondResolution, nano);
        EXPECT_EQ(pcapng.packets, pcap.packets);

        // pcapng to pcapng keeps the interface's name, address and drop count.
        ASSERT_TRUE(ConvertCaptureFile(original, folder.File("copy"), CaptureFileFormat::PcapNg).Ok());
        const auto copy = ReadBackFile(folder.File("copy"));
        EXPECT_EQ(copy.result.info.interfaceName, "veth-capture");
        EXPECT_EQ(copy.result.info.captureAddress, testing::Addr("198.51.100.7"));
        EXPECT_EQ(copy.result.info.kernelDrops, 17u);
    }
}

TEST(ConvertCaptureFile, APredicateChoosesThePacketsWritten) {
    TempFolder folder;
    const auto packets = SamplePackets();
    ASSERT_EQ(WritePackets(folder.File("in.pcap"), CaptureFileFormat::Pcap, CaptureFileInfo{}, packets), std::nullopt);
    const auto result = ConvertCaptureFile(folder.File("in.pcap"), folder.File("out.pcapng"), std::nullopt,
                                           [](const CapturePacket& p) { return p.bytes[9] == 17; });
    ASSERT_TRUE(result.Ok());
    EXPECT_EQ(result.packetsRead, packets.size());
    EXPECT_EQ(result.packetsWritten, 3u);
    const auto out = ReadBackFile(folder.File("out.pcapng"));
    ASSERT_EQ(out.packets.size(), 3u);
    EXPECT_EQ(out.packets[0], testing::ToMicroseconds({packets[0]})[0]);
    EXPECT_EQ(out.packets[2], testing::ToMicroseconds({packets[4]})[0]);
}

TEST(ConvertCaptureFile, DamagedInputWritesThePacketsBeforeTheDamageAndSaysWhere) {
    TempFolder folder;
    const auto packets = SamplePackets();
    const std::string whole = folder.File("whole.pcap");
    ASSERT_EQ(WritePackets(whole, CaptureFileFormat::Pcap, CaptureFileInfo{}, packets), std::nullopt);
    Bytes cut = ReadWholeFile(whole);
    const std::size_t lastRecord = cut.size() - (16 + packets.back().bytes.size());
    cut.resize(cut.size() - 3);
    testing::WriteWholeFile(folder.File("cut.pcap"), cut);

    const auto result = ConvertCaptureFile(folder.File("cut.pcap"), folder.File("out.pcapng"));
    ASSERT_TRUE(result.readError);
    EXPECT_EQ(result.readError->offset, lastRecord);
    EXPECT_FALSE(result.writeError);
    EXPECT_EQ(result.packetsWritten, packets.size() - 1);
    EXPECT_EQ(ReadBackFile(folder.File("out.pcapng")).packets.size(), packets.size() - 1);
}

TEST(ConvertCaptureFile, InputThatIsNoCaptureFileMakesNoOutput) {
    TempFolder folder;
    testing::WriteWholeFile(folder.File("notes.txt"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    const Bytes earlier = {'o', 'l', 'd'};
    testing::WriteWholeFile(folder.File("out.pcap"), earlier);
    for (const char* in : {"notes.txt", "absent.pcap"}) {
        SCOPED_TRACE(in);
        const auto result = ConvertCaptureFile(folder.File(in), folder.File("out.pcap"));
        ASSERT_TRUE(result.readError);
        EXPECT_FALSE(result.writeError);
        EXPECT_EQ(result.packetsWritten, 0u);
        EXPECT_EQ(ReadWholeFile(folder.File("out.pcap")), earlier);
    }
    EXPECT_EQ(folder.Entries().size(), 2u);
}

}  // namespace
}  // namespace wirelens
