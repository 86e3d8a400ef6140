// How the window tells a capture that ended without Stop: a stand-in helper
// hands over one datagram, then an ending; the window says why in full
// sentences, goes idle and keeps the packet.
#include <QAction>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "capture/capture_stream.h"
#include "capture/mdlwinsock.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/form_main_fixture.h"

namespace wirelens {
namespace {

using testing::FormMainHarness;

struct EndingCase {
    const char* name;
    std::optional<ErrorPayload> error;  // nothing: the helper just ends
    const char* message;
    bool broken = false;  // the datagram is followed by a header no helper writes
};

void PrintTo(const EndingCase& c, std::ostream* out) { *out << c.name; }

class CaptureEndingTest : public ::testing::TestWithParam<EndingCase> {
protected:
    void TearDown() override { SetCaptureHelperPath(""); }
};

TEST_P(CaptureEndingTest, IsToldInFullAndEveryPacketIsKept) {
    const EndingCase& c = GetParam();
    QTemporaryDir folder;
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    testing::DatagramFields fields;
    fields.protocol = 17;
    fields.src = "198.51.100.2";
    fields.dst = "198.51.100.1";
    fields.payload = {'o', 'k'};
    const auto datagram = testing::BuildDatagram(fields);
    AppendFrame(stream, FrameType::Datagram, 1700000000, 0, static_cast<std::uint32_t>(datagram.size()), datagram);
    if (c.error) AppendErrorFrame(stream, c.error->code, c.error->message);
    if (c.broken) stream.insert(stream.end(), sizeof(FrameHeader), 0xff);
    QFile frames(folder.filePath(QStringLiteral("frames.bin")));
    ASSERT_TRUE(frames.open(QIODevice::WriteOnly));
    frames.write(reinterpret_cast<const char*>(stream.data()), static_cast<qint64>(stream.size()));
    frames.close();
    QFile helper(folder.filePath(QStringLiteral("wirelens-capture")));
    ASSERT_TRUE(helper.open(QIODevice::WriteOnly));
    // A helper that reported an error ends with it; one that just ends, ends.
    helper.write(QStringLiteral("#!/bin/sh\ncat '%1'\n%2").arg(frames.fileName(), c.error ? "exit 1\n" : "").toUtf8());
    helper.close();
    helper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SetCaptureHelperPath(helper.fileName().toStdString());

    FormMainHarness h({"198.51.100.1;255.255.255.0"});
    h.window->StartCapture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.window->IsCapturing(); }, 10000));
    h.Settle();
    EXPECT_EQ(h.window->PanelText(1), "Stopped");
    EXPECT_TRUE(h.window->Menu_Start->isEnabled());
    EXPECT_FALSE(h.window->Menu_Stop->isEnabled());
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].text.toStdString(), c.message);
    EXPECT_EQ(h.messages[0].icon, QMessageBox::Warning);
    EXPECT_EQ(h.window->Model()->rowCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, CaptureEndingTest,
    ::testing::Values(
        EndingCase{"AddressRemoved",
                   ErrorPayload{CaptureError::AddressRemoved,
                                "the address 198.51.100.1 was removed from the network interface veth0"},
                   "The capture stopped: the address 198.51.100.1 was removed from the network interface veth0. "
                   "The packets captured so far are kept."},
        EndingCase{"InterfaceWentDown",
                   ErrorPayload{CaptureError::InterfaceDown, "the network interface veth0 went down"},
                   "The capture stopped: the network interface veth0 went down. The packets captured so far are "
                   "kept."},
        EndingCase{"ReasonWithItsOwnFullStop",
                   ErrorPayload{CaptureError::System, "veth0: The interface disappeared."},
                   "The capture stopped: veth0: The interface disappeared. The packets captured so far are kept."},
        EndingCase{"HelperJustEnded", std::nullopt,
                   "The capture stopped by itself: the capture helper ended (was the interface removed?). The "
                   "packets captured so far are kept."},
        EndingCase{"BrokenStream", std::nullopt,
                   "The capture stopped: the capture helper sent data that could not be read.", true}),
    [](const auto& info) { return std::string(info.param.name); });

// The session filing no more ends the capture and says how many packets it keeps.
struct FilingStopCase {
    const char* name;
    std::function<void(CaptureSession&)> limit;
    const char* message;
};

void PrintTo(const FilingStopCase& c, std::ostream* out) { *out << c.name; }

class CaptureFilingStopTest : public ::testing::TestWithParam<FilingStopCase> {
protected:
    void TearDown() override { SetCaptureHelperPath(""); }
};

TEST_P(CaptureFilingStopTest, EndsTheCaptureKeepingWhatWasFiled) {
    QTemporaryDir folder;
    std::vector<std::uint8_t> stream;
    AppendReadyFrame(stream, "veth0");
    for (std::uint8_t i = 0; i < 5; ++i) {
        testing::DatagramFields fields;
        fields.protocol = 17;
        fields.src = "198.51.100.2";
        fields.dst = "198.51.100.1";
        fields.payload = {i};
        const auto datagram = testing::BuildDatagram(fields);
        AppendFrame(stream, FrameType::Datagram, 1700000000, i, static_cast<std::uint32_t>(datagram.size()), datagram);
    }
    ASSERT_TRUE(testing::UseStandInHelper(folder, stream));

    FormMainHarness h({"198.51.100.1;255.255.255.0"});
    GetParam().limit(h.window->Session());
    h.window->StartCapture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.window->IsCapturing(); }, 10000));
    h.Settle();
    EXPECT_EQ(h.window->PanelText(1), "Stopped");
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0].text.toStdString(), GetParam().message);
    EXPECT_EQ(h.window->Model()->rowCount(), 3);
    EXPECT_EQ(h.window->Session().Count(), 3);
    EXPECT_EQ(h.window->Session().Raw().Count(), 3u) << "nothing of a refused packet is kept";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CaptureFilingStopTest,
    ::testing::Values(
        FilingStopCase{"NoKeyLeft", [](CaptureSession& s) { s.SetPacketLimit(3); },
                       "The capture stopped: the packet list is full and cannot keep another packet. The 3 packets "
                       "captured so far are kept; clear the list to capture more."},
        FilingStopCase{"MemoryLow",
                       [](CaptureSession& s) {
                           // Plenty until three packets are filed, then too little.
                           s.SetMemoryGuard({[&s]() -> std::optional<std::uint64_t> {
                                                 return s.Count() < 3 ? (1ull << 30) : (100ull << 20);
                                             },
                                             256ull << 20, 1});
                       },
                       "The capture stopped: this machine is running out of memory (less than 256 MiB is available). "
                       "The 3 packets captured so far are kept; clear the list or close other programs to capture "
                       "more."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wirelens
