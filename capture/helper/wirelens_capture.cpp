// wirelens-capture: the only part of Wirelens that ever holds a capture privilege.
//
//   wirelens-capture <IPv4 address of this machine> [capture filter]
//
// Captures, on the interface that holds the address, the IPv4 datagrams whose
// source or destination is that address and the broadcast and multicast
// datagrams that reach the interface; plus the datagrams to or from the address
// that Linux routes over the loopback interface (traffic between this machine's
// own addresses); each datagram once. Nothing else: no unicast between other
// hosts, none of the machine's other addresses. Loopback addresses (127.0.0.0/8)
// are refused, as they would show every user's loopback traffic. It
// writes them to descriptor 1 as the frames of capture/capture_stream.h:
// Ready once the capture is open (or one Error frame saying why it is not),
// then Datagram frames, and a Stats frame about once a second. The GUI passes
// one end of a socket pair as descriptor 1; diagnostics go to descriptor 2.
// When descriptor 0 is a shared ring (capture/shared_ring.h), the datagrams go
// there instead (into the parent's mapping of it when the parent's memory may
// be written, else through the helper's own), and a Published frame on
// descriptor 1 tells the reader of new ones when it has asked for that; a
// full ring leaves them in the kernel's ring meanwhile, as a full stream does.
//
// The file is given CAP_NET_RAW and CAP_SYS_NICE (setcap
// cap_net_raw,cap_sys_nice+ep). With the second it raises its own scheduling
// priority, and that of the process that started it when that runs as the
// same user, first thing, and drops it; it keeps only CAP_NET_RAW until the
// capture is open, then drops all of them and sets no_new_privs. Without
// CAP_SYS_NICE it captures at the ordinary priority. It accepts nothing from
// its caller but the address and a tcpdump filter expression, which only
// narrows what it captures (it is joined to its own filter with "and"): no
// file name, no interface name.
//
// It ends when the reader closes its end, on SIGTERM, SIGINT or SIGHUP, and when
// its parent dies, also while its output is full: it never blocks in a write.
// Its parent reaps it. Descriptors it inherits beyond 0-2 are closed at start.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/decode.h"
#include "capture/link_layer.h"
#include "capture/shared_ring.h"
#include "capture/thread_priority.h"

namespace {

using namespace wirelens;

static_assert(static_cast<int>(LinkType::Null) == DLT_NULL);
static_assert(static_cast<int>(LinkType::Ethernet) == DLT_EN10MB);
static_assert(static_cast<int>(LinkType::Raw) == DLT_RAW);
static_assert(static_cast<int>(LinkType::Loop) == DLT_LOOP);
static_assert(static_cast<int>(LinkType::LinuxSll) == DLT_LINUX_SLL);
static_assert(static_cast<int>(LinkType::Ipv4) == DLT_IPV4);
static_assert(static_cast<int>(LinkType::LinuxSll2) == DLT_LINUX_SLL2);

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr int kStreamFd = STDOUT_FILENO;
constexpr int kSnapLength = static_cast<int>(kReceiveBufferSize + kMaxLinkHeaderLength);
// Ring sizes. Datagrams are packed into the ring's blocks by their own length
// (TPACKET_V3), so 22 MiB holds about 21,000 datagrams of 1000 bytes (40 ms
// of the fastest flood local senders offer) and far more small ones; lo
// carries only the machine's traffic to its own address. The ring is what
// outlasts the helper's own waits for a CPU (and those of the window's thread
// that empties the shared ring, once that is full), so it has most of the
// memory the helper's datagrams may wait in.
constexpr int kKernelBufferBytes = 22 << 20;
constexpr int kLoopbackBufferBytes = 2 << 20;
// When the datagrams go into the window's mapping of the shared ring, none of
// its pages are the helper's: the ring can be as large as the window likes,
// and this ring gets what a shared ring mapped here would take of the helper's
// memory. A shared ring the helper must map itself counts in its resident
// memory, and may be at most what fits beside kKernelBufferBytes (the
// window's kCaptureRingBytes); a larger one is left, and the stream carries
// the datagrams.
constexpr int kKernelBufferBytesBesideRemoteRing = 28 << 20;
// A block is handed over when full or after this long: datagrams come in
// batches, one wake-up each, at most this late.
constexpr int kBlockTimeoutMs = 1;
// Bounds one write (and the batch buffer) while the stream stays lively.
constexpr int kPacketsPerDispatch = 512;
// How often a full shared ring is looked at again.
constexpr long kRingFullWaitNs = 1'000'000L;
constexpr std::size_t kLargestDatagramRecord = RingRecordBytes(kReceiveBufferSize);
constexpr long kStatsIntervalNs = 1'000'000'000L;
// How often a blocked write looks at the parent again.
constexpr long kWriteWaitNs = 500'000'000L;
// The helper's nice value when it may raise it. Senders on the same machine
// can hold every core; at the ordinary priority the helper then waits its turn
// for tens of milliseconds, longer than its ring lasts in a flood. What it
// needs of a core is small (a copy of each datagram), so it takes little from
// them. The process that started it, which needs about a microsecond a
// datagram more, is raised less (kStarterNice).
constexpr int kCaptureNice = -15;
// The nice value of the process that started the helper, below the helper's:
// when both want more than the machine has, the helper, whose kernel ring is
// the smaller buffer, goes first. At -5 the window's thread, woken by a
// notice or its timer, still waited up to 13 ms behind senders' turns on a
// machine they held (its fair share there was about what it used); at -10
// its longest waits were 5-8 ms.
constexpr int kStarterNice = -10;
constexpr const char* kLoopbackInterface = "lo";
constexpr std::uint32_t kLoopbackNetwork = 127;  // 127.0.0.0/8

constexpr const char* kUsage =
    "usage: wirelens-capture ADDRESS [FILTER]\n"
    "Captures the IPv4 datagrams sent from or received at ADDRESS, a dotted IPv4\n"
    "address of this machine (not a loopback address), and the broadcasts and\n"
    "multicasts reaching its interface, and streams them on standard output to Wirelens.\n"
    "FILTER, a tcpdump expression, narrows what is captured.\n"
    "It accepts nothing else: no file name, no interface name.\n";

volatile sig_atomic_t gStopSignal = 0;
void OnStopSignal(int signal) { gStopSignal = signal; }

// Stop signals stay blocked except inside ppoll, so none is lost between a
// check of gStopSignal and the wait that follows it.
sigset_t gWaitMask;

void SetUpSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopSignals, s);
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, &gWaitMask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&gWaitMask, s);
}

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

long NanosUntil(const timespec& deadline) {
    const timespec now = Now();
    const long long ns = (deadline.tv_sec - now.tv_sec) * 1'000'000'000LL +
                         (deadline.tv_nsec - now.tv_nsec);
    return ns < 0 ? 0 : static_cast<long>(ns);
}

timespec After(const timespec& from, long ns) {
    timespec t = from;
    t.tv_nsec += ns;
    t.tv_sec += t.tv_nsec / 1'000'000'000L;
    t.tv_nsec %= 1'000'000'000L;
    return t;
}

// Descriptors beyond 0-2 are the caller's business, not the capture's: a
// privileged program keeps none it did not open itself.
void CloseInheritedDescriptors() {
    if (close_range(3, ~0U, 0) == 0) return;
    std::vector<int> inherited;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            const int fd = std::atoi(entry->d_name);
            if (fd > STDERR_FILENO && fd != dirfd(folder)) inherited.push_back(fd);
        }
        closedir(folder);
    }
    for (int fd : inherited) close(fd);
}

// The output stream. A terminal gets no frames, only the diagnostics on stderr.
// Every write is non-blocking, so a reader that stops reading never keeps the
// helper from seeing a stop signal or its parent's death.
class Stream {
public:
    explicit Stream(int fd) : mFd(fd) {
        struct stat st {};
        const bool known = fstat(fd, &st) == 0;
        mIsSocket = known && S_ISSOCK(st.st_mode);
        mCarriesFrames = isatty(fd) == 0 && fcntl(fd, F_GETFD) != -1;
        // A socket takes MSG_DONTWAIT per call. A pipe is opened afresh, non-blocking,
        // so that the flag does not reach a description the caller may share.
        if (mCarriesFrames && known && S_ISFIFO(st.st_mode)) {
            const std::string path = "/proc/self/fd/" + std::to_string(fd);
            const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (own >= 0) {
                dup2(own, fd);
                close(own);
            }
        }
        if (mCarriesFrames && !mIsSocket) {
            const int flags = fcntl(fd, F_GETFL);
            if (flags != -1 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }

    bool CarriesFrames() const { return mCarriesFrames; }
    int Fd() const { return mFd; }

    // False when the reader has gone, a stop signal came or the parent died.
    bool Write(std::span<const std::uint8_t> bytes, pid_t parent) {
        mLastErrno = 0;
        while (!bytes.empty()) {
            const ssize_t n = mIsSocket ? send(mFd, bytes.data(), bytes.size(),
                                               MSG_DONTWAIT | MSG_NOSIGNAL)
                                        : write(mFd, bytes.data(), bytes.size());
            if (n > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The reader is behind: wait for room; the kernel ring holds new packets meanwhile.
                pollfd out{mFd, POLLOUT, 0};
                const timespec wait{0, kWriteWaitNs};
                const int rc = ppoll(&out, 1, &wait, &gWaitMask);
                if (gStopSignal != 0 || getppid() != parent) return false;
                if (rc < 0 && errno != EINTR) {
                    mLastErrno = errno;
                    return false;
                }
                if (rc > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    mLastErrno = EPIPE;
                    return false;
                }
                continue;
            }
            mLastErrno = n < 0 ? errno : EIO;
            return false;  // EPIPE, ECONNRESET: the reader has gone
        }
        return true;
    }

    // Why the last failed Write failed: an errno, or 0 for a stop signal or the parent's death.
    int LastErrno() const { return mLastErrno; }

private:
    int mFd;
    bool mIsSocket = false;
    bool mCarriesFrames = false;
    int mLastErrno = 0;
};

int Fail(Stream& stream, CaptureError code, const std::string& message) {
    std::fprintf(stderr, "wirelens-capture: %s\n", message.c_str());
    if (stream.CarriesFrames()) {
        std::vector<std::uint8_t> frame;
        AppendErrorFrame(frame, code, message);
        stream.Write(frame, getppid());
    }
    return code == CaptureError::Usage || code == CaptureError::InvalidFilter ? kExitUsage : kExitFailure;
}

// Raises the priority, which needs CAP_SYS_NICE; quietly stays at the
// ordinary one without it. A nice value lasts when the capability is dropped.
// The process that started the helper files what it captures and would wait
// behind the senders just the same, so its threads are raised too (it puts
// them back when the helper ends); only when it runs as the user who started
// the helper, so that the helper never raises someone else's process.
void RaisePriority() {
    setpriority(PRIO_PROCESS, 0, kCaptureNice);
    const pid_t parent = getppid();
    if (parent <= 1 || !RunsAsUser(parent, getuid())) return;
    RaiseThreads(parent, kStarterNice);
    // The thread that empties the shared ring: when it waits, the ring and
    // then the kernel's ring fill, so it waits no longer than the helper.
    RaiseThreadsNamed(parent, kCapturePumpThreadName, kCaptureNice);
}

// Keeps CAP_NET_RAW, if held at all, and nothing else.
void KeepOnlyNetRaw() {
    cap_t current = cap_get_proc();
    if (current == nullptr) return;
    cap_flag_value_t held = CAP_CLEAR;
    cap_get_flag(current, CAP_NET_RAW, CAP_PERMITTED, &held);
    cap_free(current);

    cap_t wanted = cap_init();
    if (held == CAP_SET) {
        const cap_value_t netRaw[] = {CAP_NET_RAW};
        cap_set_flag(wanted, CAP_PERMITTED, 1, netRaw, CAP_SET);
        cap_set_flag(wanted, CAP_EFFECTIVE, 1, netRaw, CAP_SET);
    }
    cap_set_proc(wanted);
    cap_free(wanted);
    cap_reset_ambient();
}

bool DropAllCapabilities() {
    cap_t none = cap_init();
    const bool dropped = none != nullptr && cap_set_proc(none) == 0;
    if (none != nullptr) cap_free(none);
    cap_reset_ambient();
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && dropped;
}

struct InterfaceInfo {
    std::string name;
    bpf_u_int32 netmask = 0;  // of the address, host order as pcap_compile takes it
    bool up = false;
    bool loopback = false;
};

enum class LookupResult { Found, NotFound, Failed };

// The interface that holds `address` (network order).
LookupResult FindInterface(in_addr_t address, InterfaceInfo& info, int& error) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        error = errno;
        return LookupResult::Failed;
    }
    LookupResult result = LookupResult::NotFound;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in inet{};
        std::memcpy(&inet, entry->ifa_addr, sizeof inet);
        if (inet.sin_addr.s_addr != address) continue;
        info.name = entry->ifa_name;
        // An address with a label ("eth0:1") lives on the interface named before the colon.
        const auto colon = info.name.find(':');
        if (if_nametoindex(info.name.c_str()) == 0 && colon != std::string::npos)
            info.name.resize(colon);
        if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
            sockaddr_in mask{};
            std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
            info.netmask = ntohl(mask.sin_addr.s_addr);
        }
        info.up = (entry->ifa_flags & IFF_UP) != 0;
        info.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        result = LookupResult::Found;
        break;
    }
    freeifaddrs(list);
    return result;
}

// The kernel's address and link notifications, so that a capture whose address
// leaves its interface, or whose interface goes down, says so at once instead
// of quietly capturing nothing.
class NetworkWatch {
public:
    NetworkWatch() {
        mFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (mFd < 0) return;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
        if (bind(mFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close(mFd);
            mFd = -1;
        }
    }
    ~NetworkWatch() {
        if (mFd >= 0) close(mFd);
    }
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    int Fd() const { return mFd; }

    // Reads every pending notification; true when one may concern the capture
    // (an address removed, a link changed, or notifications lost).
    bool Drain() {
        bool relevant = false;
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            const ssize_t n = recv(mFd, buffer, sizeof buffer, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS) relevant = true;  // overrun: look at the state itself
                return relevant;
            }
            if (n == 0) return relevant;
            int length = static_cast<int>(n);
            for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(message, length);
                 message = NLMSG_NEXT(message, length)) {
                relevant |= message->nlmsg_type == RTM_DELADDR || message->nlmsg_type == RTM_NEWLINK ||
                            message->nlmsg_type == RTM_DELLINK;
            }
        }
    }

private:
    int mFd = -1;
};

// The kernel filter: the helper's own expression, narrowed by the caller's when
// one is given. The caller's is first compiled alone, so it is one complete
// expression and its group cannot be closed early to undo the own one
// ("udp) or (tcp"). Returns libpcap's message for an invalid caller's expression.
std::optional<std::string> CombineCaptureFilter(pcap_t* handle, const std::string& own,
                                                const std::string& user, bpf_u_int32 netmask,
                                                std::string& combined) {
    combined = own;
    if (user.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;
    bpf_program alone{};
    if (pcap_compile(handle, &alone, user.c_str(), 1, netmask) != 0) return pcap_geterr(handle);
    pcap_freecode(&alone);
    combined = "(" + own + ") and (" + user + ")";
    return std::nullopt;
}

struct Capture {
    pcap_t* handle = nullptr;
    LinkType link = LinkType::Ethernet;
    std::string device;
};

struct OpenFailure {
    CaptureError code = CaptureError::System;
    std::string message;
};

CaptureError ClassifyActivateError(int status) {
    if (status == PCAP_ERROR_PERM_DENIED) return CaptureError::PermissionDenied;
    if (status == PCAP_ERROR_IFACE_NOT_UP) return CaptureError::InterfaceDown;
    if (status == PCAP_ERROR && (errno == EPERM || errno == EACCES))
        return CaptureError::PermissionDenied;
    return CaptureError::System;
}

// `netmask` lets the filter's "ip broadcast" know the subnet's broadcast address;
// `bufferBytes` is the kernel ring of any device but lo.
bool OpenCapture(const std::string& device, const std::string& ownFilter, const std::string& userFilter,
                 bpf_u_int32 netmask, int bufferBytes,
                 Capture& capture, OpenFailure& failure) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(device.c_str(), errorText);
    if (handle == nullptr) {
        failure = {CaptureError::System, device + ": " + errorText};
        return false;
    }
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_promisc(handle, 0);
    pcap_set_timeout(handle, kBlockTimeoutMs);
    pcap_set_buffer_size(handle, device == kLoopbackInterface ? kLoopbackBufferBytes : bufferBytes);

    const int status = pcap_activate(handle);
    if (status < 0) {
        const std::string detail =
            status == PCAP_ERROR ? pcap_geterr(handle) : pcap_statustostr(status);
        failure = {ClassifyActivateError(status), device + ": " + detail};
        if (failure.code == CaptureError::PermissionDenied)
            failure.message = "no permission to capture on " + device + " (" + detail +
                              "); the program needs the CAP_NET_RAW capability";
        else if (failure.code == CaptureError::InterfaceDown)
            failure.message = "the network interface " + device + " is down";
        pcap_close(handle);
        return false;
    }

    const std::optional<LinkType> link = LinkTypeFromDlt(pcap_datalink(handle));
    bpf_program program{};
    bool ok = false;
    std::string filter;
    if (!link) {
        failure = {CaptureError::System, device + ": link type " +
                                             std::to_string(pcap_datalink(handle)) +
                                             " does not carry IPv4 in a known way"};
    } else if (auto invalid = CombineCaptureFilter(handle, ownFilter, userFilter, netmask, filter)) {
        failure = {CaptureError::InvalidFilter, *invalid};
    } else if (pcap_compile(handle, &program, filter.c_str(), 1, netmask) != 0) {
        failure = {CaptureError::System, device + ": " + pcap_geterr(handle)};
    } else {
        ok = pcap_setfilter(handle, &program) == 0;
        pcap_freecode(&program);
        if (!ok) failure = {CaptureError::System, device + ": " + pcap_geterr(handle)};
    }
    if (ok && pcap_setnonblock(handle, 1, errorText) != 0) {
        failure = {CaptureError::System, device + ": " + errorText};
        ok = false;
    }
    if (!ok) {
        pcap_close(handle);
        return false;
    }
    capture = {handle, *link, device};
    return true;
}

struct DispatchContext {
    LinkType link;
    std::vector<std::uint8_t>* batch;
    RingProducer* ring;  // when the datagrams go to a shared ring
};

void OnPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    const auto* context = reinterpret_cast<const DispatchContext*>(user);
    const auto datagram =
        StripLinkLayer(context->link, {bytes, header->caplen}, header->len);
    if (!datagram) return;
    const auto microseconds = static_cast<std::uint32_t>(header->ts.tv_usec);
    if (context->ring != nullptr) {
        // Room was made sure of for the whole dispatch; a failure is counted.
        context->ring->Append(FrameType::Datagram, header->ts.tv_sec, microseconds, datagram->wireLength,
                              datagram->bytes);
        return;
    }
    AppendFrame(*context->batch, FrameType::Datagram, header->ts.tv_sec, microseconds, datagram->wireLength,
                datagram->bytes);
}

StatsPayload CollectStats(const std::vector<Capture>& captures, const RingProducer* ring) {
    StatsPayload total{};
    if (ring != nullptr) total.droppedByKernel += ring->Dropped();
    for (const Capture& capture : captures) {
        pcap_stat stats{};
        if (pcap_stats(capture.handle, &stats) != 0) continue;
        total.received += stats.ps_recv;
        total.droppedByKernel += stats.ps_drop;
        total.droppedByInterface += stats.ps_ifdrop;
    }
    return total;
}

bool SendStats(Stream& stream, const std::vector<Capture>& captures, const RingProducer* ring, pid_t parent) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    std::vector<std::uint8_t> frame;
    AppendStatsFrame(frame, wall.tv_sec, static_cast<std::uint32_t>(wall.tv_nsec / 1000),
                     CollectStats(captures, ring));
    return stream.Write(frame, parent);
}

// What the capture is of, to judge a change of the network against.
struct Watched {
    in_addr_t address;
    std::string addressText;
    std::string interface;
};

// A failure when the address is no longer on its interface or the interface is down.
std::optional<OpenFailure> LostNetwork(const Watched& watched) {
    InterfaceInfo now;
    int error = 0;
    const LookupResult found = FindInterface(watched.address, now, error);
    if (found == LookupResult::Failed) return std::nullopt;  // cannot tell; the capture goes on
    if (found == LookupResult::NotFound || now.name != watched.interface)
        return OpenFailure{CaptureError::AddressRemoved,
                           "the address " + watched.addressText +
                               " was removed from the network interface " + watched.interface};
    if (!now.up)
        return OpenFailure{CaptureError::InterfaceDown,
                           "the network interface " + watched.interface + " went down"};
    return std::nullopt;
}

enum class LoopEnd { ReaderGone, Stopped, Failed };

LoopEnd RunCapture(Stream& stream, std::vector<Capture>& captures, RingProducer* ring, NetworkWatch& watch,
                   const Watched& watched, pid_t parent, OpenFailure& failure) {
    std::vector<pollfd> fds;
    // Descriptor 1 with no events asked: poll still reports POLLHUP/POLLERR when the reader closes.
    fds.push_back({stream.Fd(), 0, 0});
    for (const Capture& capture : captures)
        fds.push_back({pcap_get_selectable_fd(capture.handle), POLLIN, 0});
    const std::size_t watchIndex = fds.size();
    fds.push_back({watch.Fd(), POLLIN, 0});  // a negative descriptor is ignored by poll

    std::vector<std::uint8_t> batch;
    if (ring == nullptr) batch.reserve(kPacketsPerDispatch * (sizeof(FrameHeader) + kReceiveBufferSize));
    std::vector<std::uint8_t> published;
    AppendFrame(published, FrameType::Published, 0, 0, 0, {});
    timespec nextStats = After(Now(), kStatsIntervalNs);

    // As many datagrams as the ring surely has room for; no limit on the stream.
    auto roomFor = [&] {
        if (ring == nullptr) return kPacketsPerDispatch;
        return static_cast<int>(std::min<std::size_t>(kPacketsPerDispatch, ring->Room() / kLargestDatagramRecord));
    };

    // One dispatch of capture i; its frames go out in one write, or are
    // published in the ring at once.
    enum class Dispatch { Empty, Sent, Failed, WriteFailed, RingFull };
    auto dispatch = [&](std::size_t i) {
        const int room = roomFor();
        if (room == 0) return Dispatch::RingFull;  // 0 would ask libpcap for every packet it holds
        batch.clear();
        DispatchContext context{captures[i].link, &batch, ring};
        const int count = pcap_dispatch(captures[i].handle, room, OnPacket, reinterpret_cast<u_char*>(&context));
        if (count == PCAP_ERROR) {
            failure = {CaptureError::System,
                       captures[i].device + ": " + pcap_geterr(captures[i].handle)};
            return Dispatch::Failed;
        }
        if (ring != nullptr) {
            if (count > 0 && ring->Publish() && !stream.Write(published, parent)) return Dispatch::WriteFailed;
        } else if (!batch.empty() && !stream.Write(batch, parent)) {
            return Dispatch::WriteFailed;
        }
        return count > 0 ? Dispatch::Sent : Dispatch::Empty;
    };

    while (gStopSignal == 0) {
        if (getppid() != parent) return LoopEnd::Stopped;
        if (ring != nullptr && ring->Broken()) {
            failure = {CaptureError::System, ring->Failure()};
            return LoopEnd::Failed;
        }
        // A full ring: the datagrams wait in the kernel's ring until the reader makes room.
        const bool roomy = roomFor() > 0;
        for (std::size_t i = 0; i < captures.size(); ++i) fds[i + 1].events = roomy ? POLLIN : 0;
        const timespec timeout{0, roomy ? NanosUntil(nextStats) : std::min(kRingFullWaitNs, NanosUntil(nextStats))};
        const int ready = ppoll(fds.data(), fds.size(), &timeout, &gWaitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failure = {CaptureError::System, std::string("poll: ") + std::strerror(errno)};
            return LoopEnd::Failed;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return LoopEnd::ReaderGone;

        for (std::size_t i = 0; i < captures.size(); ++i) {
            if (fds[i + 1].revents == 0) continue;
            const Dispatch result = dispatch(i);
            if (result == Dispatch::Failed) return LoopEnd::Failed;
            if (result == Dispatch::WriteFailed)
                return gStopSignal != 0 ? LoopEnd::Stopped : LoopEnd::ReaderGone;
        }

        if (fds[watchIndex].revents != 0 && watch.Drain()) {
            if (auto lost = LostNetwork(watched)) {
                // What was captured before the change goes out before the news of it.
                for (std::size_t i = 0; i < captures.size(); ++i) {
                    Dispatch result = Dispatch::Sent;
                    while (result == Dispatch::Sent) result = dispatch(i);
                    if (result == Dispatch::WriteFailed)
                        return gStopSignal != 0 ? LoopEnd::Stopped : LoopEnd::ReaderGone;
                }
                failure = *lost;
                return LoopEnd::Failed;
            }
        }

        if (NanosUntil(nextStats) == 0) {
            if (!SendStats(stream, captures, ring, parent)) return LoopEnd::ReaderGone;
            nextStats = After(Now(), kStatsIntervalNs);
        }
    }
    return LoopEnd::Stopped;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all, before anything else runs with them: no stray descriptor, no
    // capability but CAP_NET_RAW (CAP_SYS_NICE serves one call, before any input is read).
    CloseInheritedDescriptors();
    RaisePriority();
    KeepOnlyNetRaw();
    SetUpSignals();
    // A capability-carrying file clears an inherited parent-death signal at exec,
    // so the helper sets its own.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return kExitOk;

    Stream stream(kStreamFd);
    // A shared ring on descriptor 0, when the reader gave one; else the stream carries the datagrams.
    std::unique_ptr<RingMapping> ringMemory;
    if (fcntl(STDIN_FILENO, F_GET_SEALS) >= 0) {
        std::string ringError;
        ringMemory = RingMapping::Attach(STDIN_FILENO, ringError);
        if (!ringMemory)
            std::fprintf(stderr, "wirelens-capture: datagrams go on the stream: %s\n", ringError.c_str());
    }
    if (argc != 2 && argc != 3) {
        std::fputs(kUsage, stderr);
        return Fail(stream, CaptureError::Usage,
                    argc < 2 ? "no address given" : "only the address and a filter are accepted");
    }
    const std::string userFilter = argc == 3 ? argv[2] : "";
    in_addr address{};
    if (inet_pton(AF_INET, argv[1], &address) != 1) {
        std::fputs(kUsage, stderr);
        return Fail(stream, CaptureError::Usage,
                    std::string("\"") + argv[1] + "\" is not a dotted IPv4 address");
    }
    if (!stream.CarriesFrames())
        return Fail(stream, CaptureError::Usage,
                    "standard output must be the stream to Wirelens (a pipe or socket), not a "
                    "terminal; Wirelens starts this program itself");
    char addressText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, addressText, sizeof addressText);
    if ((ntohl(address.s_addr) >> 24) == kLoopbackNetwork)
        return Fail(stream, CaptureError::Loopback,
                    std::string(addressText) +
                        " is a loopback address; its traffic is not captured");

    // Open before the interface is looked at, so no change after the look goes unseen.
    NetworkWatch watch;
    if (watch.Fd() < 0)
        return Fail(stream, CaptureError::System,
                    std::string("cannot watch the network for changes: ") + std::strerror(errno));

    InterfaceInfo interface;
    int lookupError = 0;
    switch (FindInterface(address.s_addr, interface, lookupError)) {
        case LookupResult::Failed:
            return Fail(stream, CaptureError::System,
                        std::string("cannot list the interfaces: ") + std::strerror(lookupError));
        case LookupResult::NotFound:
            return Fail(stream, CaptureError::NotLocal,
                        std::string(addressText) + " is not an address of this machine");
        case LookupResult::Found:
            break;
    }
    if (!interface.up)
        return Fail(stream, CaptureError::InterfaceDown,
                    "the network interface " + interface.name + " that holds " + addressText +
                        " is down");

    // The parent lets this process write its memory (where the system asks
    // for that) as soon as it is started; the records then go into the
    // parent's mapping, and none of the ring's pages are this process's.
    std::optional<RingProducer> ringWriter;
    if (ringMemory) {
        ringWriter.emplace(*ringMemory, parent, kCaptureRingBytes);
        if (ringWriter->Broken()) {
            std::fprintf(stderr, "wirelens-capture: datagrams go on the stream: %s\n",
                         ringWriter->Failure().c_str());
            ringWriter.reset();
        }
    }
    RingProducer* const ring = ringWriter ? &*ringWriter : nullptr;
    const int bufferBytes =
        ring != nullptr && ring->WritesRemotely() ? kKernelBufferBytesBesideRemoteRing : kKernelBufferBytes;

    std::vector<Capture> captures;
    OpenFailure failure;
    auto closeAll = [&captures] {
        for (Capture& capture : captures) pcap_close(capture.handle);
        captures.clear();
    };

    // The address's own datagrams, and the broadcasts and multicasts every host on the link sees.
    const std::string ownTraffic = std::string("ip and host ") + addressText;
    const std::string filter =
        "ip and (host " + std::string(addressText) + " or ip broadcast or ip multicast)";
    Capture capture;
    if (!OpenCapture(interface.name, filter, userFilter, interface.netmask, bufferBytes, capture, failure))
        return Fail(stream, failure.code, failure.message);
    captures.push_back(capture);
    std::string devices = interface.name;
    if (!interface.loopback) {
        // Traffic between this machine's own addresses travels over lo; libpcap
        // already drops lo's outgoing copy, so each datagram is seen once.
        Capture loopback;
        if (OpenCapture(kLoopbackInterface, ownTraffic, userFilter, PCAP_NETMASK_UNKNOWN, bufferBytes, loopback,
                        failure)) {
            captures.push_back(loopback);
            devices += std::string(" ") + kLoopbackInterface;
        } else if (failure.code != CaptureError::InterfaceDown) {
            closeAll();
            return Fail(stream, failure.code, failure.message);
        }
    }

    if (!DropAllCapabilities()) {
        closeAll();
        return Fail(stream, CaptureError::System, "cannot drop the capture privileges");
    }

    std::vector<std::uint8_t> ready;
    AppendReadyFrame(ready, devices);
    if (!stream.Write(ready, parent)) {
        closeAll();
        const int error = stream.LastErrno();
        std::fprintf(stderr, "wirelens-capture: cannot send the Ready frame: %s\n",
                     error != 0 ? std::strerror(error)
                     : gStopSignal != 0 ? "stopped by a signal"
                                        : "the parent process ended");
        return kExitFailure;
    }

    const Watched watched{address.s_addr, addressText, interface.name};
    const LoopEnd end = RunCapture(stream, captures, ring, watch, watched, parent, failure);
    int status = kExitOk;
    if (end == LoopEnd::Failed)
        status = Fail(stream, failure.code, failure.message);
    else if (end == LoopEnd::Stopped)
        SendStats(stream, captures, ring, parent);  // last drop counts, if anyone still reads
    closeAll();
    return status;
}
