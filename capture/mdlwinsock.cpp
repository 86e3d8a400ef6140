#include "capture/mdlwinsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <ctime>
#include <fcntl.h>
#include <linux/capability.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/capture_stream.h"
#include "capture/decode.h"
#include "capture/helper_access.h"
#include "capture/shared_ring.h"
#include "capture/thread_priority.h"

extern char** environ;

namespace wirelens {

bool WinsockStarted = false;
int CaptureSocket = 0;

namespace {

// Asked of the kernel for both ends of the stream; it caps the value at its
// rmem_max / wmem_max. The helper's send buffer is what holds a burst for a
// reader that is briefly busy.
constexpr int kStreamBufferBytes = 8 << 20;
constexpr int kTerminateGraceMs = 1000;
constexpr const char* kNullDevice = "/dev/null";

struct RunningHelper {
    int socket;
    pid_t pid;  // -1 once ended and reaped: the number may belong to another process by then
};

// Helpers started by OpenCaptureSocket and not yet ended, by the descriptor they feed.
std::vector<RunningHelper>& RunningHelpers() {
    static std::vector<RunningHelper> helpers;
    return helpers;
}

// This process's nice value before its first running helper raised it (see
// capture/thread_priority.h); every thread goes back to it once none runs.
std::optional<int>& NiceBeforeHelpers() {
    static std::optional<int> nice;
    return nice;
}

bool AnyHelperRuns() {
    for (const RunningHelper& helper : RunningHelpers())
        if (helper.pid > 0) return true;
    return false;
}

// Before a helper starts: what to put back to, unless one already runs (and
// the threads are raised already).
void NoteNiceBeforeHelper() {
    if (!AnyHelperRuns()) NiceBeforeHelpers() = NiceOf(0);
}

// After a helper has ended: the threads go back once the last one has.
void PutBackNiceWhenNoHelperRuns() {
    if (AnyHelperRuns() || !NiceBeforeHelpers()) return;
    PutBackThreads(*NiceBeforeHelpers());
    NiceBeforeHelpers().reset();
}

std::string& HelperPathSetting() {
    static std::string path;
    return path;
}

long long NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1'000'000;
}

// Waits until `pid` has exited and reaps it; false when it is still running at
// the deadline. A pid that is no longer our child counts as ended.
bool ReapWithin(pid_t pid, int timeoutMs, int* status) {
    const long long deadline = NowMs() + timeoutMs;
#ifdef SYS_pidfd_open
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    const int pidFd = -1;
#endif
    for (;;) {
        const pid_t reaped = waitpid(pid, status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno == ECHILD)) break;
        if (reaped < 0 && errno == EINTR) continue;
        const long long left = deadline - NowMs();
        if (left <= 0) {
            if (pidFd >= 0) close(pidFd);
            return false;
        }
        if (pidFd >= 0) {
            pollfd exitFd{pidFd, POLLIN, 0};
            poll(&exitFd, 1, static_cast<int>(left));
        } else {
            const timespec pause{0, 5'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidFd >= 0) close(pidFd);
    return true;
}

// SIGTERM, a grace period, then SIGKILL; always reaps. Returns the wait status.
int EndHelper(pid_t pid) {
    int status = 0;
    if (pid <= 0) return status;
    kill(pid, SIGTERM);
    if (ReapWithin(pid, kTerminateGraceMs, &status)) return status;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string ShellQuoted(const std::string& path) {
    const bool plain = path.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+-") ==
                       std::string::npos;
    if (plain && !path.empty()) return path;
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string AbsolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string WithFullStop(std::string text) {
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

std::string CapitalizedSentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return WithFullStop(std::move(text));
}

std::string SpawnFailureMessage(int error, const std::string& helper) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return "The capture helper is missing: " + helper +
                   " was not found. Build or install Wirelens again.";
        case EACCES:
        case EPERM:
            return NotPermittedMessage(helper, LookUpHelperAccess(helper));
        default:
            return "Cannot start the capture helper " + helper + ": " + std::strerror(error);
    }
}

std::string HelperErrorMessage(const ErrorPayload& error, const std::string& address,
                               const std::string& filter, const std::string& helper) {
    switch (error.code) {
        case CaptureError::PermissionDenied:
            return "Permission denied: the capture helper lacks the capability to capture "
                   "(CAP_NET_RAW). Grant it with:\nsudo setcap cap_net_raw,cap_sys_nice+ep " +
                   ShellQuoted(AbsolutePath(helper));
        case CaptureError::Loopback:
            return "The address " + address +
                   " is a loopback address: its traffic is not captured. Choose the address of "
                   "a network interface.";
        case CaptureError::NotLocal:
        case CaptureError::AddressRemoved:
            return "The address " + address + " is no longer an address of this machine.";
        case CaptureError::InterfaceDown:
            return CapitalizedSentence(error.message);
        case CaptureError::Usage:
            return "The capture helper refused the address " + address + ": " + error.message;
        case CaptureError::InvalidFilter:
            return "The capture filter \"" + filter + "\" is not valid: " + WithFullStop(error.message);
        case CaptureError::System:
            break;
    }
    return "Cannot capture on " + address + ": " + WithFullStop(error.message);
}

std::string ExitDescription(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("ended by signal ") + strsignal(WTERMSIG(status));
    return "ended";
}

enum class FirstFrame { Received, EndOfStream, TimedOut, Failed, Corrupt };

// Reads exactly one frame, header then payload, and not a byte more: what
// follows belongs to the reader that takes the descriptor over.
FirstFrame ReadFirstFrame(int fd, long long deadline, FrameHeader& header,
                          std::vector<std::uint8_t>& payload, int& error) {
    auto readExactly = [&](std::uint8_t* into, std::size_t length) {
        std::size_t got = 0;
        while (got < length) {
            const ssize_t n = read(fd, into + got, length - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                continue;
            }
            if (n == 0) return FirstFrame::EndOfStream;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                error = errno;
                return FirstFrame::Failed;
            }
            const long long left = deadline - NowMs();
            if (left <= 0) return FirstFrame::TimedOut;
            pollfd in{fd, POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
                error = errno;
                return FirstFrame::Failed;
            }
        }
        return FirstFrame::Received;
    };
    FirstFrame result = readExactly(reinterpret_cast<std::uint8_t*>(&header), sizeof header);
    if (result != FirstFrame::Received) return result;
    if (header.payloadLength > kMaxFramePayload || header.type == 0 ||
        header.type > kLastFrameType)
        return FirstFrame::Corrupt;
    payload.resize(header.payloadLength);
    return readExactly(payload.data(), payload.size());
}

void SetBufferSize(int fd, int option) {
    const int bytes = kStreamBufferBytes;
    setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

// Starts the helper with `streamEnd` as its descriptor 1, and the shared ring
// (if any) as its descriptor 0. Returns 0 or an errno value.
int SpawnHelper(const std::string& helper, const std::string& address, const std::string& filter,
                int streamEnd, int ringFd, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, streamEnd, STDOUT_FILENO);
    if (ringFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, ringFd, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice, O_RDONLY, 0);

    // The helper starts with default signal actions and nothing blocked, whatever
    // the GUI has set for itself (an ignored SIGPIPE, for one).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = helper;
    std::string argument = address;
    std::string filterArgument = filter;
    char* argv[] = {program.data(), argument.data(), filter.empty() ? nullptr : filterArgument.data(), nullptr};
    const int result = posix_spawn(&pid, helper.c_str(), &actions, &attributes, argv, environ);
    // The helper writes its datagrams into this process's mapping of the
    // ring; where the system lets only a chosen process do that (Yama), it is
    // chosen. Elsewhere this fails, and is not needed.
    if (result == 0 && ringFd >= 0) prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0, 0, 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

}  // namespace

std::size_t CaptureRingBytes() {
    // A process may write another's memory only if it holds every capability
    // that one does (the process's, as its first thread has them), and Yama's
    // scopes 2 and 3 let no child do it.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, getpid()};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0 || data[0].permitted != 0 || data[1].permitted != 0)
        return kCaptureRingBytes;
    std::ifstream scope("/proc/sys/kernel/yama/ptrace_scope");
    int yama = 0;
    if (scope >> yama && yama >= 2) return kCaptureRingBytes;
    return kUnmappedCaptureRingBytes;
}

bool StartWinsock() {
    WinsockStarted = true;
    return WinsockStarted;
}

void EndWinsock() {
    // Nothing is left running: every helper still alive is ended, reaped, and its descriptor closed.
    auto& helpers = RunningHelpers();
    for (const RunningHelper& helper : helpers) {
        close(helper.socket);
        EndHelper(helper.pid);
    }
    helpers.clear();
    PutBackNiceWhenNoHelperRuns();
    WinsockStarted = false;
}

void SetCaptureHelperPath(std::string path) { HelperPathSetting() = std::move(path); }

std::string CaptureHelperPath() {
    if (!HelperPathSetting().empty()) return HelperPathSetting();
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return kCaptureHelperName;
    std::string folder(self, static_cast<std::size_t>(n));
    folder.resize(folder.rfind('/') + 1);
    return ChooseCaptureHelper(folder, [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0;
    });
}

CaptureOpenResult OpenCaptureSocket(const std::string& address, int /*port*/, const std::string& filter, int ringFd) {
    CaptureOpenResult result;
    const std::optional<std::uint32_t> resolved = ResolveAddress(address);
    if (!resolved) {
        result.error = "The address \"" + address + "\" does not name an IPv4 address that can be captured.";
        return result;
    }
    const std::string dotted = AddressToText(*resolved);
    const std::string helper = CaptureHelperPath();

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        result.error = std::string("Cannot make the capture stream: ") + std::strerror(errno);
        return result;
    }
    const int readEnd = ends[0];
    const int helperEnd = ends[1];
    SetBufferSize(readEnd, SO_RCVBUF);
    SetBufferSize(helperEnd, SO_SNDBUF);

    pid_t pid = -1;
    NoteNiceBeforeHelper();
    const int spawnError = SpawnHelper(helper, dotted, filter, helperEnd, ringFd, pid);
    close(helperEnd);
    if (spawnError != 0) {
        PutBackNiceWhenNoHelperRuns();
        close(readEnd);
        result.error = SpawnFailureMessage(spawnError, helper);
        return result;
    }
    fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);

    FrameHeader header{};
    std::vector<std::uint8_t> payload;
    int readError = 0;
    const FirstFrame first =
        ReadFirstFrame(readEnd, NowMs() + kReceiveTimeoutMs, header, payload, readError);
    if (first == FirstFrame::Received && header.type != static_cast<std::uint16_t>(FrameType::Error)) {
        RunningHelpers().push_back({readEnd, pid});
        result.socket = readEnd;
        result.helperPid = pid;
        result.interfaces.assign(payload.begin(), payload.end());
        return result;
    }

    close(readEnd);
    const int status = EndHelper(pid);
    PutBackNiceWhenNoHelperRuns();
    switch (first) {
        case FirstFrame::Received: {
            const auto error = ParseErrorPayload(payload);
            result.error = error ? HelperErrorMessage(*error, dotted, filter, helper)
                                 : "The capture helper " + helper + " sent an unreadable answer.";
            break;
        }
        case FirstFrame::EndOfStream:
            result.error = "The capture helper " + helper + " ended without opening the capture (" +
                           ExitDescription(status) + ").";
            break;
        case FirstFrame::TimedOut:
            result.error = "The capture helper " + helper + " did not answer within " +
                           std::to_string(kReceiveTimeoutMs / 1000) + " seconds.";
            break;
        case FirstFrame::Corrupt:
            result.error = "The capture helper " + helper + " sent an unreadable answer.";
            break;
        case FirstFrame::Failed:
            result.error = std::string("Cannot read from the capture helper: ") + std::strerror(readError);
            break;
    }
    return result;
}

void EndCaptureHelper(int socket) {
    for (RunningHelper& helper : RunningHelpers()) {
        if (helper.socket != socket) continue;
        EndHelper(helper.pid);
        helper.pid = -1;
        PutBackNiceWhenNoHelperRuns();
        return;
    }
}

void CloseCaptureSocket(int socket) {
    auto& helpers = RunningHelpers();
    for (auto it = helpers.begin(); it != helpers.end(); ++it) {
        if (it->socket != socket) continue;
        // Closing first lets the helper see its reader gone and end by itself.
        close(it->socket);
        EndHelper(it->pid);
        helpers.erase(it);
        PutBackNiceWhenNoHelperRuns();
        return;
    }
    // Not a descriptor this module opened (0, -1, or closed before): nothing to do.
}

std::optional<std::uint32_t> ResolveAddress(const std::string& text) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) {
        if (parsed.s_addr == INADDR_NONE) return std::nullopt;
        return parsed.s_addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    std::optional<std::uint32_t> address;
    if (found->ai_addr != nullptr && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in inet{};
        std::memcpy(&inet, found->ai_addr, sizeof inet);
        if (inet.sin_addr.s_addr != INADDR_NONE) address = inet.sin_addr.s_addr;
    }
    freeaddrinfo(found);
    return address;
}

bool IsSupportedOS() {
    const int probe = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        close(probe);
        return true;
    }
    // EPERM / EACCES: the family exists, only this process may not use it (the helper may).
    return errno != EAFNOSUPPORT;
}

int ListLocalAddresses(std::vector<std::string>& list) {
    StartWinsock();
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return errno;
    std::vector<std::string> entries;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        sockaddr_in mask{};
        if (entry->ifa_netmask != nullptr) std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
        entries.push_back(AddressToText(address.sin_addr.s_addr) + ";" +
                          AddressToText(mask.sin_addr.s_addr));
    }
    freeifaddrs(interfaces);
    list = std::move(entries);
    return 0;
}

std::string InterfaceOfAddress(const std::string& address) {
    in_addr wanted{};
    if (inet_pton(AF_INET, address.c_str(), &wanted) != 1) return {};
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return {};
    std::string name;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in held{};
        std::memcpy(&held, entry->ifa_addr, sizeof held);
        if (held.sin_addr.s_addr != wanted.s_addr) continue;
        name = entry->ifa_name;
        break;
    }
    freeifaddrs(interfaces);
    return name;
}

}  // namespace wirelens
