// The window when the disk holding the capture's temporary file fills: a live
// capture and a file being read both stop, say so naming the folder, and keep
// every packet filed before. And when that disk stalls: the window goes on
// answering while the capture waits for it, and loses nothing.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/mdlwinsock.h"
#include "files/capture_file_writer.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"
#include "tests/small_tmpfs.h"

namespace wirelens {
namespace {

using testing::FormMainHarness;
using testing::SmallTmpfs;

// Over 4 chunks of bytes: more than the 8 MiB disk holds.
constexpr int kDatagrams = 12000;

std::vector<std::uint8_t> Datagram(int i) {
    testing::DatagramFields fields;
    fields.protocol = 17;
    fields.src = "198.51.100.2";
    fields.dst = "198.51.100.1";
    fields.payload.assign(1500, static_cast<std::uint8_t>(i));
    return testing::BuildDatagram(fields);
}

// A window whose session keeps its bytes in `disk`, a mounted folder.
std::unique_ptr<FormMainHarness> WindowOn(const std::string& disk) {
    const char* old = std::getenv("XDG_CACHE_HOME");
    const std::string restore = old != nullptr ? old : "";
    setenv("XDG_CACHE_HOME", disk.c_str(), 1);
    auto h = std::make_unique<FormMainHarness>(std::vector<std::string>{"198.51.100.1;255.255.255.0"});
    if (restore.empty()) unsetenv("XDG_CACHE_HOME");
    else setenv("XDG_CACHE_HOME", restore.c_str(), 1);
    return h;
}

// Every packet kept is whole: the one the disk refused left nothing behind.
// The stop is told once, as a warning, in these words.
void ExpectOneWarning(const FormMainHarness& h, const std::string& text) {
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].icon, QMessageBox::Warning);
    EXPECT_EQ(h.messages[0].text.toStdString(), text);
}

// Every packet filed is listed, and reads back as Datagram(key - 1).
void ExpectEveryFiledPacketWhole(FormMain& window) {
    const CaptureSession& session = window.Session();
    EXPECT_EQ(session.Raw().Count(), static_cast<std::uint32_t>(session.Count()));
    EXPECT_EQ(window.Model()->rowCount(), session.Count());
    for (std::int32_t key = 1; key <= session.Count(); ++key) {
        const auto bytes = session.Bytes(*session.Packets().Get(key));
        const auto expected = Datagram(key - 1);
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end())) << "key " << key;
    }
}

void ExpectEveryKeptPacketWhole(FormMain& window) {
    const CaptureSession& session = window.Session();
    ASSERT_GT(session.Count(), 4000) << "at least one chunk went to the file";
    // All may have been filed before the writer found the disk full.
    ASSERT_LE(session.Count(), kDatagrams);
    ExpectEveryFiledPacketWhole(window);
}

// A capture stream of the helper's: Ready, then Datagram(0 .. count - 1).
std::vector<std::uint8_t> CaptureStream(int count) {
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    for (int i = 0; i < count; ++i) {
        const auto datagram = Datagram(i);
        AppendFrame(stream, FrameType::Datagram, 1700000000, static_cast<std::uint32_t>(i),
                    static_cast<std::uint32_t>(datagram.size()), datagram);
    }
    return stream;
}

class DiskFullWindow : public ::testing::Test {
protected:
    void TearDown() override { SetCaptureHelperPath(""); }
};

TEST_F(DiskFullWindow, EndsTheCaptureNamingTheFolderAndKeepsEveryPacket) {
    SmallTmpfs disk("8m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    QTemporaryDir folder;
    ASSERT_TRUE(testing::UseStandInHelper(folder, CaptureStream(kDatagrams)));

    auto h = WindowOn(disk.Path());
    h->window->StartCapture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h->window->IsCapturing(); }, 20000));
    h->Settle();
    EXPECT_EQ(h->window->PanelText(1), "Stopped");
    EXPECT_EQ(h->window->Session().LastRefusal(), FilingStop::DiskFull);
    ExpectOneWarning(*h, "The capture stopped: the disk holding the capture's temporary file (" + disk.Path() +
                             "/wirelens) is full. The " + std::to_string(h->window->Session().Count()) +
                             " packets captured so far are kept; clear the list to capture more.");
    ExpectEveryKeptPacketWhole(*h->window);
}

TEST_F(DiskFullWindow, StopsReadingAFileNamingTheFolderAndKeepsEveryPacket) {
    SmallTmpfs disk("8m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("big.pcapng")).toStdString();
    CaptureFileInfo info;
    info.interfaceName = "veth0";
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int i = 0; i < kDatagrams; ++i) datagrams.push_back(Datagram(i));
    const auto error = WriteCaptureFile(path, CaptureFileFormat::PcapNg, info, datagrams.size(), [&](std::size_t i) {
        CapturePacket p;
        p.bytes = datagrams[i];
        p.seconds = 1700000000;
        p.wireLength = static_cast<std::uint32_t>(p.bytes.size());
        return p;
    });
    ASSERT_FALSE(error) << *error;

    auto h = WindowOn(disk.Path());
    ASSERT_TRUE(h->window->OpenCaptureFile(QString::fromStdString(path)));
    QElapsedTimer clock;
    clock.start();
    while (h->window->IsReadingFile() && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    h->Settle();
    ASSERT_FALSE(h->window->IsReadingFile());
    ExpectOneWarning(*h, "Reading \"big.pcapng\" stopped: the disk holding the capture's temporary file (" +
                             disk.Path() + "/wirelens) is full. The " +
                             std::to_string(h->window->Session().Count()) +
                             " packets read so far are kept; clear the list to read more.");
    ExpectEveryKeptPacketWhole(*h->window);
}

// A disk that stalls mid-capture (here a file system frozen for a few
// seconds) fills the store's writer: the window then takes no more of the
// capture until the disk goes on, answering meanwhile, and once it does
// every datagram is filed whole.
TEST_F(DiskFullWindow, ADiskThatStallsHoldsUpTheCaptureNotTheWindow) {
    testing::FreezableDisk disk;
    if (!disk.Mounted()) GTEST_SKIP() << "a loop-mounted ext4 needs root, mkfs.ext4 and a loop device";
    // 72 chunks of bytes: more than the writer takes while the disk is frozen,
    // less than the disk holds once it goes on.
    const int kStalled = static_cast<int>(72 * (std::size_t{4} << 20) / Datagram(0).size());
    QTemporaryDir folder;
    ASSERT_TRUE(testing::UseStandInHelper(folder, CaptureStream(kStalled)));
    auto h = WindowOn(disk.Path());
    ASSERT_TRUE(h->window->Session().Raw().FileBacked()) << h->window->Session().Raw().StorageNote();
    // Memory for 64 chunks (256 MiB) to wait for the disk, whatever this machine has.
    h->window->Session().SetMemoryGuard(
        {[] { return std::optional<std::uint64_t>(std::uint64_t{2} << 30); }, CaptureSession::kMemoryMargin, 1});
    if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";

    // Thawed from another thread, which a window waiting for the disk cannot
    // hold up, a while after the writer is first seen full: how soon the
    // window fills the writer's room depends on how busy the machine is.
    using Clock = std::chrono::steady_clock;
    constexpr auto kFullFor = std::chrono::seconds(2);
    constexpr auto kLongestToFill = std::chrono::seconds(30);
    std::atomic<bool> full{false};
    std::atomic<bool> thawed{false};
    std::thread thaw([&] {
        for (const auto start = Clock::now(); !full && Clock::now() - start < kLongestToFill;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(kFullFor);
        disk.Thaw();
        thawed = true;
    });
    // The event loop's turns, seen from a timer: the longest gap between them.
    Clock::time_point last = Clock::now();
    Clock::duration longestGap{};
    bool sawWriterFull = false;
    QTimer beat;
    beat.setInterval(10);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestGap = std::max(longestGap, now - last);
        last = now;
        sawWriterFull = sawWriterFull || h->window->Session().StoreWriterFull();
        full = sawWriterFull;
    });
    beat.start();
    last = Clock::now();
    h->window->StartCapture();
    const bool filedAll =
        QTest::qWaitFor([&] { return thawed && h->window->Session().Count() == kStalled; }, 60000);
    beat.stop();
    thaw.join();
    ASSERT_TRUE(filedAll) << h->window->Session().Count() << " of " << kStalled << " filed";
    EXPECT_TRUE(sawWriterFull) << "the writer never filled: the disk stalled nothing";
    // The window says how long it took nothing: most of the time it was full.
    EXPECT_GE(h->window->CaptureWriterWaits().stretches, 1u);
    EXPECT_GT(h->window->CaptureWriterWaits().longestMs, 1000.0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count(), 1000)
        << "the window waited for the stalled disk";
    EXPECT_TRUE(h->window->IsCapturing());
    h->window->StopCapture();
    h->Settle();
    EXPECT_TRUE(h->messages.empty()) << h->messages[0].text.toStdString();
    ASSERT_EQ(h->window->Session().Count(), kStalled);
    EXPECT_EQ(h->window->Session().Raw().WaitingRoom(), 64u);
    ExpectEveryFiledPacketWhole(*h->window);
}

}  // namespace
}  // namespace wirelens
