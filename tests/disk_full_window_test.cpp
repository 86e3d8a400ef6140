// The window when the disk holding the capture's temporary file fills: a live
// capture and a file being read both stop, say so naming the folder, and keep
// every packet filed before.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
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

// A window whose session keeps its bytes on `disk`.
std::unique_ptr<FormMainHarness> WindowOn(const SmallTmpfs& disk) {
    const char* old = std::getenv("XDG_CACHE_HOME");
    const std::string restore = old != nullptr ? old : "";
    setenv("XDG_CACHE_HOME", disk.Path().c_str(), 1);
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

void ExpectEveryKeptPacketWhole(FormMain& window) {
    const CaptureSession& session = window.Session();
    ASSERT_GT(session.Count(), 4000) << "at least one chunk went to the file";
    // All may have been filed before the writer found the disk full.
    ASSERT_LE(session.Count(), kDatagrams);
    EXPECT_EQ(session.Raw().Count(), static_cast<std::uint32_t>(session.Count()));
    EXPECT_EQ(window.Model()->rowCount(), session.Count());
    for (std::int32_t key = 1; key <= session.Count(); ++key) {
        const auto bytes = session.Bytes(*session.Packets().Get(key));
        const auto expected = Datagram(key - 1);
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end())) << "key " << key;
    }
}

class DiskFullWindow : public ::testing::Test {
protected:
    void TearDown() override { SetCaptureHelperPath(""); }
};

TEST_F(DiskFullWindow, EndsTheCaptureNamingTheFolderAndKeepsEveryPacket) {
    SmallTmpfs disk("8m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    QTemporaryDir folder;
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    for (int i = 0; i < kDatagrams; ++i) {
        const auto datagram = Datagram(i);
        AppendFrame(stream, FrameType::Datagram, 1700000000, static_cast<std::uint32_t>(i),
                    static_cast<std::uint32_t>(datagram.size()), datagram);
    }
    ASSERT_TRUE(testing::UseStandInHelper(folder, stream));

    auto h = WindowOn(disk);
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

    auto h = WindowOn(disk);
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

}  // namespace
}  // namespace wirelens
