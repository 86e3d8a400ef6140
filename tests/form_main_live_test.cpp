// The main window capturing for real, inside network namespaces the test makes:
// the window lives in namespace a, the peer sends from namespace b.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QFileInfo>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <spawn.h>

#include <fstream>
#include <set>

#include "capture/capture_filter_history.h"
#include "capture/capture_stream.h"
#include "capture/form_ip.h"
#include "capture/mdlwinsock.h"
#include "capture/thread_priority.h"
#include "files/capture_file_io.h"
#include "packets/packet_list_model.h"
#include "tests/form_main_fixture.h"
#include "ui/packet_row_delegate.h"
#include "tests/netns_fixture.h"

namespace wirelens {
namespace {

using testing::NetnsPair;

// Children of this process still running or not yet reaped.
std::set<pid_t> ChildPids() {
    std::set<pid_t> pids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return pids;
    while (dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream children(std::string("/proc/self/task/") + e->d_name + "/children");
        pid_t pid;
        while (children >> pid) pids.insert(pid);
    }
    closedir(tasks);
    return pids;
}

class WindowCapture : public ::testing::Test {
protected:
    virtual NetnsPair::Options NetOptions() const { return {}; }
    void SetUp() override {
        if (auto why = NetnsPair::SkipReason(); !why.empty()) GTEST_SKIP() << why;
        mNet = std::make_unique<NetnsPair>(NetOptions());
        ASSERT_TRUE(mNet->Ok()) << mNet->Error();
        mInA = std::make_unique<NetnsPair::ScopedEnter>(mNet->EnterA());
        ASSERT_TRUE(mInA->Ok()) << mInA->Error();
        // Loaded inside a, so the window sees a's addresses: 198.51.100.1 and loopback.
        // This build's helper, not one that ./scripts/run installed from another build.
        SetCaptureHelperPath(WIRELENS_CAPTURE_HELPER);
        mHarness = std::make_unique<testing::FormMainHarness>(std::vector<std::string>{}, false);
        FormMain::Environment env = FormMain::Environment::Default();
        mHarness->window.reset();
        env.showMessage = [this](const QString& text, QMessageBox::Icon icon) {
            mHarness->messages.push_back({text, icon});
        };
        env.lockFilePath = mHarness->lockDir.path() + QStringLiteral("/live.lock");
        env.askUnsaved = [](QWidget*, const QString&) { return UnsavedChoice::Discard; };
        mHarness->window = std::make_unique<FormMain>(env);
        ASSERT_TRUE(mHarness->window->Form_Load());
    }
    void TearDown() override {
        mHarness.reset();
        mInA.reset();
        mNet.reset();
        SetCaptureHelperPath("");
    }

    FormMain& W() { return *mHarness->window; }
    int Rows() { return W().Model()->rowCount(); }
    QString Cell(int row, int column) { return W().Model()->index(row, column).data().toString(); }
    int FindRow(const QString& protocol, int from = 0) {
        for (int r = from; r < Rows(); ++r)
            if (Cell(r, 0) == protocol) return r;
        return -1;
    }
    bool WaitForRows(int atLeast) {
        return QTest::qWaitFor([&] { return Rows() >= atLeast; }, 10000);
    }
    void SendUdpFromB(int port, const std::string& payload) {
        std::string out;
        const int rc = mNet->RunInB({"/usr/bin/python3", "-c",
                                     "import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                                     "s.sendto(sys.argv[1].encode(),('198.51.100.1'," + std::to_string(port) + "))",
                                     payload},
                                    &out);
        ASSERT_EQ(rc, 0) << out;
    }

    std::unique_ptr<NetnsPair> mNet;
    std::unique_ptr<NetnsPair::ScopedEnter> mInA;
    std::unique_ptr<testing::FormMainHarness> mHarness;
};

TEST_F(WindowCapture, RowsOfAPeersTrafficAppearStopAndStartAgainKeepThem) {
    ASSERT_EQ(W().dicAddr.Count(), 1u);
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing()) << (mHarness->messages.empty() ? "" : mHarness->messages[0].text.toStdString());
    EXPECT_EQ(W().PanelText(1), "Sniffing...");
    EXPECT_EQ(W().PanelText(5), "Local IP: 198.51.100.1");
    EXPECT_FALSE(W().Menu_Start->isEnabled());
    EXPECT_TRUE(W().Menu_Stop->isEnabled());

    ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}), 0);
    SendUdpFromB(5353, "hello wirelens");
    // A SYN to a closed port: the reply is a RST, both TCP rows.
    mNet->RunInB({"/usr/bin/python3", "-c",
                  "import socket;s=socket.socket();s.settimeout(2)\ntry: s.connect(('198.51.100.1',9))\nexcept OSError: pass"});
    ASSERT_TRUE(WaitForRows(5)) << Rows();

    const int echo = FindRow(QStringLiteral("ICMP"));
    ASSERT_GE(echo, 0);
    EXPECT_EQ(Cell(echo, 1), "198.51.100.2");
    EXPECT_EQ(Cell(echo, 3), "198.51.100.1");
    EXPECT_EQ(Cell(echo, 2), "");
    EXPECT_EQ(Cell(echo, 5), "64");  // 56 data bytes + the 8-byte ICMP header

    const int udp = FindRow(QStringLiteral("UDP"));
    ASSERT_GE(udp, 0);
    EXPECT_EQ(Cell(udp, 4), "5353");
    EXPECT_EQ(Cell(udp, 5), "14");
    EXPECT_FALSE(W().Model()->OutgoingAt(udp));

    const int syn = FindRow(QStringLiteral("TCP"));
    ASSERT_GE(syn, 0);
    EXPECT_EQ(Cell(syn, 4), "9");
    const int rst = FindRow(QStringLiteral("TCP"), syn + 1);
    ASSERT_GE(rst, 0);
    EXPECT_EQ(Cell(rst, 2), "9");
    EXPECT_TRUE(W().Model()->OutgoingAt(rst));

    W().StopCapture();
    EXPECT_FALSE(W().IsCapturing());
    EXPECT_EQ(W().PanelText(1), "Stopped");
    EXPECT_TRUE(W().Menu_Start->isEnabled());
    EXPECT_EQ(W().PanelText(5), "Local IP: 198.51.100.1");
    const int before = Rows();
    const QString firstTime = Cell(0, 6), lastTime = Cell(before - 1, 6);
    ASSERT_TRUE(QTest::qWaitFor([] { return ChildPids().empty(); }, 3000));

    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    SendUdpFromB(5354, "again");
    ASSERT_TRUE(WaitForRows(before + 1));
    EXPECT_EQ(Cell(0, 6), firstTime);  // earlier rows stay where they were
    EXPECT_EQ(Cell(before - 1, 6), lastTime);
    EXPECT_EQ(W().Packets().Count(), Rows());
    bool found = false;
    for (int r = before; r < Rows(); ++r) found |= Cell(r, 4) == "5354";
    EXPECT_TRUE(found);
    EXPECT_EQ(W().PanelText(2), QStringLiteral("%1 packets").arg(Rows()));
    EXPECT_TRUE(mHarness->messages.empty());
}

TEST_F(WindowCapture, StopKeepsEveryDatagramCapturedBeforeIt) {
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    constexpr int kDatagrams = 40;
    constexpr int kPort = 7100;
    ASSERT_EQ(mNet->RunInB({"/usr/bin/python3", "-c",
                            "import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                            "for i in range(" + std::to_string(kDatagrams) + "): s.sendto(b'x',('198.51.100.1'," +
                                std::to_string(kPort) + "))"}),
              0);
    // Wait, without letting the window file them, until the helper has handed
    // all of them over: they sit in the stream or the pump when Stop comes.
    const std::size_t frameBytes = sizeof(FrameHeader) + 28 + 1;
    std::size_t waiting = 0;
    for (int tries = 0; tries < 500 && waiting < kDatagrams * frameBytes; ++tries) {
        waiting = W().CaptureBytesWaiting();
        usleep(10000);
    }
    ASSERT_GE(waiting, kDatagrams * frameBytes);
    EXPECT_EQ(Rows(), 0);

    W().StopCapture();
    W().FlushPendingRows();
    int flood = 0;
    for (int r = 0; r < Rows(); ++r) flood += Cell(r, 0) == "UDP" && Cell(r, 4) == QString::number(kPort);
    EXPECT_EQ(flood, kDatagrams);
    EXPECT_TRUE(ChildPids().empty());
}

// While the window's thread takes nothing (a long paint, a disk behind),
// the capture pump empties the shared ring into the window's memory: far
// more than the ring and the kernel's ring behind it hold waits, and none
// of it is lost.
TEST_F(WindowCapture, AWindowThatTakesNothingForAWhileLosesNoneOfAFlood) {
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    constexpr int kDatagrams = 40000;
    constexpr int kPayload = 1000;
    constexpr int kPort = 7200;
    // In bursts of 1000 (40,000 a second at most), which a sanitized helper keeps up with.
    std::string out;
    ASSERT_EQ(mNet->RunInB({"/usr/bin/python3", "-c",
                            "import socket,time;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);d=b'x'*" +
                                std::to_string(kPayload) + "\nfor i in range(" + std::to_string(kDatagrams) +
                                "):\n s.sendto(d,('198.51.100.1'," + std::to_string(kPort) +
                                "))\n if i%1000==999: time.sleep(0.025)"},
                           &out),
              0)
        << out;
    const std::size_t frameBytes = sizeof(FrameHeader) + 28 + kPayload;
    // 42 MB: the rings hold 30 MiB together (this test runs as root, and the
    // helper maps the 8 MiB shared ring itself).
    const std::size_t sent = kDatagrams * frameBytes;
    std::size_t waiting = 0;
    for (int tries = 0; tries < 2000 && waiting < sent; ++tries) {
        waiting = W().CaptureBytesWaiting();
        usleep(5000);
    }
    EXPECT_GE(waiting, sent);
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return W().Packets().Count() >= kDatagrams; }, 30000));
    W().StopCapture();
    W().FlushPendingRows();
    int flood = 0;
    for (int r = 0; r < Rows(); ++r) flood += Cell(r, 4) == QString::number(kPort);
    EXPECT_EQ(flood, kDatagrams);
    EXPECT_EQ(W().KernelDrops(), 0u);
}

TEST_F(WindowCapture, ClearButtonComesBackWhenACaptureStartsAfterACancelledOne) {
    W().Button(3)->setEnabled(false);  // as an abandoned start leaves it
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    EXPECT_TRUE(W().Button(3)->isEnabled());
}

// Senders on the same machine would otherwise hold the window's thread off
// for tens of milliseconds; the helper (root's here, with CAP_SYS_NICE)
// raises it while the capture runs. The first rows are not held up while the
// list's painter builds its glyph tables either.
TEST_F(WindowCapture, ACaptureRunsTheWindowRaisedAndReadyToPaintItsFirstRows) {
    const int niceBefore = getpriority(PRIO_PROCESS, 0);
    ASSERT_GT(niceBefore, -10);
    const auto* list = W().findChild<QTableView*>(QStringLiteral("lv"));
    ASSERT_NE(list, nullptr);
    const auto* rows = qobject_cast<const PacketRowDelegate*>(list->itemDelegate());
    ASSERT_NE(rows, nullptr);
    ASSERT_FALSE(rows->PreparedFor(list->font())) << "nothing painted or prepared yet";
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), -10);
    EXPECT_TRUE(rows->PreparedFor(list->font()));
    // The thread that empties the shared ring waits no longer than the helper itself.
    std::vector<int> pumpNice;
    for (const pid_t thread : ThreadsNamed(getpid(), kCapturePumpThreadName))
        pumpNice.push_back(NiceOf(thread).value_or(0));
    const std::set<pid_t> helpers = ChildPids();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_EQ(pumpNice, std::vector<int>{NiceOf(*helpers.begin()).value_or(1)});
    EXPECT_LT(pumpNice.at(0), -10);
    W().StopCapture();
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), niceBefore);
}

TEST_F(WindowCapture, ClosingTheWindowDuringACaptureLeavesNoHelperBehind) {
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    ASSERT_FALSE(ChildPids().empty());
    W().close();
    EXPECT_TRUE(ChildPids().empty());
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(WindowCapture, HelperKilledEndsTheCaptureAndKeepsThePackets) {
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    SendUdpFromB(7000, "kept");
    ASSERT_TRUE(WaitForRows(1));
    const auto helpers = ChildPids();
    ASSERT_EQ(helpers.size(), 1u);
    kill(*helpers.begin(), SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !W().IsCapturing(); }, 10000));
    EXPECT_EQ(W().PanelText(1), "Stopped");
    EXPECT_TRUE(W().Menu_Start->isEnabled());
    EXPECT_FALSE(W().Menu_Stop->isEnabled());
    ASSERT_EQ(mHarness->messages.size(), 1u);
    EXPECT_TRUE(mHarness->messages[0].text.contains(QStringLiteral("kept")));
    EXPECT_GE(Rows(), 1);
    EXPECT_TRUE(ChildPids().empty());
}

// The network changing under the capture: told at once, every packet kept.
TEST_F(WindowCapture, AddressRemovedOrInterfaceDownEndsTheCaptureWithItsReason) {
    struct Change {
        std::vector<std::string> command;
        QString told;
    };
    const std::vector<Change> changes = {
        {{"ip", "addr", "del", std::string(NetnsPair::kAddressA) + "/24", "dev", mNet->InterfaceA()},
         QStringLiteral("The capture stopped: the address 198.51.100.1 was removed from the network interface %1. "
                        "The packets captured so far are kept.")
             .arg(QString::fromStdString(mNet->InterfaceA()))},
        {{"ip", "link", "set", mNet->InterfaceA(), "down"},
         QStringLiteral("The capture stopped: the network interface %1 went down. The packets captured so far are kept.")
             .arg(QString::fromStdString(mNet->InterfaceA()))},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.command[1]);
        mHarness->messages.clear();
        W().StartCapture();
        ASSERT_TRUE(W().IsCapturing());
        const int before = Rows();
        SendUdpFromB(7001, "before the change");
        ASSERT_TRUE(WaitForRows(before + 1));
        std::string output;
        ASSERT_EQ(mNet->RunInA(change.command, &output), 0) << output;
        ASSERT_TRUE(QTest::qWaitFor([&] { return !W().IsCapturing(); }, 10000));
        EXPECT_EQ(W().PanelText(1), "Stopped");
        ASSERT_EQ(mHarness->messages.size(), 1u);
        EXPECT_EQ(mHarness->messages[0].text, change.told);
        W().FlushPendingRows();
        bool kept = false;
        for (int r = before; r < Rows(); ++r) kept |= Cell(r, 0) == "UDP" && Cell(r, 4) == "7001";
        EXPECT_TRUE(kept);
        EXPECT_EQ(W().Packets().Count(), Rows());
        EXPECT_TRUE(ChildPids().empty());
        // Back as it was for the next change.
        mNet->RunInA({"ip", "addr", "add", std::string(NetnsPair::kAddressA) + "/24", "brd", "+", "dev",
                      mNet->InterfaceA()});
        ASSERT_TRUE(mNet->SetInterfaceAUp(true));
    }
}

TEST_F(WindowCapture, CaptureThatCannotOpenIsToldAndTheWindowReturnsToIdle) {
    ASSERT_TRUE(mNet->SetInterfaceAUp(false));
    W().StartCapture();
    EXPECT_FALSE(W().IsCapturing());
    ASSERT_EQ(mHarness->messages.size(), 1u);
    EXPECT_EQ(mHarness->messages[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(mHarness->messages[0].text.contains(QStringLiteral("down"), Qt::CaseInsensitive))
        << mHarness->messages[0].text.toStdString();
    EXPECT_EQ(W().PanelText(1), "Ready to start");
    EXPECT_TRUE(W().Menu_Start->isEnabled());
    EXPECT_FALSE(W().Menu_Stop->isEnabled());
    EXPECT_TRUE(ChildPids().empty());
}

// tcpdump writing to `out` (a file name, or "-" for the descriptor `stdoutFd`).
pid_t StartTcpdump(const std::vector<std::string>& args, int stdoutFd = -1) {
    // Immediate mode: without it a packet may wait in the kernel's ring past the stop.
    std::vector<std::string> argv = {"tcpdump", "--immediate-mode", "-U", "-n", "-s", "2200"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "tcpdump", &actions, nullptr, raw.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void StopTcpdump(pid_t pid) {
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
}

bool HaveTcpdump() { return testing::RunCommand({"tcpdump", "--version"}) == 0; }

// The texts of every row but the time, in list order.
std::vector<std::string> RowTexts(FormMain& w) {
    std::vector<std::string> rows;
    for (int r = 0; r < w.Model()->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < PacketListModel::kColTime; ++c) row << w.Model()->index(r, c).data().toString();
        rows.push_back(row.join(QLatin1Char('|')).toStdString());
    }
    return rows;
}

TEST_F(WindowCapture, FilesTcpdumpWroteOpenWithTheRowsOfTheLiveCapture) {
    if (!HaveTcpdump()) GTEST_SKIP() << "tcpdump is not installed";
    QTemporaryDir dir;
    const std::string onInterface = dir.filePath(QStringLiteral("veth.pcap")).toStdString();
    const std::string onAny = dir.filePath(QStringLiteral("any.pcap")).toStdString();
    W().StartCapture();
    ASSERT_TRUE(W().IsCapturing());
    const pid_t a = StartTcpdump({"-i", mNet->InterfaceA(), "-w", onInterface, "ip"});
    const pid_t b = StartTcpdump({"-i", "any", "-w", onAny, "ip"});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    // Both have their capture open once they have written a file header.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(QString::fromStdString(onInterface)).size() > 0 &&
                                             QFileInfo(QString::fromStdString(onAny)).size() > 0; }, 10000));
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "2", "-i", "0.2", "-W", "5", NetnsPair::kAddressA}), 0);
    SendUdpFromB(5353, "same rows");
    ASSERT_TRUE(WaitForRows(5)) << Rows();
    StopTcpdump(a);
    StopTcpdump(b);
    W().StopCapture();
    const std::vector<std::string> live = RowTexts(W());

    for (const std::string& file : {onInterface, onAny}) {
        testing::FormMainHarness other({"198.51.100.1;255.255.255.0"});
        ASSERT_TRUE(other.window->OpenCaptureFile(QString::fromStdString(file)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !other.window->IsReadingFile(); }, 10000));
        other.Settle();
        EXPECT_EQ(RowTexts(*other.window), live)
            << file << (other.messages.empty() ? "" : other.messages[0].text.toStdString());
    }
}

TEST_F(WindowCapture, ALivePipeFromTcpdumpListsPacketsAsTheyArrive) {
    if (!HaveTcpdump()) GTEST_SKIP() << "tcpdump is not installed";
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t dump = StartTcpdump({"-i", mNet->InterfaceA(), "-w", "-", "udp"}, ends[1]);
    close(ends[1]);
    ASSERT_GT(dump, 0);
    ASSERT_TRUE(W().ReadCaptureStream(ends[0], QStringLiteral("tcpdump")));
    EXPECT_EQ(W().PanelText(5), "Stream: tcpdump");
    // Sent until one arrives: tcpdump may still be opening its capture.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        SendUdpFromB(7001, "through a pipe");
        return Rows() >= 1;
    }, 10000));
    EXPECT_EQ(Cell(0, 4), "7001");
    EXPECT_TRUE(W().IsReadingFile());
    StopTcpdump(dump);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !W().IsReadingFile(); }, 10000));
    ASSERT_EQ(mHarness->messages.size(), 1u);
    EXPECT_TRUE(mHarness->messages[0].text.contains(QStringLiteral("ended"))) << mHarness->messages[0].text.toStdString();
    EXPECT_EQ(W().PanelText(1), "Stopped");
    EXPECT_GE(Rows(), 1);
}

// Two addresses in namespace a: Start asks with the address dialog, whose
// capture filter goes to the helper.
class WindowCaptureAsking : public WindowCapture {
protected:
    NetnsPair::Options NetOptions() const override {
        NetnsPair::Options options;
        options.secondAddress = true;
        return options;
    }

    // Answers the dialog Start opens: the line of `address`, `filter` typed in
    // the field, then OK. Leaves what the field first held in `preset`.
    void AnswerDialog(const std::string& address, const QString& filter, QString* preset) {
        QTimer::singleShot(0, &W(), [this, address, filter, preset] {
            auto* dialog = W().findChild<FormIP*>();
            if (dialog == nullptr) return;
            ++mDialogsSeen;
            *preset = dialog->cboCaptureFilter->currentText();
            const QList<QListWidgetItem*> lines =
                dialog->List1->findItems(QString::fromStdString(address), Qt::MatchExactly);
            if (lines.size() != 1) return dialog->reject();
            dialog->List1->setCurrentItem(lines.front(), QItemSelectionModel::ClearAndSelect);
            dialog->cboCaptureFilter->setEditText(filter);
            QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
            if (dialog->isVisible()) dialog->reject();  // refused: fail rather than hang
        });
    }

    void Ping() { ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}), 0); }

    int mDialogsSeen = 0;
};

TEST_F(WindowCaptureAsking, TheDialogsFilterReachesTheHelperAndAnEmptyOneCapturesEverything) {
    ASSERT_EQ(W().dicAddr.Count(), 2u);
    QString preset;
    AnswerDialog(NetnsPair::kAddressA, QStringLiteral(" udp port 9 "), &preset);
    W().StartCapture();
    ASSERT_EQ(mDialogsSeen, 1);
    ASSERT_TRUE(W().IsCapturing()) << (mHarness->messages.empty() ? "" : mHarness->messages[0].text.toStdString());
    EXPECT_EQ(W().CaptureFilter(), "udp port 9");
    EXPECT_EQ(W().PanelText(5).toStdString(), "Local IP: 198.51.100.1 (capture filter: udp port 9)");

    // Sent in this order, the two datagrams to port 9 come last: once both
    // are listed, anything else the filter let through would be listed too.
    Ping();
    SendUdpFromB(5353, "not port 9");
    SendUdpFromB(9, "first");
    SendUdpFromB(9, "second");
    ASSERT_TRUE(WaitForRows(2)) << Rows();
    W().FlushPendingRows();
    EXPECT_EQ(Rows(), 2);
    for (int row = 0; row < Rows(); ++row) {
        EXPECT_EQ(Cell(row, 0), "UDP") << row;
        EXPECT_EQ(Cell(row, 4), "9") << row;
    }
    W().StopCapture();
    ASSERT_TRUE(QTest::qWaitFor([] { return ChildPids().empty(); }, 3000));

    // The next Start offers the filter again; emptied, it captures every datagram.
    W().ClearPackets();
    AnswerDialog(NetnsPair::kAddressA, QString(), &preset);
    W().StartCapture();
    ASSERT_EQ(mDialogsSeen, 2);
    EXPECT_EQ(preset.toStdString(), "udp port 9");
    ASSERT_TRUE(W().IsCapturing());
    EXPECT_EQ(W().CaptureFilter(), "");
    EXPECT_EQ(W().PanelText(5).toStdString(), "Local IP: 198.51.100.1");
    Ping();
    ASSERT_TRUE(QTest::qWaitFor([&] { return FindRow(QStringLiteral("ICMP")) >= 0; }, 10000));
    W().StopCapture();
    EXPECT_EQ(SessionCaptureFilters().Recent().front(), "udp port 9");
}

TEST_F(WindowCaptureAsking, AnInvalidFilterKeepsTheDialogOpenAndNothingStarts) {
    QString preset, error;
    QTimer::singleShot(0, &W(), [&] {
        auto* dialog = W().findChild<FormIP*>();
        if (dialog == nullptr) return;
        ++mDialogsSeen;
        dialog->List1->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
        dialog->cboCaptureFilter->setEditText(QStringLiteral("udp port nine"));
        QTest::mouseClick(dialog->CmdOK, Qt::LeftButton);
        error = dialog->FilterError();
        dialog->reject();
    });
    W().StartCapture();
    EXPECT_EQ(mDialogsSeen, 1);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(W().IsCapturing());
    EXPECT_EQ(W().PanelText(1).toStdString(), "Ready to start");
    EXPECT_TRUE(ChildPids().empty()) << "no helper was started";
}

}  // namespace
}  // namespace wirelens
