// The window's capture file commands: opening files and streams, saving,
// and the question before unsaved packets are lost.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QFile>
#include <QTest>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/mdlwinsock.h"
#include "files/capture_file_io.h"
#include "files/capture_file_writer.h"
#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"
#include "ui/command_line.h"

namespace wirelens {
namespace {

using testing::Addr;
using testing::BuildDatagram;
using testing::Bytes;
using testing::DatagramFields;
using testing::FormMainHarness;

DatagramFields Udp(const char* src, const char* dst, std::size_t payload = 10) {
    DatagramFields s;
    s.src = src;
    s.dst = dst;
    s.payload = Bytes(payload);
    return s;
}

struct StoredPacket {
    std::vector<std::uint8_t> bytes;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
    std::uint32_t wireLength;
};

std::vector<StoredPacket> ReadBack(const std::string& path) {
    std::vector<StoredPacket> packets;
    ReadCaptureFile(path, [&](const CapturePacket& p) {
        packets.push_back({{p.bytes.begin(), p.bytes.end()}, p.seconds, p.nanoseconds, p.wireLength});
    });
    return packets;
}

class WindowFiles : public ::testing::Test {
protected:
    void Ingest(const DatagramFields& fields, std::int64_t seconds = 1700000000, std::uint32_t micros = 0) {
        h.window->IngestDatagram(BuildDatagram(fields), seconds, micros);
    }
    std::string Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)).toStdString(); }
    // A pcapng file of `n` UDP datagrams recording `address` as its capture address.
    std::string WriteFile(const char* name, int n, std::optional<std::uint32_t> address = std::nullopt) {
        CaptureFileInfo info;
        info.interfaceName = "veth0";
        info.captureAddress = address;
        std::vector<std::vector<std::uint8_t>> datagrams;
        for (int i = 0; i < n; ++i) datagrams.push_back(BuildDatagram(Udp(i % 2 ? "203.0.113.5" : "203.0.113.6",
                                                                          i % 2 ? "203.0.113.6" : "203.0.113.5", 10 + i)));
        const auto error = WriteCaptureFile(Path(name), CaptureFileFormat::PcapNg, info, datagrams.size(), [&](std::size_t i) {
            CapturePacket p;
            p.bytes = datagrams[i];
            p.seconds = 1700000000 + static_cast<std::int64_t>(i);
            p.nanoseconds = 1000 * static_cast<std::uint32_t>(i);
            p.wireLength = static_cast<std::uint32_t>(datagrams[i].size());
            return p;
        });
        EXPECT_FALSE(error) << *error;
        return Path(name);
    }
    // Runs the event loop until the window has read everything it is reading.
    void WaitForReading() {
        QElapsedTimer clock;
        clock.start();
        while (W().IsReadingFile() && clock.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        h.Settle();
    }
    FormMain& W() { return *h.window; }

    FormMainHarness h;
    QTemporaryDir dir;
};

TEST_F(WindowFiles, OpenedFileListsEveryPacketAndNeedsNoSaving) {
    const std::string path = WriteFile("a.pcapng", 5);
    ASSERT_TRUE(W().OpenCaptureFile(QString::fromStdString(path)));
    WaitForReading();
    EXPECT_EQ(W().Model()->rowCount(), 5);
    EXPECT_EQ(W().PanelText(2), "5 packets");
    EXPECT_EQ(W().PanelText(5), "File: a.pcapng");
    EXPECT_EQ(W().Model()->index(4, PacketListModel::kColSrcAddr).data().toString(), "203.0.113.6");
    EXPECT_FALSE(W().Session().HasUnsavedPackets());
    W().Menu_Clear->trigger();
    EXPECT_TRUE(h.questions.empty());
    EXPECT_EQ(W().Packets().Count(), 0);
}

TEST_F(WindowFiles, ReceivedAndSentFollowTheCaptureAddressTheFileRecords) {
    const std::string path = WriteFile("b.pcapng", 6, Addr("203.0.113.5"));
    ASSERT_TRUE(W().OpenCaptureFile(QString::fromStdString(path)));
    WaitForReading();
    W().ChooseListViewMode(kModeSent);
    EXPECT_EQ(W().Model()->rowCount(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(W().Model()->index(row, PacketListModel::kColSrcAddr).data().toString(), "203.0.113.5");
}

TEST_F(WindowFiles, NoCaptureFileChangesNothing) {
    Ingest(Udp("198.51.100.2", "198.51.100.1"));
    std::ofstream(Path("notes.txt")) << "these are not packets\n";
    EXPECT_FALSE(W().OpenCaptureFile(QString::fromStdString(Path("notes.txt"))));
    h.Settle();
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(W().Model()->rowCount(), 1);
    EXPECT_EQ(W().Packets().Count(), 1);
}

TEST_F(WindowFiles, TruncatedFileKeepsEveryWholePacketAndSaysWhereItStopped) {
    const std::string path = WriteFile("c.pcapng", 4);
    // Cut into the last packet block (the statistics block follows it).
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::vector<StoredPacket> whole = ReadBack(path);
    ASSERT_EQ(whole.size(), 4u);
    std::size_t cut = bytes.size();
    for (std::size_t keep = bytes.size(); keep > 0; --keep) {
        std::ofstream(Path("cut.pcapng"), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(keep));
        if (ReadBack(Path("cut.pcapng")).size() == 3) {
            cut = keep;
            break;
        }
    }
    ASSERT_LT(cut, bytes.size());
    ASSERT_TRUE(W().OpenCaptureFile(QString::fromStdString(Path("cut.pcapng"))));
    WaitForReading();
    EXPECT_EQ(W().Model()->rowCount(), 3);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_TRUE(h.messages[0].text.contains("damaged")) << h.messages[0].text.toStdString();
}

TEST_F(WindowFiles, SavedPacketsReadBackWithTheirTimesBytesAndLengths) {
    DatagramFields big = Udp("198.51.100.2", "198.51.100.1", 2500);
    Ingest(Udp("198.51.100.1", "203.0.113.9"), 1700000001, 250000);
    Ingest(big, 1700000002, 999999);
    Ingest(Udp("203.0.113.9", "198.51.100.1"), 1700000003, 1);
    ASSERT_TRUE(W().Session().HasUnsavedPackets());
    ASSERT_TRUE(W().SavePackets(QString::fromStdString(Path("all.pcapng")), CaptureFileFormat::PcapNg, false));
    EXPECT_FALSE(W().Session().HasUnsavedPackets());
    const std::vector<StoredPacket> all = ReadBack(Path("all.pcapng"));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].seconds, 1700000002);
    EXPECT_EQ(all[1].nanoseconds, 999999000u);
    EXPECT_EQ(all[1].bytes.size(), 2000u);
    EXPECT_EQ(all[1].wireLength, 2528u);
    const auto kept = W().RawDatagrams().Get(2);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all[1].bytes.begin(), all[1].bytes.end()));

    // Only the rows the list shows, as pcap; a part does not count as saved.
    Ingest(Udp("198.51.100.1", "203.0.113.9"), 1700000004, 0);
    W().ChooseListViewMode(kModeSent);
    ASSERT_TRUE(W().SavePackets(QString::fromStdString(Path("sent.pcap")), CaptureFileFormat::Pcap, true));
    const std::vector<StoredPacket> sent = ReadBack(Path("sent.pcap"));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].seconds, 1700000001);
    EXPECT_EQ(sent[1].seconds, 1700000004);
    EXPECT_TRUE(W().Session().HasUnsavedPackets());
}

TEST_F(WindowFiles, FailedSaveIsToldAndLeavesThePacketsUnsaved) {
    Ingest(Udp("198.51.100.1", "203.0.113.9"));
    EXPECT_FALSE(W().SavePackets(dir.filePath("missing/folder/x.pcapng"), CaptureFileFormat::PcapNg, false));
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_TRUE(h.messages[0].text.contains("No such file or directory")) << h.messages[0].text.toStdString();
    EXPECT_TRUE(W().Session().HasUnsavedPackets());
}

TEST_F(WindowFiles, ClearAndExitAskBeforeUnsavedPacketsAreLost) {
    Ingest(Udp("198.51.100.1", "203.0.113.9"));
    h.Settle();
    h.unsavedAnswer = UnsavedChoice::Cancel;
    W().Menu_Clear->trigger();
    W().Button(3)->trigger();
    EXPECT_EQ(h.questions.size(), 2u);
    EXPECT_EQ(W().Packets().Count(), 1);
    W().show();
    W().close();
    EXPECT_TRUE(W().isVisible());  // cancelled: the window stays

    // Save writes the file, then the command goes on.
    h.unsavedAnswer = UnsavedChoice::Save;
    h.saveChoice = {QString::fromStdString(Path("kept.pcapng")), CaptureFileFormat::PcapNg, false};
    W().Menu_Clear->trigger();
    EXPECT_EQ(W().Packets().Count(), 0);
    EXPECT_EQ(ReadBack(Path("kept.pcapng")).size(), 1u);

    // A failed save keeps the packets.
    Ingest(Udp("198.51.100.1", "203.0.113.9"));
    h.saveChoice.path = dir.filePath("missing/x.pcapng");
    W().Menu_Clear->trigger();
    EXPECT_EQ(W().Packets().Count(), 1);

    h.unsavedAnswer = UnsavedChoice::Discard;
    W().close();
    EXPECT_FALSE(W().isVisible());
}

// A file with more packets than the list can keep: reading stops at the
// refused packet and says why and how many are kept, instead of reading on
// and dropping the rest unsaid.
TEST_F(WindowFiles, ReadingStopsAndSaysSoWhenTheListCanKeepNoMore) {
    const std::string path = WriteFile("big.pcapng", 8);
    W().Session().SetPacketLimit(5);
    ASSERT_TRUE(W().OpenCaptureFile(QString::fromStdString(path)));
    WaitForReading();
    EXPECT_EQ(W().Packets().Count(), 5);
    EXPECT_EQ(W().Model()->rowCount(), 5);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].text.toStdString(),
              "Reading \"big.pcapng\" stopped: the packet list is full and cannot keep another packet. The 5 "
              "packets read so far are kept; clear the list to read more.");
    EXPECT_FALSE(W().IsReadingFile());
    // Reading stopped by itself: no note of a cancel by the user.
    const auto* note = W().findChild<QLabel*>(QStringLiteral("stB_note"));
    ASSERT_NE(note, nullptr);
    EXPECT_FALSE(note->text().contains("cancelled")) << note->text().toStdString();
}

TEST_F(WindowFiles, StreamRowsAppearAsTheyArriveAndTheEndIsTold) {
    // A pcap stream: header first, packets whenever the writer has them.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string path = WriteFile("s.pcapng", 3);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t half = bytes.size() / 2;
    ASSERT_EQ(::write(ends[1], bytes.data(), half), static_cast<ssize_t>(half));
    ASSERT_TRUE(W().ReadCaptureStream(ends[0], QStringLiteral("test stream")));
    QElapsedTimer clock;
    clock.start();
    while (W().Model()->rowCount() == 0 && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        h.Settle();
    }
    const int early = W().Model()->rowCount();
    EXPECT_GT(early, 0);
    EXPECT_LT(early, 3);
    EXPECT_TRUE(W().IsReadingFile());
    EXPECT_TRUE(h.messages.empty());
    ASSERT_EQ(::write(ends[1], bytes.data() + half, bytes.size() - half), static_cast<ssize_t>(bytes.size() - half));
    ::close(ends[1]);
    WaitForReading();
    EXPECT_EQ(W().Model()->rowCount(), 3);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_TRUE(h.messages[0].text.contains("ended")) << h.messages[0].text.toStdString();
    EXPECT_EQ(W().PanelText(1), "Stopped");
    // A stream is saved nowhere else.
    EXPECT_TRUE(W().Session().HasUnsavedPackets());
}

// A stand-in capture helper that opens on veth0, hands over one datagram and
// reports 3 kernel drops, then waits to be ended.
void UseStandInCapture(const QTemporaryDir& folder) {
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    const auto datagram = BuildDatagram(Udp("198.51.100.2", "198.51.100.1"));
    AppendFrame(stream, FrameType::Datagram, 1700000000, 5, static_cast<std::uint32_t>(datagram.size()), datagram);
    AppendStatsFrame(stream, 1700000001, 0, StatsPayload{10, 3, 0});
    ASSERT_TRUE(testing::UseStandInHelper(folder, stream));
}

TEST(WindowCaptureFiles, ASavedCaptureRecordsItsInterfaceAddressAndDropsAndOpenAsksToStopIt) {
    QTemporaryDir folder;
    UseStandInCapture(folder);
    FormMainHarness h({"198.51.100.1;255.255.255.0"});
    h.window->StartCapture();
    ASSERT_TRUE(h.window->IsCapturing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.window->KernelDrops() == 3; }, 5000));
    const std::string saved = folder.filePath(QStringLiteral("live.pcapng")).toStdString();
    ASSERT_TRUE(h.window->SavePackets(QString::fromStdString(saved), CaptureFileFormat::PcapNg, false));
    const ReadCaptureFileResult read = ReadCaptureFile(saved, [](const CapturePacket&) {});
    EXPECT_EQ(read.packets, 1u);
    EXPECT_EQ(read.info.interfaceName, "veth0");
    ASSERT_TRUE(read.info.captureAddress.has_value());
    EXPECT_EQ(*read.info.captureAddress, Addr("198.51.100.1"));
    EXPECT_EQ(read.info.kernelDrops.value_or(0), 3u);

    // Opening while capturing asks to stop first; no keeps the capture.
    h.confirmAnswer = false;
    h.openPath = QString::fromStdString(saved);
    h.window->Menu_Open->trigger();
    EXPECT_EQ(h.questions.size(), 1u);
    EXPECT_TRUE(h.window->IsCapturing());
    h.confirmAnswer = true;
    h.window->Menu_Open->trigger();
    EXPECT_FALSE(h.window->IsCapturing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.window->IsReadingFile(); }, 5000));
    h.Settle();
    SetCaptureHelperPath("");
    EXPECT_EQ(h.window->Model()->rowCount(), 1);
    EXPECT_EQ(h.window->PanelText(5), "File: live.pcapng");
}

// Runs the program; its exit status and standard output.
std::pair<int, std::string> RunWirelens(const QStringList& arguments) {
    QProcess program;
    program.start(QString::fromUtf8(WIRELENS_BINARY), arguments);
    if (!program.waitForFinished(60000)) return {-1, {}};
    return {program.exitCode(), program.readAllStandardOutput().toStdString()};
}

TEST_F(WindowFiles, CommandLineConvertsAndPrintsWithoutAWindowAndFilters) {
    const std::string in = WriteFile("in.pcapng", 6);
    // Without a display, as in a script.
    qunsetenv("QT_QPA_PLATFORM");
    const auto [printed, lines] = RunWirelens({"-r", QString::fromStdString(in), "-f", "src 203.0.113.5", "--print"});
    EXPECT_EQ(printed, 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);
    EXPECT_NE(lines.find("UDP\t203.0.113.5\t"), std::string::npos) << lines;
    // Each line ends with the packet's summary.
    EXPECT_NE(lines.find("\tUDP, "), std::string::npos) << lines;

    const std::string out = Path("out.pcap");
    EXPECT_EQ(RunWirelens({"-r", QString::fromStdString(in), "-w", QString::fromStdString(out)}).first, 0);
    EXPECT_EQ(ReadBack(out).size(), 6u);
    EXPECT_EQ(RunWirelens({"-r", QString::fromStdString(in), "-f", "tcp and", "--print"}).first, 2);
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

struct CommandLineCase {
    const char* name;
    QStringList arguments;
    CommandLine::Action action;
    QString read;
    QString write;
};

class CommandLineParsing : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineParsing, ChoosesTheAction) {
    QStringList arguments{QStringLiteral("wirelens")};
    arguments << GetParam().arguments;
    const CommandLine cl = ParseCommandLine(arguments);
    EXPECT_EQ(cl.action, GetParam().action) << cl.error.toStdString();
    if (cl.action == CommandLine::Action::Error) {
        EXPECT_FALSE(cl.error.isEmpty());
        return;
    }
    EXPECT_EQ(cl.readPath, GetParam().read);
    EXPECT_EQ(cl.writePath, GetParam().write);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineParsing,
    ::testing::Values(
        CommandLineCase{"Nothing", {}, CommandLine::Action::Window, {}, {}},
        CommandLineCase{"PositionalFile", {"a.pcap"}, CommandLine::Action::Window, "a.pcap", {}},
        CommandLineCase{"ReadStdin", {"-r", "-"}, CommandLine::Action::Window, "-", {}},
        CommandLineCase{"Convert", {"-r", "in.pcap", "-w", "out.pcapng"}, CommandLine::Action::Convert, "in.pcap", "out.pcapng"},
        CommandLineCase{"PrintNeedsNoWindow", {"-r", "in.pcap", "--print"}, CommandLine::Action::Print, "in.pcap", {}},
        CommandLineCase{"WriteWithoutInput", {"-w", "out.pcap"}, CommandLine::Action::Error, {}, {}},
        CommandLineCase{"TwoInputs", {"-r", "a", "b"}, CommandLine::Action::Error, {}, {}},
        CommandLineCase{"CaptureAndRead", {"-i", "198.51.100.1", "-r", "a"}, CommandLine::Action::Error, {}, {}},
        CommandLineCase{"UnknownOption", {"--frobnicate"}, CommandLine::Action::Error, {}, {}},
        CommandLineCase{"Help", {"--help", "-r", "x"}, CommandLine::Action::Help, {}, {}},
        CommandLineCase{"Version", {"-v"}, CommandLine::Action::Version, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wirelens
