// The socket module without a live capture: address resolution, the failures
// of opening, the close sequence, and the helper's refusal of anything but an address.
#include "capture/mdlwinsock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/capture_stream.h"

extern char** environ;

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Dotted(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// True when this process has no child at all: nothing was started, or all were reaped.
bool NoChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/wirelens-test-XXXXXX";
        mPath = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempFolder() {
        for (const auto& file : mFiles) unlink(file.c_str());
        if (!mPath.empty()) rmdir(mPath.c_str());
    }
    std::string Write(const std::string& name, const std::string& content, mode_t mode) {
        const std::string path = mPath + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        chmod(path.c_str(), mode);
        mFiles.push_back(path);
        return path;
    }

private:
    std::string mPath;
    std::vector<std::string> mFiles;
};

// A stand-in for the helper: writes the given stream bytes, then stays until ended.
std::string FakeHelper(TempFolder& folder, const Bytes& answer, bool stay = true) {
    const std::string frames =
        folder.Write("answer.bin", std::string(answer.begin(), answer.end()), 0644);
    return folder.Write("fake-helper",
                        "#!/bin/sh\ncat '" + frames + "'\n" + (stay ? "exec sleep 60\n" : ""),
                        0755);
}

class HelperPathGuard {
public:
    explicit HelperPathGuard(std::string path) { SetCaptureHelperPath(std::move(path)); }
    ~HelperPathGuard() { SetCaptureHelperPath(""); }
};

struct ResolveCase {
    const char* text;
    std::optional<std::uint32_t> expected;
};

class ResolveAddressTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveAddressTest, GivesTheAddressInNetworkOrderOrNothing) {
    const ResolveCase& c = GetParam();
    EXPECT_EQ(ResolveAddress(c.text), c.expected);
}

// Only texts that never reach a name server: names are resolved in the live tests,
// inside a namespace from which no query can leave.
INSTANTIATE_TEST_SUITE_P(
    Texts, ResolveAddressTest,
    ::testing::Values(ResolveCase{"198.51.100.1", Dotted("198.51.100.1")},
                      ResolveCase{"203.0.113.254", Dotted("203.0.113.254")},
                      ResolveCase{"0.0.0.0", 0u},
                      ResolveCase{"255.255.255.254", Dotted("255.255.255.254")},
                      ResolveCase{"255.255.255.255", std::nullopt},
                      ResolveCase{"", std::nullopt}));

TEST(OpenCaptureSocket, AllOnesAddressFailsAndStartsNothing) {
    ASSERT_TRUE(NoChildLeft());
    const CaptureOpenResult result = OpenCaptureSocket("255.255.255.255", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_EQ(result.socket, -1);
    EXPECT_EQ(result.helperPid, -1);
    EXPECT_NE(result.error.find("255.255.255.255"), std::string::npos) << result.error;
    EXPECT_TRUE(NoChildLeft());
}

TEST(OpenCaptureSocket, MissingHelperIsNamedWithItsPath) {
    const HelperPathGuard guard("/nonexistent-wirelens/wirelens-capture");
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find("missing"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("/nonexistent-wirelens/wirelens-capture"), std::string::npos);
    EXPECT_TRUE(NoChildLeft());
}

TEST(OpenCaptureSocket, HelperThatMayNotBeRunNamesTheGroup) {
    TempFolder folder;
    const std::string helper = folder.Write("wirelens-capture", "#!/bin/sh\nexit 0\n", 0640);
    const HelperPathGuard guard(helper);
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find("may not run the capture helper " + helper), std::string::npos)
        << result.error;
    EXPECT_NE(result.error.find("group"), std::string::npos) << result.error;
    EXPECT_TRUE(NoChildLeft());
}

TEST(OpenCaptureSocket, HelperEndingWithoutAnswerIsReapedAndReported) {
    TempFolder folder;
    const HelperPathGuard guard(folder.Write("wirelens-capture", "#!/bin/sh\nexit 3\n", 0755));
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find("exit status 3"), std::string::npos) << result.error;
    EXPECT_TRUE(NoChildLeft());
}

TEST(OpenCaptureSocket, SilentHelperTimesOutAndIsEnded) {
    TempFolder folder;
    const HelperPathGuard guard(folder.Write("wirelens-capture", "#!/bin/sh\nexec sleep 60\n", 0755));
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find("did not answer"), std::string::npos) << result.error;
    EXPECT_TRUE(NoChildLeft());
}

struct AnswerCase {
    const char* name;
    Bytes answer;
    const char* expectedText;  // "%HELPER%" stands for the fake helper's path
};

Bytes ErrorAnswer(CaptureError code, const char* message) {
    Bytes answer;
    AppendErrorFrame(answer, code, message);
    return answer;
}

Bytes CorruptAnswer() {
    FrameHeader header{};
    header.payloadLength = 1u << 20;
    header.type = 4;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&header);
    return Bytes(raw, raw + sizeof header);
}

class HelperAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(HelperAnswerTest, RefusalBecomesAMessageForTheUser) {
    const AnswerCase& c = GetParam();
    TempFolder folder;
    const std::string helper = FakeHelper(folder, c.answer, false);
    const HelperPathGuard guard(helper);
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    EXPECT_FALSE(result.Ok());
    std::string expected = c.expectedText;
    if (const auto at = expected.find("%HELPER%"); at != std::string::npos)
        expected.replace(at, 8, helper);
    EXPECT_NE(result.error.find(expected), std::string::npos)
        << "error: " << result.error << "\nexpected: " << expected;
    EXPECT_TRUE(NoChildLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HelperAnswerTest,
    ::testing::Values(
        AnswerCase{"PermissionDeniedGivesTheSetcapCommand",
                   ErrorAnswer(CaptureError::PermissionDenied, "no permission to capture"),
                   "sudo setcap cap_net_raw,cap_sys_nice+ep %HELPER%"},
        AnswerCase{"NotLocal",
                   ErrorAnswer(CaptureError::NotLocal, "198.51.100.1 is not an address"),
                   "The address 198.51.100.1 is no longer an address of this machine."},
        AnswerCase{"LoopbackSaysWhyAndWhatToChoose",
                   ErrorAnswer(CaptureError::Loopback, "198.51.100.1 is a loopback address"),
                   "The address 198.51.100.1 is a loopback address: its traffic is not captured. "
                   "Choose the address of a network interface."},
        AnswerCase{"InterfaceDown",
                   ErrorAnswer(CaptureError::InterfaceDown,
                               "the network interface veth0 that holds 198.51.100.1 is down"),
                   "The network interface veth0 that holds 198.51.100.1 is down."},
        AnswerCase{"SystemErrorKeepsTheSystemsText",
                   ErrorAnswer(CaptureError::System, "veth0: No buffer space available"),
                   "Cannot capture on 198.51.100.1: veth0: No buffer space available."},
        AnswerCase{"InvalidFilterKeepsLibpcapsText",
                   ErrorAnswer(CaptureError::InvalidFilter, "syntax error in filter expression: syntax error"),
                   "is not valid: syntax error in filter expression: syntax error."},
        AnswerCase{"CorruptHeader", CorruptAnswer(), "unreadable answer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenCaptureSocket, PassesTheFilterAsOneArgumentAndNoneWithoutIt) {
    TempFolder folder;
    const std::string argumentsFile = folder.Write("arguments", "", 0644);
    Bytes ready;
    AppendReadyFrame(ready, "veth0");
    const std::string frames = folder.Write("answer.bin", std::string(ready.begin(), ready.end()), 0644);
    // Writes each argument on a line of its own, then answers Ready.
    const HelperPathGuard guard(folder.Write(
        "fake-helper",
        "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + argumentsFile + "'\ncat '" + frames + "'\nexec sleep 60\n", 0755));
    auto argumentsSeen = [&] {
        std::ifstream in(argumentsFile);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort, "udp port 9 and not (host 203.0.113.9)");
    ASSERT_TRUE(result.Ok()) << result.error;
    CloseCaptureSocket(result.socket);
    EXPECT_EQ(argumentsSeen(), "198.51.100.1\nudp port 9 and not (host 203.0.113.9)\n");
    result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    ASSERT_TRUE(result.Ok()) << result.error;
    CloseCaptureSocket(result.socket);
    EXPECT_EQ(argumentsSeen(), "198.51.100.1\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST(OpenCaptureSocket, FirstDatagramAfterReadyIsLeftForTheReader) {
    Bytes answer;
    AppendReadyFrame(answer, "veth0 lo");
    const Bytes datagram(60, 0x45);
    AppendFrame(answer, FrameType::Datagram, 42, 7, 60, datagram);
    TempFolder folder;
    const HelperPathGuard guard(FakeHelper(folder, answer));

    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_GT(result.helperPid, 0);
    EXPECT_NE(fcntl(result.socket, F_GETFL) & O_NONBLOCK, 0) << "the read end is non-blocking";

    FrameReader reader;
    std::optional<Frame> frame;
    while (!frame) {
        pollfd in{result.socket, POLLIN, 0};
        ASSERT_EQ(poll(&in, 1, 10000), 1);
        ASSERT_EQ(reader.Read(result.socket), FrameReader::ReadStatus::Data);
        frame = reader.Next();
    }
    EXPECT_EQ(frame->type, FrameType::Datagram);
    EXPECT_EQ(frame->seconds, 42);
    EXPECT_EQ(Bytes(frame->payload.begin(), frame->payload.end()), datagram);

    CloseCaptureSocket(result.socket);
    EXPECT_TRUE(NoChildLeft()) << "the helper is ended and reaped";
}

TEST(CloseCaptureSocket, IsSafeOnDescriptorsItNeverOpened) {
    CloseCaptureSocket(0);
    CloseCaptureSocket(-1);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "descriptor 0 stays open";
}

TEST(CloseCaptureSocket, RepeatingItLeavesAReusedDescriptorAlone) {
    Bytes answer;
    AppendReadyFrame(answer, "veth0");
    TempFolder folder;
    const HelperPathGuard guard(FakeHelper(folder, answer));
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    ASSERT_TRUE(result.Ok()) << result.error;
    CloseCaptureSocket(result.socket);
    EXPECT_TRUE(NoChildLeft());

    const int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, result.socket) << "the lowest free descriptor is the one just closed";
    CloseCaptureSocket(result.socket);
    EXPECT_NE(fcntl(reused, F_GETFD), -1) << "a stale close must not close someone else's file";
    close(reused);
}

TEST(Winsock, StartSetsTheFlagAndEndClearsItRepeatedly) {
    EXPECT_TRUE(StartWinsock());
    EXPECT_TRUE(WinsockStarted);
    EXPECT_TRUE(StartWinsock());
    EndWinsock();
    EXPECT_FALSE(WinsockStarted);
    EndWinsock();
    EXPECT_FALSE(WinsockStarted);
}

TEST(Winsock, EndEndsAndReapsAHelperStillRunning) {
    Bytes answer;
    AppendReadyFrame(answer, "veth0");
    TempFolder folder;
    const HelperPathGuard guard(FakeHelper(folder, answer));
    StartWinsock();
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    ASSERT_TRUE(result.Ok()) << result.error;
    EndWinsock();
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(fcntl(result.socket, F_GETFD), -1) << "its descriptor is closed";
    CloseCaptureSocket(result.socket);  // the close sequence after it is harmless
}

TEST(IsSupportedOS, PacketSocketsExistOnLinux) { EXPECT_TRUE(IsSupportedOS()); }

TEST(ListLocalAddresses, ListsLoopbackAsAddressAndMask) {
    std::vector<std::string> list;
    ASSERT_EQ(ListLocalAddresses(list), 0);
    for (const auto& item : list) {
        const auto separator = item.find(';');
        ASSERT_NE(separator, std::string::npos) << item;
        in_addr parsed{};
        EXPECT_EQ(inet_pton(AF_INET, item.substr(0, separator).c_str(), &parsed), 1) << item;
        EXPECT_EQ(inet_pton(AF_INET, item.substr(separator + 1).c_str(), &parsed), 1) << item;
    }
    EXPECT_NE(std::find(list.begin(), list.end(), "127.0.0.1;255.0.0.0"), list.end());
}

// The helper itself refuses every argument shape but one dotted address.
struct RefusedArguments {
    const char* name;
    std::vector<std::string> arguments;
};

class HelperArgumentTest : public ::testing::TestWithParam<RefusedArguments> {};

TEST_P(HelperArgumentTest, IsRefusedWithUsageAndNonZeroExit) {
    std::vector<std::string> args = {WIRELENS_CAPTURE_HELPER};
    args.insert(args.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);

    auto readAll = [](int fd) {
        std::string text;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
        close(fd);
        return text;
    };
    const std::string stream = readAll(out[0]);
    const std::string diagnostics = readAll(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(diagnostics.find("usage: wirelens-capture ADDRESS"), std::string::npos) << diagnostics;

    FrameReader reader;
    reader.Feed({reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()});
    const auto frame = reader.Next();
    ASSERT_TRUE(frame.has_value()) << "the refusal is also sent as an Error frame";
    EXPECT_EQ(frame->type, FrameType::Error);
    const auto error = ParseErrorPayload(frame->payload);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, CaptureError::Usage);
    EXPECT_FALSE(reader.Next().has_value()) << "and nothing else";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, HelperArgumentTest,
    ::testing::Values(RefusedArguments{"None", {}},
                      RefusedArguments{"InterfaceName", {"eth0"}},
                      RefusedArguments{"FilterString", {"ip and host 198.51.100.1"}},
                      RefusedArguments{"FileName", {"/tmp/capture.pcap"}},
                      RefusedArguments{"Option", {"-i"}},
                      RefusedArguments{"ShortAddress", {"198.51.100"}},
                      RefusedArguments{"HostName", {"localhost"}},
                      RefusedArguments{"AddressFilterAndMore", {"198.51.100.1", "ip", "udp"}},
                      RefusedArguments{"FilterBeforeAddress", {"udp", "198.51.100.1"}},
                      RefusedArguments{"OptionThenAddress", {"-w", "198.51.100.1"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wirelens
