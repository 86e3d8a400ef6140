// Live captures inside network namespaces made for the test: the helper and the
// socket module together, with real traffic between two namespaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/decode.h"
#include "capture/mdlwinsock.h"
#include "capture/shared_ring.h"
#include "packets/display_filter.h"
#include "tests/netns_fixture.h"
#include "tests/tcpdump_compare.h"

extern char** environ;

namespace wirelens {
namespace {

using testing::NetnsPair;
using Bytes = std::vector<std::uint8_t>;

// Bounds a wait only so that a broken capture fails instead of hanging; never a speed requirement.
constexpr int kHangGuardMs = 20000;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint16_t kUdpPortA = 5555;
constexpr std::uint16_t kUdpPortB = 4444;
constexpr std::uint16_t kTcpPortA = 6000;
constexpr std::uint16_t kUnprivilegedId = 65534;
// How long a stopped helper may take to end.
constexpr int kStopWithinMs = 1000;
constexpr int kDatagramsIntoAFullPipe = 40;
constexpr const char* kMulticastGroup = "239.255.0.1";  // administratively scoped
constexpr const char* kOtherHost = "198.51.100.3";       // on a's subnet, but no host of the test
constexpr const char* kSecondAddressB = "203.0.113.2";   // b's peer of a's second address

std::uint32_t Dotted(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

sockaddr_in SocketAddress(const char* address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = Dotted(address);
    return result;
}

class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    Fd(Fd&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            mFd = other.mFd;
            other.mFd = -1;
        }
        return *this;
    }
    ~Fd() {
        if (mFd >= 0) close(mFd);
    }
    int Get() const { return mFd; }
    void Reset() {
        if (mFd >= 0) close(mFd);
        mFd = -1;
    }

private:
    int mFd;
};

// A socket made in namespace a or b; it keeps sending from there afterwards.
Fd SocketIn(NetnsPair::ScopedEnter enter, int type, const char* bindAddress, std::uint16_t port) {
    if (!enter.Ok()) return Fd();
    Fd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    const int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = SocketAddress(bindAddress, port);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return Fd();
    return fd;
}

bool SendTo(const Fd& fd, const Bytes& payload, const char* address, std::uint16_t port) {
    const sockaddr_in to = SocketAddress(address, port);
    return sendto(fd.Get(), payload.data(), payload.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(payload.size());
}

Bytes Pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
    return bytes;
}

struct Captured {
    Bytes bytes;
    std::uint32_t wireLength;
    DecodedDatagram decoded;
    std::uint16_t TotalLength() const {
        return bytes.size() < 4 ? 0 : static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
    }
    bool Between(const char* src, const char* dst) const {
        return decoded.srcAddr == Dotted(src) && decoded.dstAddr == Dotted(dst);
    }
    bool EndsWith(const Bytes& tail) const {
        return bytes.size() >= tail.size() &&
               std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(tail.size()));
    }
};

// The GUI's side of a capture opened inside namespace a.
class Capture {
public:
    Capture(const NetnsPair& net, const std::string& address, const std::string& filter = {}) {
        auto inA = net.EnterA();
        if (inA.Ok()) mOpen = OpenCaptureSocket(address, kCapturePort, filter);
        else mOpen.error = inA.Error();
    }
    ~Capture() { CloseCaptureSocket(mOpen.socket); }

    const CaptureOpenResult& Open() const { return mOpen; }
    const std::vector<Captured>& Datagrams() const { return mDatagrams; }
    const std::vector<StatsPayload>& Stats() const { return mStats; }
    std::size_t DatagramsBeforeLastStats() const { return mDatagramsBeforeLastStats; }

    // Reads until `done` holds for what has arrived; false if the hang guard ran out first.
    bool ReadUntil(const std::function<bool()>& done) {
        for (int waited = 0; !done(); waited += kPollMs) {
            if (waited >= kHangGuardMs || mReader.Corrupt()) return false;
            pollfd in{mOpen.socket, POLLIN, 0};
            if (poll(&in, 1, kPollMs) <= 0) continue;
            const auto status = mReader.Read(mOpen.socket);
            if (status == FrameReader::ReadStatus::EndOfStream ||
                status == FrameReader::ReadStatus::Failed)
                return done();
            while (auto frame = mReader.Next()) {
                if (frame->type == FrameType::Datagram) {
                    Bytes bytes(frame->payload.begin(), frame->payload.end());
                    mDatagrams.push_back({bytes, frame->wireLength, DecodeDatagram(bytes)});
                } else if (frame->type == FrameType::Stats) {
                    if (auto stats = ParseStatsPayload(frame->payload)) mStats.push_back(*stats);
                    mDatagramsBeforeLastStats = mDatagrams.size();
                }
            }
        }
        return true;
    }

    std::size_t Count(const std::function<bool(const Captured&)>& match) const {
        return static_cast<std::size_t>(std::count_if(mDatagrams.begin(), mDatagrams.end(), match));
    }
    const Captured* Find(const std::function<bool(const Captured&)>& match) const {
        const auto it = std::find_if(mDatagrams.begin(), mDatagrams.end(), match);
        return it == mDatagrams.end() ? nullptr : &*it;
    }

private:
    static constexpr int kPollMs = 100;
    CaptureOpenResult mOpen;
    FrameReader mReader;
    std::vector<Captured> mDatagrams;
    std::vector<StatsPayload> mStats;
    std::size_t mDatagramsBeforeLastStats = 0;
};

// Whole: as long as its own total length says and as on the wire, header first.
void ExpectWhole(const Captured& d) {
    ASSERT_FALSE(d.bytes.empty());
    EXPECT_EQ(d.bytes[0], 0x45) << "IPv4 header without options first";
    EXPECT_EQ(d.bytes.size(), d.TotalLength());
    EXPECT_EQ(d.wireLength, d.TotalLength());
}

// How the helper is started: its output, and descriptors it should not keep.
struct HelperStart {
    bool outputIsPipe = false;         // instead of a socket pair, as a shell would give it
    bool readerClosedFirst = false;    // the reading end is closed before the helper starts
    std::vector<int> strayDescriptors; // left open across exec at these numbers
    int strayFrom = -1;                // what they refer to
    const char* filter = nullptr;      // the capture filter argument, if any
    int input = -1;                    // its descriptor 0 (a shared ring), if any
};

// The helper started directly, with the test in the GUI's place.
class HelperRun {
public:
    HelperRun(const NetnsPair& net, const std::string& helper, const char* address,
              const HelperStart& start = {}) {
        int ends[2];
        const int made = start.outputIsPipe ? pipe2(ends, O_CLOEXEC)
                                            : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        int errorEnds[2];
        if (made != 0 || pipe2(errorEnds, O_CLOEXEC) != 0) return;
        mStream = Fd(ends[0]);
        mErrors = Fd(errorEnds[0]);
        if (start.readerClosedFirst) mStream.Reset();
        auto inA = net.EnterA();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errorEnds[1], STDERR_FILENO);
        for (int stray : start.strayDescriptors) posix_spawn_file_actions_adddup2(&actions, start.strayFrom, stray);
        if (start.input >= 0) posix_spawn_file_actions_adddup2(&actions, start.input, STDIN_FILENO);
        std::string program = helper;
        std::string argument = address;
        std::string filterArgument = start.filter != nullptr ? start.filter : "";
        char* argv[] = {program.data(), argument.data(), start.filter != nullptr ? filterArgument.data() : nullptr,
                        nullptr};
        if (posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv, environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        close(errorEnds[1]);
    }
    ~HelperRun() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        // The helper raised every thread of its starter, this test; the
        // module that starts it for the GUI puts them back, and so does this.
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
            setpriority(PRIO_PROCESS, static_cast<id_t>(std::stoi(task.path().filename())), mNiceBefore);
    }
    pid_t Pid() const { return mPid; }
    Fd& Stream() { return mStream; }

    // The first frame's type, or nothing if the stream ended first.
    std::optional<FrameType> FirstFrame() { return NextFrame({}); }

    // The type of the next frame not of a type in `skipped`, or nothing if the stream ended first.
    std::optional<FrameType> NextFrame(const std::vector<FrameType>& skipped) {
        for (int waited = 0; waited < kHangGuardMs;) {
            while (auto frame = mReader.Next()) {
                if (std::find(skipped.begin(), skipped.end(), frame->type) != skipped.end()) continue;
                if (frame->type == FrameType::Error) mError = ParseErrorPayload(frame->payload);
                return frame->type;
            }
            pollfd in{mStream.Get(), POLLIN, 0};
            if (poll(&in, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            if (mReader.Read(mStream.Get()) != FrameReader::ReadStatus::Data) return std::nullopt;
        }
        return std::nullopt;
    }
    const std::optional<ErrorPayload>& Error() const { return mError; }

    // What the helper wrote on standard error; complete once it has ended.
    std::string Diagnostics() const {
        std::string text;
        char chunk[1024];
        for (;;) {
            pollfd in{mErrors.Get(), POLLIN, 0};
            if (poll(&in, 1, 0) <= 0) break;
            const ssize_t n = read(mErrors.Get(), chunk, sizeof chunk);
            if (n <= 0) break;
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    // Waits for the helper to end and reaps it; its wait status, or nothing at the guard.
    std::optional<int> WaitForExit(int guardMs = kHangGuardMs) {
        const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, mPid, 0));
        if (pidFd >= 0) {
            pollfd exited{pidFd, POLLIN, 0};
            poll(&exited, 1, guardMs);
            close(pidFd);
        }
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) != mPid) return std::nullopt;
        mPid = -1;
        return status;
    }

private:
    FrameReader mReader;
    Fd mStream;
    Fd mErrors;
    pid_t mPid = -1;
    int mNiceBefore = getpriority(PRIO_PROCESS, 0);  // this thread's, before the helper starts
    std::optional<ErrorPayload> mError;
};

bool ExitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

class LiveCaptureTest : public ::testing::Test {
protected:
    virtual NetnsPair::Options NetOptions() const { return {}; }

    void SetUp() override {
        const std::string why = NetnsPair::SkipReason();
        if (!why.empty()) GTEST_SKIP() << why;
        mNet = std::make_unique<NetnsPair>(NetOptions());
        ASSERT_TRUE(mNet->Ok()) << mNet->Error();
        SetCaptureHelperPath(WIRELENS_CAPTURE_HELPER);
    }
    void TearDown() override {
        EndWinsock();
        SetCaptureHelperPath("");
    }

    std::unique_ptr<Capture> OpenOnA() {
        auto capture = std::make_unique<Capture>(*mNet, NetnsPair::kAddressA);
        EXPECT_TRUE(capture->Open().Ok()) << capture->Open().error;
        return capture;
    }

    // A UDP receiver on a's test port and a sender from b's, for datagrams b to a.
    struct UdpPeers {
        Fd receiver;
        Fd sender;
    };
    UdpPeers UdpFromBToA() const {
        UdpPeers peers{SocketIn(mNet->EnterA(), SOCK_DGRAM, NetnsPair::kAddressA, kUdpPortA),
                       SocketIn(mNet->EnterB(), SOCK_DGRAM, NetnsPair::kAddressB, kUdpPortB)};
        EXPECT_GE(peers.receiver.Get(), 0);
        EXPECT_GE(peers.sender.Get(), 0);
        return peers;
    }

    std::unique_ptr<NetnsPair> mNet;
};

TEST_F(LiveCaptureTest, PingRequestAndReplyArriveWholeWithDecodedFields) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    std::string output;
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}, &output), 0) << output;

    auto echo = [](std::uint8_t type, const char* src, const char* dst) {
        return [=](const Captured& d) {
            return d.decoded.protocol == kProtocolIcmp && d.Between(src, dst) && d.bytes.size() > 20 &&
                   d.bytes[20] == type;
        };
    };
    const auto request = echo(kIcmpEchoRequest, NetnsPair::kAddressB, NetnsPair::kAddressA);
    const auto reply = echo(kIcmpEchoReply, NetnsPair::kAddressA, NetnsPair::kAddressB);
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(request) && capture->Find(reply); }));
    for (const Captured* d : {capture->Find(request), capture->Find(reply)}) {
        ExpectWhole(*d);
        EXPECT_EQ(d->bytes.size(), 84u) << "20-byte header, 8-byte ICMP header, 56 data bytes";
        EXPECT_FALSE(d->decoded.hasPorts);
        EXPECT_EQ(d->decoded.size, 64);
    }
    EXPECT_EQ(capture->Count(request), 1u);
    EXPECT_EQ(capture->Count(reply), 1u);
}

TEST_F(LiveCaptureTest, UdpDatagramsArriveWholeWithPortsAndSize) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    const Fd& sender = peers.sender;
    const Bytes payload = Pattern(100, 0x30);
    ASSERT_TRUE(SendTo(sender, payload, NetnsPair::kAddressA, kUdpPortA));
    ASSERT_TRUE(SendTo(sender, Bytes{}, NetnsPair::kAddressA, kUdpPortA));

    auto udp = [](std::size_t length) {
        return [=](const Captured& d) {
            return d.decoded.protocol == kProtocolUdp && d.decoded.srcPort == kUdpPortB &&
                   d.decoded.dstPort == kUdpPortA && d.bytes.size() == length;
        };
    };
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(udp(128)) && capture->Find(udp(28)); }));
    const Captured& full = *capture->Find(udp(128));
    ExpectWhole(full);
    EXPECT_TRUE(full.Between(NetnsPair::kAddressB, NetnsPair::kAddressA));
    EXPECT_EQ(full.decoded.size, 100);
    EXPECT_TRUE(full.EndsWith(payload));
    const Captured& empty = *capture->Find(udp(28));
    ExpectWhole(empty);
    EXPECT_EQ(empty.decoded.size, 0) << "no padding after the smallest UDP datagram";
}

TEST_F(LiveCaptureTest, TcpSegmentsArriveWholeWithPortsAndData) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    Fd listener = SocketIn(mNet->EnterA(), SOCK_STREAM, NetnsPair::kAddressA, kTcpPortA);
    ASSERT_GE(listener.Get(), 0);
    ASSERT_EQ(listen(listener.Get(), 1), 0);
    Fd client = SocketIn(mNet->EnterB(), SOCK_STREAM, NetnsPair::kAddressB, 0);
    ASSERT_GE(client.Get(), 0);
    const sockaddr_in server = SocketAddress(NetnsPair::kAddressA, kTcpPortA);
    ASSERT_EQ(connect(client.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server), 0)
        << std::strerror(errno);
    Fd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(accepted.Get(), 0);
    sockaddr_in clientAddress{};
    socklen_t length = sizeof clientAddress;
    getsockname(client.Get(), reinterpret_cast<sockaddr*>(&clientAddress), &length);
    const std::uint16_t clientPort = ntohs(clientAddress.sin_port);

    const std::string text = "hello from namespace b";
    const Bytes message(text.begin(), text.end());
    ASSERT_EQ(send(client.Get(), message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
    char received[64];
    ASSERT_EQ(recv(accepted.Get(), received, sizeof received, 0), static_cast<ssize_t>(message.size()));

    auto tcp = [&](bool toA) {
        return [=](const Captured& d) {
            return d.decoded.protocol == kProtocolTcp &&
                   d.decoded.srcPort == (toA ? clientPort : kTcpPortA) &&
                   d.decoded.dstPort == (toA ? kTcpPortA : clientPort);
        };
    };
    const auto data = [&](const Captured& d) { return tcp(true)(d) && d.EndsWith(message); };
    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->Count(tcp(true)) >= 2 && capture->Find(tcp(false)) && capture->Find(data);
    }));
    for (const Captured& d : capture->Datagrams())
        if (tcp(true)(d) || tcp(false)(d)) ExpectWhole(d);
    const Captured& segment = *capture->Find(data);
    EXPECT_TRUE(segment.Between(NetnsPair::kAddressB, NetnsPair::kAddressA));
    const int tcpHeader = (segment.bytes[32] >> 4) * 4;
    EXPECT_EQ(segment.decoded.size, static_cast<int>(message.size()) + tcpHeader - 20)
        << "options beyond the 20-byte TCP header count as data";
}

TEST_F(LiveCaptureTest, BroadcastFromThePeerIsSeen) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    Fd sender = SocketIn(mNet->EnterB(), SOCK_DGRAM, NetnsPair::kAddressB, kUdpPortB);
    ASSERT_GE(sender.Get(), 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(sender.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    const Bytes payload = Pattern(40, 0x11);
    ASSERT_TRUE(SendTo(sender, payload, NetnsPair::kBroadcast, kUdpPortA));

    const auto broadcast = [&](const Captured& d) {
        return d.Between(NetnsPair::kAddressB, NetnsPair::kBroadcast) && d.EndsWith(payload);
    };
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(broadcast) != nullptr; }));
    ExpectWhole(*capture->Find(broadcast));
    EXPECT_EQ(capture->Count(broadcast), 1u);
}

TEST_F(LiveCaptureTest, MulticastFromThePeerIsSeen) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    Fd sender = SocketIn(mNet->EnterB(), SOCK_DGRAM, NetnsPair::kAddressB, kUdpPortB);
    ASSERT_GE(sender.Get(), 0);
    const in_addr outOfB{Dotted(NetnsPair::kAddressB)};
    ASSERT_EQ(setsockopt(sender.Get(), IPPROTO_IP, IP_MULTICAST_IF, &outOfB, sizeof outOfB), 0);
    const Bytes payload = Pattern(36, 0x5A);
    ASSERT_TRUE(SendTo(sender, payload, kMulticastGroup, kUdpPortA));

    const auto multicast = [&](const Captured& d) {
        return d.Between(NetnsPair::kAddressB, kMulticastGroup) && d.EndsWith(payload);
    };
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(multicast) != nullptr; }));
    EXPECT_EQ(capture->Count(multicast), 1u);
}

// Unicast between other hosts crosses a shared segment; b sends one to a made-up
// neighbour and a's interface sees the frame, but the capture must not keep it.
TEST_F(LiveCaptureTest, UnicastToAnotherHostIsNotCaptured) {
    ASSERT_EQ(mNet->RunInB({"ip", "neigh", "add", kOtherHost, "lladdr", "02:00:00:00:00:03", "dev",
                            mNet->InterfaceB(), "nud", "permanent"}),
              0);
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(SendTo(peers.sender, Pattern(24, 0x21), kOtherHost, kUdpPortA));
    // Sent last on the same path: once it is in, the others would be too.
    const Bytes marker = Pattern(44, 0xC0);
    ASSERT_TRUE(SendTo(peers.sender, marker, NetnsPair::kAddressA, kUdpPortA));

    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->Find([&](const Captured& d) { return d.EndsWith(marker); }) != nullptr;
    }));
    EXPECT_EQ(capture->Count([](const Captured& d) { return d.decoded.dstAddr == Dotted(kOtherHost); }), 0u);
}

TEST_F(LiveCaptureTest, LoopbackAddressesAreRefused) {
    for (const char* address : {"127.0.0.1", "127.1.2.3"}) {
        HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, address);
        ASSERT_EQ(helper.FirstFrame(), FrameType::Error) << address;
        ASSERT_TRUE(helper.Error().has_value());
        EXPECT_EQ(helper.Error()->code, CaptureError::Loopback) << helper.Error()->message;
        const auto status = helper.WaitForExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
    }
}

TEST_F(LiveCaptureTest, AddressOfAnotherMachineIsRefused) {
    for (const char* address : {NetnsPair::kAddressB, "203.0.113.9"}) {
        Capture capture(*mNet, address);
        EXPECT_FALSE(capture.Open().Ok());
        EXPECT_EQ(capture.Open().error, "The address " + std::string(address) +
                                            " is no longer an address of this machine.");
    }
    EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) << "every helper was reaped";
}

TEST_F(LiveCaptureTest, InterfaceThatIsDownIsReported) {
    ASSERT_TRUE(mNet->SetInterfaceAUp(false));
    Capture capture(*mNet, NetnsPair::kAddressA);
    EXPECT_FALSE(capture.Open().Ok());
    EXPECT_NE(capture.Open().error.find("The network interface " + mNet->InterfaceA()),
              std::string::npos)
        << capture.Open().error;
    EXPECT_NE(capture.Open().error.find("is down"), std::string::npos) << capture.Open().error;
}

TEST_F(LiveCaptureTest, HelperHoldsNoCapabilityOnceTheCaptureIsOpen) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    std::ifstream status("/proc/" + std::to_string(capture->Open().helperPid) + "/status");
    std::string line;
    int checked = 0;
    while (std::getline(status, line)) {
        for (const char* field : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:"}) {
            if (line.rfind(field, 0) != 0) continue;
            EXPECT_EQ(line.substr(line.find_first_not_of(" \t", std::strlen(field))), "0000000000000000")
                << line;
            ++checked;
        }
        if (line.rfind("NoNewPrivs:", 0) == 0) {
            EXPECT_EQ(line.back(), '1') << line;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 5);
}

TEST_F(LiveCaptureTest, StatsFrameCountsEveryDatagramDeliveredBeforeIt) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "3", "-i", "0.2", "-W", "5", NetnsPair::kAddressA}), 0);
    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->DatagramsBeforeLastStats() >= 6 && !capture->Stats().empty();
    }));
    const StatsPayload& last = capture->Stats().back();
    EXPECT_GE(last.received, capture->DatagramsBeforeLastStats());
    EXPECT_EQ(last.droppedByKernel, 0u);
}

TEST_F(LiveCaptureTest, CloseEndsAndReapsTheHelperAndIsSafeToRepeat) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    const pid_t pid = capture->Open().helperPid;
    CloseCaptureSocket(capture->Open().socket);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "already reaped";
    CloseCaptureSocket(capture->Open().socket);
    CloseCaptureSocket(0);
    CloseCaptureSocket(-1);
}

// Run by root here, the helper holds CAP_SYS_NICE and raises every thread of
// the process that started it along with itself, a little less; the process puts its threads
// back once its last helper has ended.
TEST_F(LiveCaptureTest, TheCapturingProcessRunsRaisedUntilItsLastHelperEnds) {
    constexpr int kStarterNice = -10;  // the helper's own is -15: it goes first
    const int before = getpriority(PRIO_PROCESS, 0);
    ASSERT_GT(before, kStarterNice) << "the test must start below the raised priority";
    std::promise<void> letGo;
    std::promise<pid_t> started;
    std::thread other([&] {
        started.set_value(gettid());
        letGo.get_future().wait();
    });
    const pid_t otherId = started.get_future().get();
    const auto niceOf = [](pid_t id) { return getpriority(PRIO_PROCESS, static_cast<id_t>(id)); };

    auto first = OpenOnA();
    auto second = OpenOnA();
    EXPECT_EQ(niceOf(0), kStarterNice);
    EXPECT_EQ(niceOf(otherId), kStarterNice);
    CloseCaptureSocket(first->Open().socket);
    EXPECT_EQ(niceOf(0), kStarterNice) << "a helper still runs";
    EndCaptureHelper(second->Open().socket);
    EXPECT_EQ(niceOf(0), before);
    EXPECT_EQ(niceOf(otherId), before);
    letGo.set_value();
    other.join();
}

TEST_F(LiveCaptureTest, NamesResolveWithoutReachingANameServer) {
    // Namespace a has no route to any name server, so no query leaves it.
    auto inA = mNet->EnterA();
    ASSERT_TRUE(inA.Ok()) << inA.Error();
    EXPECT_EQ(ResolveAddress("localhost"), Dotted("127.0.0.1"));
    EXPECT_EQ(ResolveAddress("no-such-host.invalid"), std::nullopt);
    const CaptureOpenResult result = OpenCaptureSocket("no-such-host.invalid", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_EQ(result.helperPid, -1);
}


TEST_F(LiveCaptureTest, CaptureFilterLetsOnlyItsDatagramsReachTheReader) {
    constexpr std::uint16_t kDiscardPort = 9;
    Capture capture(*mNet, NetnsPair::kAddressA, "udp port 9");
    ASSERT_TRUE(capture.Open().Ok()) << capture.Open().error;
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    // What the filter refuses goes first: once the port 9 datagrams are read,
    // anything that passed the kernel before them has been read as well.
    std::string output;
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}, &output), 0) << output;
    ASSERT_TRUE(SendTo(peers.sender, Pattern(30, 1), NetnsPair::kAddressA, kUdpPortA));
    for (std::uint8_t i = 0; i < 3; ++i)
        ASSERT_TRUE(SendTo(peers.sender, Pattern(20 + i, 2), NetnsPair::kAddressA, kDiscardPort));

    const auto toDiscard = [](const Captured& d) {
        return d.decoded.protocol == kProtocolUdp && d.decoded.dstPort == kDiscardPort;
    };
    ASSERT_TRUE(capture.ReadUntil([&] { return capture.Count(toDiscard) >= 3; }));
    EXPECT_EQ(capture.Count(toDiscard), 3u);
    for (const Captured& d : capture.Datagrams()) {
        EXPECT_EQ(d.decoded.protocol, kProtocolUdp);
        EXPECT_TRUE(d.decoded.srcPort == kDiscardPort || d.decoded.dstPort == kDiscardPort)
            << "a datagram " << d.decoded.srcPort << " -> " << d.decoded.dstPort << " passed the filter";
    }
}

// Real traffic between the namespaces, captured whole: each display filter
// passes exactly the datagrams tcpdump prints from the same datagrams.
TEST_F(LiveCaptureTest, DisplayFiltersPassWhatTcpdumpPrintsOfCapturedTraffic) {
    if (testing::TcpdumpPath().empty()) GTEST_SKIP() << "tcpdump is not installed";
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    std::string output;
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "2", "-i", "0.2", "-s", "1200", "-W", "5", NetnsPair::kAddressA}, &output), 0)
        << output;
    for (std::uint8_t i = 0; i < 3; ++i)
        ASSERT_TRUE(SendTo(peers.sender, Pattern(10 + 300 * i, i), NetnsPair::kAddressA, kUdpPortA));
    ASSERT_TRUE(SendTo(peers.sender, Pattern(5, 9), NetnsPair::kAddressA, 9));
    const auto last = [](const Captured& d) {
        return d.decoded.protocol == kProtocolUdp && d.decoded.dstPort == 9;
    };
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(last) != nullptr; }));

    std::vector<testing::Crafted> datagrams;
    for (const Captured& d : capture->Datagrams()) datagrams.push_back({d.bytes, d.wireLength});
    testing::PcapFile file(datagrams);
    ASSERT_TRUE(file.Error().empty()) << file.Error();
    for (const char* expression : {"icmp[icmptype] == icmp-echo", "udp and not port 9", "greater 1000",
                                   "src host 198.51.100.2 and udp", "icmp or port 9", "ip[6:2] & 0x1fff != 0"}) {
        SCOPED_TRACE(expression);
        DisplayFilterResult compiled = DisplayFilter::Compile(expression);
        ASSERT_TRUE(compiled.Ok()) << compiled.error;
        std::set<std::size_t> passed;
        for (std::size_t i = 0; i < datagrams.size(); ++i)
            if (compiled.filter.Matches(datagrams[i].kept, datagrams[i].wireLength)) passed.insert(i);
        const testing::TcpdumpRun tcpdump = testing::RunTcpdump(file.Path(), expression);
        ASSERT_EQ(tcpdump.status, 0) << tcpdump.errors;
        EXPECT_EQ(passed, tcpdump.printed);
    }
}

TEST_F(LiveCaptureTest, InvalidCaptureFilterIsRefusedWithLibpcapsMessage) {
    for (const char* expression : {"udp port", "host 198.51.100.300", "frobnicate",
                                   // must not close the group around it and escape the own filter
                                   "udp port 9) or (tcp"}) {
        Capture capture(*mNet, NetnsPair::kAddressA, expression);
        ASSERT_FALSE(capture.Open().Ok()) << expression;
        const std::string libpcap = DisplayFilter::Compile(expression).error;
        ASSERT_FALSE(libpcap.empty());
        EXPECT_EQ(capture.Open().error.rfind("The capture filter \"" + std::string(expression) + "\" is not valid: ", 0), 0u)
            << capture.Open().error;
        EXPECT_NE(capture.Open().error.find(libpcap), std::string::npos) << capture.Open().error;
    }
    EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) << "every helper was reaped";

    HelperStart start;
    start.filter = "tcp port";
    HelperRun run(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    ASSERT_EQ(run.FirstFrame(), FrameType::Error);
    ASSERT_TRUE(run.Error());
    EXPECT_EQ(run.Error()->code, CaptureError::InvalidFilter);
    EXPECT_EQ(run.Error()->message, DisplayFilter::Compile("tcp port").error);
    const std::optional<int> status = run.WaitForExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
}

TEST_F(LiveCaptureTest, HelperEndsWhenTheReaderClosesItsEnd) {
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA);
    ASSERT_GT(helper.Pid(), 0);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    helper.Stream().Reset();
    EXPECT_TRUE(ExitedCleanly(helper.WaitForExit()));
}

TEST_F(LiveCaptureTest, HelperEndsOnSigterm) {
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    ASSERT_EQ(kill(helper.Pid(), SIGTERM), 0);
    EXPECT_TRUE(ExitedCleanly(helper.WaitForExit()));
}

// The test reads the Ready frame, then nothing: b's datagrams fill the pipe and
// the helper waits for room, where a stop signal must still end it.
TEST_F(LiveCaptureTest, HelperWritingIntoAFullPipeEndsOnAStopSignal) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        HelperStart start;
        start.outputIsPipe = true;
        HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
        ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
        const int capacity = fcntl(helper.Stream().Get(), F_GETPIPE_SZ);
        ASSERT_GT(capacity, 0);
        const UdpPeers peers = UdpFromBToA();
        ASSERT_GE(peers.sender.Get(), 0);
        const Bytes payload = Pattern(1400, 0x01);
        // Full: a run of datagrams that no longer reaches the pipe (a pipe
        // fills by pages, so "full" is well below its byte capacity).
        int queued = 0;
        int sent = 0;
        for (int lastGrowth = 0; sent - lastGrowth < kDatagramsIntoAFullPipe; ++sent) {
            ASSERT_LT(sent, 20 * capacity / static_cast<int>(payload.size())) << "the pipe never filled";
            ASSERT_TRUE(SendTo(peers.sender, payload, NetnsPair::kAddressA, kUdpPortA));
            usleep(1000);  // paced so that neither the receiver nor the kernel ring drops them
            int now = 0;
            ioctl(helper.Stream().Get(), FIONREAD, &now);
            if (now != queued) lastGrowth = sent;
            queued = now;
        }
        ASSERT_GT(queued, capacity / 2);

        ASSERT_EQ(kill(helper.Pid(), signal), 0);
        const auto status = helper.WaitForExit(kStopWithinMs);
        EXPECT_TRUE(ExitedCleanly(status)) << "still running a second after the signal";
    }
}

// Datagram i of a numbered run from b: its number, then a pattern of its own.
constexpr std::size_t kNumberedPayload = 1000;
constexpr std::size_t kIpAndUdpHeaders = 28;
Bytes NumberedPayload(std::uint32_t i) {
    Bytes payload = Pattern(kNumberedPayload, static_cast<std::uint8_t>(i));
    std::memcpy(payload.data(), &i, sizeof i);
    return payload;
}
// The number of a datagram of such a run, or nothing for any other datagram.
std::optional<std::uint32_t> NumberOf(std::span<const std::uint8_t> datagram) {
    if (datagram.size() != kIpAndUdpHeaders + kNumberedPayload) return std::nullopt;
    std::uint32_t i = 0;
    std::memcpy(&i, datagram.data() + kIpAndUdpHeaders, sizeof i);
    const Bytes expected = NumberedPayload(i);
    if (!std::equal(expected.begin(), expected.end(), datagram.begin() + kIpAndUdpHeaders)) return std::nullopt;
    return i;
}

// Reads the ring's datagrams of a numbered run until `count` have come (or
// the guard runs out); the stream's frames are counted by type meanwhile.
struct RingReading {
    std::vector<std::uint32_t> numbers;  // of the ring's datagrams
    std::vector<std::uint32_t> streamNumbers;  // of the stream's
    int published = 0;
};
// Reads the ring and the stream until `count` datagrams came on either.
void ReadRingUntil(RingConsumer& consumer, HelperRun& helper, FrameReader& stream, std::size_t count,
                   RingReading& reading) {
    for (int waited = 0; reading.numbers.size() + reading.streamNumbers.size() < count && waited < kHangGuardMs;) {
        bool any = false;
        while (auto frame = consumer.Next()) {
            any = true;
            if (auto i = NumberOf(frame->payload)) reading.numbers.push_back(*i);
        }
        ASSERT_FALSE(consumer.Corrupt());
        // Waits for the stream only when the ring is empty and the helper will say when it is not.
        const int waitMs = !any && consumer.AskForWake() ? 10 : 0;
        pollfd in{helper.Stream().Get(), POLLIN, 0};
        if (poll(&in, 1, waitMs) == 1 && stream.Read(helper.Stream().Get()) == FrameReader::ReadStatus::Data) {
            while (auto frame = stream.Next()) {
                if (frame->type == FrameType::Datagram)
                    if (auto i = NumberOf(frame->payload)) reading.streamNumbers.push_back(*i);
                reading.published += frame->type == FrameType::Published;
            }
        }
        waited += waitMs;
    }
}

std::vector<std::uint32_t> FirstNumbers(std::uint32_t count) {
    std::vector<std::uint32_t> numbers(count);
    for (std::uint32_t i = 0; i < count; ++i) numbers[i] = i;
    return numbers;
}

// A ring of `capacity` bytes, made the helper's input.
std::unique_ptr<RingMapping> RingAsInput(HelperStart& start, std::size_t capacity) {
    std::string error;
    auto ring = RingMapping::Create(capacity, error);
    EXPECT_TRUE(ring) << error;
    if (ring) start.input = ring->Fd();
    return ring;
}

// The helper puts its datagrams in the ring it is handed, and wakes a reader
// that asked. This test holds every capability, so the helper cannot write
// into the test's mapping of the ring and maps it itself; a ring larger than
// the helper may map is left, and the datagrams come on the stream, none lost.
struct RingHanded {
    const char* name;
    std::size_t capacity;
    bool used;
};
class LiveCaptureRingTest : public LiveCaptureTest, public ::testing::WithParamInterface<RingHanded> {};

INSTANTIATE_TEST_SUITE_P(Rings, LiveCaptureRingTest,
                         ::testing::Values(RingHanded{"OneItMayMap", 256 << 10, true},
                                           RingHanded{"OneTooLargeToMapHere", 16 << 20, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(LiveCaptureRingTest, HelperPutsTheDatagramsWhereTheReaderTakesThem) {
    HelperStart start;
    const auto ring = RingAsInput(start, GetParam().capacity);
    ASSERT_TRUE(ring);
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    constexpr std::uint32_t kDatagrams = 50;
    for (std::uint32_t i = 0; i < kDatagrams; ++i) {
        ASSERT_TRUE(SendTo(peers.sender, NumberedPayload(i), NetnsPair::kAddressA, kUdpPortA));
        if (i % 10 == 9) usleep(20000);  // several wakes, not one
    }
    RingConsumer consumer(*ring);
    FrameReader stream;
    RingReading reading;
    ReadRingUntil(consumer, helper, stream, kDatagrams, reading);
    if (GetParam().used) {
        EXPECT_EQ(reading.numbers, FirstNumbers(kDatagrams));
        EXPECT_TRUE(reading.streamNumbers.empty()) << "datagrams go to the ring only";
        EXPECT_GE(reading.published, 1) << "the reader that asked was woken";
        EXPECT_EQ(helper.Diagnostics(), "");
    } else {
        EXPECT_EQ(reading.streamNumbers, FirstNumbers(kDatagrams));
        EXPECT_EQ(ring->Positions().published.load(), 0u) << "nothing went into the ring";
        kill(helper.Pid(), SIGTERM);
        helper.WaitForExit();
        EXPECT_NE(helper.Diagnostics().find("datagrams go on the stream"), std::string::npos)
            << helper.Diagnostics();
    }
}

// Nobody reads the ring for a while: it fills, the rest waits in the
// kernel's ring, the helper goes on answering, and nothing is lost.
TEST_F(LiveCaptureTest, HelperWithAFullRingLosesNothingAndStillStops) {
    HelperStart start;
    const auto ring = RingAsInput(start, RingMapping::kMinCapacity);
    ASSERT_TRUE(ring);
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    // About four times what the ring holds.
    constexpr std::uint32_t kDatagrams = 4 * RingMapping::kMinCapacity / kNumberedPayload;
    // In one burst: the kernel's ring hands over a block when it is full or
    // after a millisecond, so datagrams a millisecond apart would take a
    // block each and fill its handful of blocks long before its bytes.
    for (std::uint32_t i = 0; i < kDatagrams; ++i)
        ASSERT_TRUE(SendTo(peers.sender, NumberedPayload(i), NetnsPair::kAddressA, kUdpPortA));
    // Still answering: its Stats frames come while the ring stays full.
    FrameReader stream;
    int stats = 0;
    for (int waited = 0; stats < 2 && waited < kHangGuardMs; waited += 100) {
        pollfd in{helper.Stream().Get(), POLLIN, 0};
        if (poll(&in, 1, 100) <= 0 || stream.Read(helper.Stream().Get()) != FrameReader::ReadStatus::Data) continue;
        while (auto frame = stream.Next()) {
            ASSERT_NE(frame->type, FrameType::Datagram);
            if (frame->type != FrameType::Stats) continue;
            ++stats;
            const auto counts = ParseStatsPayload(frame->payload);
            ASSERT_TRUE(counts);
            EXPECT_EQ(counts->droppedByKernel + counts->droppedByInterface, 0u);
        }
    }
    ASSERT_EQ(stats, 2);
    RingConsumer consumer(*ring);
    EXPECT_LT(consumer.BytesWaiting(), RingMapping::kMinCapacity);
    EXPECT_GT(consumer.BytesWaiting(), RingMapping::kMinCapacity / 2) << "the ring filled";

    RingReading reading;
    ReadRingUntil(consumer, helper, stream, kDatagrams, reading);
    EXPECT_EQ(reading.numbers, FirstNumbers(kDatagrams)) << "all of them, once, in order";

    ASSERT_EQ(kill(helper.Pid(), SIGTERM), 0);
    EXPECT_TRUE(ExitedCleanly(helper.WaitForExit(kStopWithinMs)));
}

// Only a sealed ring is written to; a file on the helper's input is left as it is.
TEST_F(LiveCaptureTest, HelperLeavesAFileOnItsInputAloneAndUsesTheStream) {
    char path[] = "/tmp/wirelens-input-XXXXXX";
    Fd file(mkstemp(path));
    ASSERT_GE(file.Get(), 0);
    unlink(path);
    const Bytes content = Pattern(4096 + RingMapping::kMinCapacity, 0x5A);
    ASSERT_EQ(write(file.Get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
    HelperStart start;
    start.input = file.Get();
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_TRUE(SendTo(peers.sender, NumberedPayload(7), NetnsPair::kAddressA, kUdpPortA));
    EXPECT_EQ(helper.NextFrame({FrameType::Stats}), FrameType::Datagram);
    Bytes after(content.size());
    ASSERT_EQ(pread(file.Get(), after.data(), after.size(), 0), static_cast<ssize_t>(after.size()));
    EXPECT_EQ(after, content);
}

TEST_F(LiveCaptureTest, HelperClosesTheDescriptorsItInherits) {
    int stray[2];
    ASSERT_EQ(pipe2(stray, O_CLOEXEC), 0);
    Fd strayRead(stray[0]), strayWrite(stray[1]);
    struct stat strayPipe {};
    ASSERT_EQ(fstat(stray[1], &strayPipe), 0);
    HelperStart start;
    start.strayDescriptors = {3, 9, 200};
    start.strayFrom = stray[1];
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);

    const std::string folder = "/proc/" + std::to_string(helper.Pid()) + "/fd/";
    std::vector<int> kept;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        struct stat target {};
        if (stat(entry.path().c_str(), &target) != 0) continue;
        if (target.st_dev == strayPipe.st_dev && target.st_ino == strayPipe.st_ino)
            kept.push_back(std::stoi(entry.path().filename()));
    }
    EXPECT_EQ(kept, std::vector<int>{}) << "inherited descriptors still open";
    // The only writer left is ours: the helper's copies are gone.
    strayWrite.Reset();
    pollfd hangUp{strayRead.Get(), POLLIN, 0};
    EXPECT_EQ(poll(&hangUp, 1, 0), 1);
    EXPECT_NE(hangUp.revents & POLLHUP, 0);
}

TEST_F(LiveCaptureTest, HelperThatCannotSendReadyFailsWithAMessage) {
    HelperStart start;
    start.outputIsPipe = true;
    start.readerClosedFirst = true;
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA, start);
    const auto status = helper.WaitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
    EXPECT_NE(helper.Diagnostics().find("cannot send the Ready frame"), std::string::npos)
        << helper.Diagnostics();
}

// The network changing under a running capture: the helper says so in an Error
// frame and ends, and the stream up to then is whole.
struct NetworkChangeCase {
    const char* name;
    std::vector<std::string> change;  // run in a; "IF" stands for a's veth
    CaptureError code;
    const char* told;                 // part of the message
};

void PrintTo(const NetworkChangeCase& c, std::ostream* out) { *out << c.name; }

class HelperNetworkChangeTest : public LiveCaptureTest,
                                public ::testing::WithParamInterface<NetworkChangeCase> {};

TEST_P(HelperNetworkChangeTest, IsToldAtOnceAndEndsTheHelper) {
    const NetworkChangeCase& c = GetParam();
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    std::vector<std::string> change = c.change;
    for (auto& word : change)
        if (word == "IF") word = mNet->InterfaceA();
    std::string output;
    ASSERT_EQ(mNet->RunInA(change, &output), 0) << output;

    ASSERT_EQ(helper.NextFrame({FrameType::Datagram, FrameType::Stats}), FrameType::Error);
    ASSERT_TRUE(helper.Error().has_value());
    EXPECT_EQ(helper.Error()->code, c.code) << helper.Error()->message;
    EXPECT_NE(helper.Error()->message.find(c.told), std::string::npos) << helper.Error()->message;
    EXPECT_NE(helper.Error()->message.find(mNet->InterfaceA()), std::string::npos) << helper.Error()->message;
    const auto status = helper.WaitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, HelperNetworkChangeTest,
    ::testing::Values(
        NetworkChangeCase{"AddressRemoved",
                          {"ip", "addr", "del", std::string(NetnsPair::kAddressA) + "/24", "dev", "IF"},
                          CaptureError::AddressRemoved,
                          "198.51.100.1 was removed"},
        NetworkChangeCase{"InterfaceDown", {"ip", "link", "set", "IF", "down"}, CaptureError::InterfaceDown,
                          "went down"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another address leaving, or a's peer going down, is no change to this capture.
TEST_F(LiveCaptureTest, OtherAddressesLeavingDoNotEndTheCapture) {
    HelperRun helper(*mNet, WIRELENS_CAPTURE_HELPER, NetnsPair::kAddressA);
    ASSERT_EQ(helper.FirstFrame(), FrameType::Ready);
    std::string output;
    ASSERT_EQ(mNet->RunInA({"ip", "addr", "add", "203.0.113.7/24", "dev", mNet->InterfaceA()}, &output), 0) << output;
    ASSERT_EQ(mNet->RunInA({"ip", "addr", "del", "203.0.113.7/24", "dev", mNet->InterfaceA()}, &output), 0) << output;
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}, &output), 0) << output;
    // The ping's datagrams come, then a Stats frame; an Error frame would come first.
    EXPECT_EQ(helper.NextFrame({FrameType::Datagram}), FrameType::Stats);
}

// The stream stays open in this process, so only the parent's death can end the helper.
TEST_F(LiveCaptureTest, HelperEndsWhenItsParentDies) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the orphaned helper comes back to us
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    Fd stream(ends[0]);
    int pidPipe[2];
    ASSERT_EQ(pipe2(pidPipe, O_CLOEXEC), 0);

    const pid_t parent = fork();
    if (parent == 0) {
        // The helper's parent: starts it, waits until it is capturing, then dies.
        auto inA = mNet->EnterA();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        char* argv[] = {const_cast<char*>(WIRELENS_CAPTURE_HELPER),
                        const_cast<char*>(NetnsPair::kAddressA), nullptr};
        pid_t helper = -1;
        if (posix_spawn(&helper, argv[0], &actions, nullptr, argv, environ) != 0) _exit(1);
        FrameHeader header;
        if (read(ends[0], &header, sizeof header) != static_cast<ssize_t>(sizeof header)) _exit(2);
        if (write(pidPipe[1], &helper, sizeof helper) != static_cast<ssize_t>(sizeof helper)) _exit(3);
        _exit(0);
    }
    close(ends[1]);
    close(pidPipe[1]);
    int parentStatus = 0;
    ASSERT_EQ(waitpid(parent, &parentStatus, 0), parent);
    pid_t helper = -1;
    const ssize_t got = read(pidPipe[0], &helper, sizeof helper);
    close(pidPipe[0]);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof helper)) << "parent status " << parentStatus;

    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, helper, 0));
    if (pidFd >= 0) {
        pollfd exited{pidFd, POLLIN, 0};
        poll(&exited, 1, kHangGuardMs);
        close(pidFd);
    }
    int status = 0;
    const pid_t reaped = waitpid(helper, &status, WNOHANG);
    if (reaped != helper) {
        kill(helper, SIGKILL);
        waitpid(helper, nullptr, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(reaped, helper) << "the helper outlived its parent";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A copy of the helper that an unprivileged user may run, started through
// setpriv as that user; the file holds the capabilities given (setcap's text), if any.
class UnprivilegedHelper {
public:
    explicit UnprivilegedHelper(const std::string& capabilities = "") {
        char pattern[] = "/tmp/wirelens-unprivileged-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        mFolder = pattern;
        chmod(mFolder.c_str(), 0755);
        mHelper = mFolder + "/wirelens-capture";
        mWrapper = mFolder + "/as-nobody";
        std::ifstream in(WIRELENS_CAPTURE_HELPER, std::ios::binary);
        std::ofstream(mHelper, std::ios::binary) << in.rdbuf();
        chmod(mHelper.c_str(), 0755);
        if (!capabilities.empty()) {
            std::string output;
            if (testing::RunCommand({"setcap", capabilities, mHelper}, &output) != 0)
                mSetcapError = "setcap: " + output;
        }
        const std::string id = std::to_string(kUnprivilegedId);
        std::ofstream(mWrapper) << "#!/bin/sh\nexec setpriv --reuid=" << id << " --regid=" << id
                                << " --clear-groups " << mHelper << " \"$@\"\n";
        chmod(mWrapper.c_str(), 0755);
    }
    ~UnprivilegedHelper() {
        unlink(mWrapper.c_str());
        unlink(mHelper.c_str());
        rmdir(mFolder.c_str());
    }
    const std::string& Wrapper() const { return mWrapper; }
    const std::string& SetcapError() const { return mSetcapError; }

private:
    std::string mSetcapError;
    std::string mFolder;
    std::string mHelper;
    std::string mWrapper;
};

TEST_F(LiveCaptureTest, UnprivilegedHelperFailsAtOnceWithThePermissionMessage) {
    UnprivilegedHelper unprivileged;
    {
        HelperRun helper(*mNet, unprivileged.Wrapper(), NetnsPair::kAddressA);
        ASSERT_EQ(helper.FirstFrame(), FrameType::Error);
        ASSERT_TRUE(helper.Error().has_value());
        EXPECT_EQ(helper.Error()->code, CaptureError::PermissionDenied) << helper.Error()->message;
        const auto status = helper.WaitForExit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
    }
    SetCaptureHelperPath(unprivileged.Wrapper());
    Capture capture(*mNet, NetnsPair::kAddressA);
    EXPECT_FALSE(capture.Open().Ok());
    EXPECT_NE(capture.Open().error.find("Permission denied"), std::string::npos) << capture.Open().error;
    EXPECT_NE(capture.Open().error.find("sudo setcap cap_net_raw,cap_sys_nice+ep " + unprivileged.Wrapper()),
              std::string::npos)
        << capture.Open().error;
}

// What scripts/run sets up: the file holds CAP_NET_RAW and CAP_SYS_NICE and an
// ordinary user runs it; it runs at the raised priority, or at the ordinary one
// when the file holds CAP_NET_RAW alone, and keeps neither capability.
struct HelperCapabilities {
    const char* name;
    const char* setcap;
    bool raisesPriority;  // to nice -15; else it keeps the nice value of its parent, this test
};

class LiveCaptureCapabilitiesTest : public LiveCaptureTest,
                                    public ::testing::WithParamInterface<HelperCapabilities> {};

INSTANTIATE_TEST_SUITE_P(Files, LiveCaptureCapabilitiesTest,
                         ::testing::Values(HelperCapabilities{"RawAndNice", "cap_net_raw,cap_sys_nice+ep", true},
                                           HelperCapabilities{"RawAlone", "cap_net_raw+ep", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(LiveCaptureCapabilitiesTest, HelperCapturesForAnUnprivilegedUserAndDropsItsCapabilities) {
    UnprivilegedHelper unprivileged(GetParam().setcap);
    if (!unprivileged.SetcapError().empty())
        GTEST_SKIP() << "file capabilities cannot be set here: " << unprivileged.SetcapError();
    SetCaptureHelperPath(unprivileged.Wrapper());
    const int niceBefore = getpriority(PRIO_PROCESS, 0);
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    ASSERT_EQ(mNet->RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}), 0);
    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->Find([](const Captured& d) { return d.decoded.protocol == kProtocolIcmp; });
    }));

    // The wrapper execs setpriv, which execs the helper: one pid throughout.
    std::ifstream status("/proc/" + std::to_string(capture->Open().helperPid) + "/status");
    std::string line;
    std::vector<std::string> seen;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name, value;
        fields >> name >> value;
        if (name == "Uid:" || name == "CapPrm:" || name == "CapEff:") seen.push_back(name + value);
    }
    const std::vector<std::string> expected = {"Uid:" + std::to_string(kUnprivilegedId),
                                               "CapPrm:0000000000000000", "CapEff:0000000000000000"};
    EXPECT_EQ(seen, expected);
    const int expectedNice = GetParam().raisesPriority ? -15 : niceBefore;
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(capture->Open().helperPid)), expectedNice);
    // This test runs as root, not as the helper's user: the helper leaves it alone.
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), niceBefore);
}

class LiveCaptureTwoAddressesTest : public LiveCaptureTest {
protected:
    NetnsPair::Options NetOptions() const override { return {.secondAddress = true}; }
};

TEST_F(LiveCaptureTwoAddressesTest, TrafficOfTheInterfacesOtherAddressIsNotCaptured) {
    ASSERT_EQ(mNet->RunInB({"ip", "addr", "add", std::string(kSecondAddressB) + "/24", "dev",
                            mNet->InterfaceB()}),
              0);
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    Fd receiver = SocketIn(mNet->EnterA(), SOCK_DGRAM, NetnsPair::kSecondAddressA, kUdpPortA);
    Fd sender = SocketIn(mNet->EnterB(), SOCK_DGRAM, kSecondAddressB, kUdpPortB);
    ASSERT_GE(receiver.Get(), 0);
    ASSERT_GE(sender.Get(), 0);
    const Bytes payload = Pattern(30, 0x44);
    ASSERT_TRUE(SendTo(sender, payload, NetnsPair::kSecondAddressA, kUdpPortA));
    // It did reach a's interface: the receiver on the other address has it.
    pollfd in{receiver.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&in, 1, kHangGuardMs), 1);
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    const Bytes marker = Pattern(44, 0xC0);
    ASSERT_TRUE(SendTo(peers.sender, marker, NetnsPair::kAddressA, kUdpPortA));

    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->Find([&](const Captured& d) { return d.EndsWith(marker); }) != nullptr;
    }));
    EXPECT_EQ(capture->Count([](const Captured& d) {
                  return d.decoded.srcAddr == Dotted(kSecondAddressB) ||
                         d.decoded.dstAddr == Dotted(kSecondAddressB);
              }),
              0u)
        << "no datagram of the other address";
}

TEST_F(LiveCaptureTwoAddressesTest, TrafficBetweenOwnAddressesIsSeenOncePerDatagram) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    Fd receiver = SocketIn(mNet->EnterA(), SOCK_DGRAM, NetnsPair::kAddressA, kUdpPortA);
    Fd sender = SocketIn(mNet->EnterA(), SOCK_DGRAM, NetnsPair::kSecondAddressA, kUdpPortB);
    ASSERT_GE(receiver.Get(), 0);
    ASSERT_GE(sender.Get(), 0);
    constexpr int kDatagrams = 5;
    for (int i = 0; i < kDatagrams; ++i)
        ASSERT_TRUE(SendTo(sender, Pattern(32, static_cast<std::uint8_t>(i * 40)), NetnsPair::kAddressA, kUdpPortA));
    // Sent last on the same path: once it is in, any second copy of the others would be too.
    const Bytes marker = Pattern(48, 0xF0);
    ASSERT_TRUE(SendTo(sender, marker, NetnsPair::kAddressA, kUdpPortA));

    const auto local = [](const Captured& d) {
        return d.Between(NetnsPair::kSecondAddressA, NetnsPair::kAddressA) && d.decoded.dstPort == kUdpPortA;
    };
    ASSERT_TRUE(capture->ReadUntil([&] {
        return capture->Find([&](const Captured& d) { return local(d) && d.decoded.size == 48; });
    }));
    for (int i = 0; i < kDatagrams; ++i) {
        const Bytes payload = Pattern(32, static_cast<std::uint8_t>(i * 40));
        EXPECT_EQ(capture->Count([&](const Captured& d) {
                      return local(d) && d.decoded.size == 32 && d.EndsWith(payload);
                  }),
                  1u)
            << "datagram " << i;
    }
    for (const Captured& d : capture->Datagrams())
        if (local(d)) ExpectWhole(d);
}

TEST_F(LiveCaptureTwoAddressesTest, ListLocalAddressesGivesEveryAddressInInterfaceOrder) {
    auto inA = mNet->EnterA();
    ASSERT_TRUE(inA.Ok()) << inA.Error();
    std::vector<std::string> list;
    ASSERT_EQ(ListLocalAddresses(list), 0);
    const std::vector<std::string> expected = {
        "127.0.0.1;255.0.0.0",
        std::string(NetnsPair::kAddressA) + ";" + NetnsPair::kMask,
        std::string(NetnsPair::kSecondAddressA) + ";" + NetnsPair::kMask,
    };
    EXPECT_EQ(list, expected);
}

class LiveCaptureJumboTest : public LiveCaptureTest {
protected:
    NetnsPair::Options NetOptions() const override { return {.mtu = 9000}; }
};

TEST_F(LiveCaptureJumboTest, DatagramLargerThanTheBufferKeepsItsFirst2000Bytes) {
    auto capture = OpenOnA();
    ASSERT_TRUE(capture->Open().Ok());
    const UdpPeers peers = UdpFromBToA();
    ASSERT_FALSE(::testing::Test::HasFailure());
    const Fd& sender = peers.sender;
    const Bytes payload = Pattern(3000, 0x07);
    ASSERT_TRUE(SendTo(sender, payload, NetnsPair::kAddressA, kUdpPortA));

    const auto large = [](const Captured& d) {
        return d.decoded.protocol == kProtocolUdp && d.decoded.dstPort == kUdpPortA;
    };
    ASSERT_TRUE(capture->ReadUntil([&] { return capture->Find(large) != nullptr; }));
    const Captured& d = *capture->Find(large);
    EXPECT_EQ(d.bytes.size(), kReceiveBufferSize);
    EXPECT_EQ(d.TotalLength(), 3028) << "one unfragmented datagram at MTU 9000";
    EXPECT_EQ(d.wireLength, 3028u);
    EXPECT_TRUE(std::equal(d.bytes.begin() + kUdpDataOffset, d.bytes.end(), payload.begin()));
    EXPECT_EQ(capture->Count(large), 1u);
}

}  // namespace
}  // namespace wirelens
