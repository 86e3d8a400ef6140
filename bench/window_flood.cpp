// The whole window under a capture flood: FormMain shown (offscreen), capturing
// through its helper and listing every datagram, while a 5 ms timer measures
// how long the event loop goes without a turn. Run inside the namespace whose
// single address is captured; window_flood.sh drives it beside tcpdump.
//
//   wirelens_window_flood [--filter EXPR] [--sort COLUMN[:desc]] PORT [IDLE_SECONDS] [MAX_SECONDS]
//
// --filter applies a display filter and --sort orders the list by a column
// (0 protocol, 1 source, 2 source port, ...; ascending unless ":desc") before
// the capture starts, through the window's own routines: the filter field's
// and the header click's.
// Prints "ready" once capturing. Ends when packets have been coming and none
// has come for IDLE_SECONDS (so a stats frame taken after the flood has been
// read), or after MAX_SECONDS; then prints the counts and the stall figures.
#include <QApplication>
#include <QEventLoop>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <fstream>
#include <initializer_list>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "capture/async_select.h"
#include "capture/decode.h"
#include "capture/mdlwinsock.h"
#include "capture/shared_ring.h"
#include "packets/available_memory.h"
#include "packets/packet_list_model.h"
#include "packets/packet_sort.h"
#include "ui/form_main.h"

namespace {
using wirelens::FormMain;

// The stall timer's period unless TICK_MS says otherwise. A gap between ticks
// holds the idle time before a stall as well as the stall, up to one period:
// a finer tick tells the stall itself more closely.
constexpr int kDefaultTickMs = 5;
// Gaps from this long are listed for the bench to set beside the machine's pauses.
constexpr double kStallLineMs = 10;
constexpr int kMonitorMs = 100;
// A gap this long, without STUCK_MS, has the stall watch report the threads.
constexpr int kDefaultStuckMs = 100;
constexpr double kDefaultIdleSeconds = 2.0;
constexpr double kDefaultMaxSeconds = 120.0;
// Upper bounds (ms) of the stall histogram's bins; the last bin is open.
constexpr double kBinEdgesMs[] = {6, 10, 20, 50, 100, 200};

// A whole number above zero from environment variable `name`, else `fallback`.
int PositiveFromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

// Nanoseconds on CLOCK_MONOTONIC, the clock `perf record -k CLOCK_MONOTONIC` stamps samples with.
qint64 MonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<qint64>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The calling thread's time on a CPU and waiting in a run queue so far (ns),
// from the kernel's schedstat: it tells a gap the window spent working from one
// it spent ready but without a core.
class ThreadSchedTimes {
public:
    ThreadSchedTimes() : mFd(open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}
    ~ThreadSchedTimes() {
        if (mFd >= 0) close(mFd);
    }
    ThreadSchedTimes(const ThreadSchedTimes&) = delete;
    ThreadSchedTimes& operator=(const ThreadSchedTimes&) = delete;
    struct Times {
        qint64 runNs = 0;
        qint64 waitNs = 0;
    };
    std::optional<Times> Read() const {
        char text[96];
        const ssize_t n = mFd < 0 ? -1 : pread(mFd, text, sizeof text - 1, 0);
        if (n <= 0) return std::nullopt;
        text[n] = '\0';
        long long run = 0;
        long long wait = 0;
        if (std::sscanf(text, "%lld %lld", &run, &wait) != 2) return std::nullopt;
        return Times{run, wait};
    }

private:
    int mFd;
};

// Gaps between the ticks of a timer that asks for one every tick period, each
// split into the main thread's time running, waiting for a CPU, and asleep.
class StallMeter {
public:
    explicit StallMeter(qint64 startNs) : mStartNs(startNs) {}
    // `stored`: packets filed when the tick came, to tie a gap to the work before it.
    void Tick(qint64 nowNs, std::int32_t stored) {
        const std::optional<ThreadSchedTimes::Times> times = mSched.Read();
        const long faults = ThreadMinorFaults();
        if (mLastNs != 0) {
            Gap gap{static_cast<double>(nowNs - mLastNs) / 1e6, nowNs, stored};
            if (times && mLastTimes) {
                gap.runMs = static_cast<double>(times->runNs - mLastTimes->runNs) / 1e6;
                gap.waitMs = static_cast<double>(times->waitNs - mLastTimes->waitNs) / 1e6;
            }
            gap.faults = faults - mLastFaults;
            mGaps.push_back(gap);
        }
        mLastNs = nowNs;
        mLastTimes = times;
        mLastFaults = faults;
    }
    double LargestMs() const { return Largest().ms; }
    double LargestAtSeconds() const { return static_cast<double>(Largest().endNs - mStartNs) / 1e9; }
    // Largest gap since the last call, for the per-second progress line.
    double TakeRecentLargestMs() {
        double largest = 0;
        for (std::size_t i = mReported; i < mGaps.size(); ++i) largest = std::max(largest, mGaps[i].ms);
        mReported = mGaps.size();
        return largest;
    }

    void Print() const {
        std::vector<Gap> sorted = mGaps;
        std::sort(sorted.begin(), sorted.end(), [](const Gap& a, const Gap& b) { return a.ms > b.ms; });
        // Where the longest gaps fell: seconds since the capture started, and the
        // monotonic clock for matching them with a profile.
        for (std::size_t i = 0; i < std::min<std::size_t>(kLongestShown, sorted.size()); ++i) {
            const Gap& g = sorted[i];
            std::printf("long gap %.1f ms (ran %.1f, waited for a CPU %.1f, asleep %.1f; %ld page faults) ending at "
                        "%.3f s with %d packets stored (monotonic %.6f to %.6f)\n",
                        g.ms, g.runMs, g.waitMs, std::max(0.0, g.ms - g.runMs - g.waitMs), g.faults,
                        static_cast<double>(g.endNs - mStartNs) / 1e9, g.stored,
                        static_cast<double>(g.endNs) / 1e9 - g.ms / 1e3, static_cast<double>(g.endNs) / 1e9);
        }
        // Every gap of two ticks or more, for the bench to set beside the times
        // the machine itself was held (pause_watch).
        for (const Gap& g : mGaps) {
            if (g.ms < kStallLineMs) continue;
            std::printf("stall %.6f %.6f %.3f %.3f\n", static_cast<double>(g.endNs) / 1e9 - g.ms / 1e3,
                        static_cast<double>(g.endNs) / 1e9, g.runMs, g.waitMs);
        }
        std::reverse(sorted.begin(), sorted.end());
        auto at = [&](double q) {
            if (sorted.empty()) return 0.0;
            return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())))].ms;
        };
        std::printf("ticks %zu\n", sorted.size());
        std::printf("tick gap ms p50 %.2f p90 %.2f p99 %.2f p99.9 %.2f max %.2f\n", at(0.5), at(0.9), at(0.99),
                    at(0.999), LargestMs());
        double lower = 0;
        auto printBin = [&](double upper) {
            const auto n = std::count_if(sorted.begin(), sorted.end(), [&](const Gap& g) { return g.ms >= lower && g.ms < upper; });
            std::printf("tick gap %6.0f-%-6.0f ms %ld\n", lower, upper, static_cast<long>(n));
            lower = upper;
        };
        for (double upper : kBinEdgesMs) printBin(upper);
        printBin(std::numeric_limits<double>::infinity());
        // The same gaps counting only the thread's own running: the window's
        // longest turns, whatever kept it from a CPU.
        std::vector<double> ran;
        ran.reserve(sorted.size());
        for (const Gap& g : sorted) ran.push_back(g.runMs);
        std::sort(ran.begin(), ran.end());
        auto ranAt = [&](double q) {
            if (ran.empty()) return 0.0;
            return ran[std::min(ran.size() - 1, static_cast<std::size_t>(q * static_cast<double>(ran.size())))];
        };
        double waited = 0;
        for (const Gap& g : sorted) waited = std::max(waited, g.waitMs);
        std::printf("ran ms p50 %.2f p99 %.2f p99.9 %.2f max %.2f; longest wait for a CPU %.2f ms\n", ranAt(0.5),
                    ranAt(0.99), ranAt(0.999), ran.empty() ? 0.0 : ran.back(), waited);
    }

private:
    struct Gap {
        double ms;
        qint64 endNs;
        std::int32_t stored;
        double runMs = 0;
        double waitMs = 0;
        long faults = 0;  // the main thread's minor faults: a huge page's takes milliseconds to clear
    };
    static long ThreadMinorFaults() {
        rusage usage{};
        return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_minflt : 0;
    }
    static constexpr std::size_t kLongestShown = 5;
    Gap Largest() const {
        Gap largest{0, mStartNs, 0};
        for (const Gap& g : mGaps) if (g.ms > largest.ms) largest = g;
        return largest;
    }
    qint64 mStartNs;
    std::vector<Gap> mGaps;
    std::size_t mReported = 0;
    qint64 mLastNs = 0;
    ThreadSchedTimes mSched;
    std::optional<ThreadSchedTimes::Times> mLastTimes;
    long mLastFaults = 0;
};

// Where field `field` (numbered as in proc(5): 3 is the state) of a stat
// line starts, counted after the name in parentheses, which may hold spaces;
// nothing when the line is shorter.
const char* StatFieldAt(const char* stat, int field) {
    const char* at = std::strrchr(stat, ')');
    for (int f = 2; at != nullptr && f < field; ++f) at = std::strchr(at + 1, ' ');
    return at != nullptr && at[1] != '\0' ? at + 1 : nullptr;
}

// A numeric field of a stat line; -1 when the line is shorter.
long StatField(const char* stat, int field) {
    const char* at = StatFieldAt(stat, field);
    return at != nullptr ? std::strtol(at, nullptr, 10) : -1;
}

// Watches the main thread from a thread of its own: when no tick has come
// for a while (100 ms, or STUCK_MS), prints what the kernel says the main thread is doing (its
// state, the routine it waits in, its kernel stack; the stack needs root),
// and the state and stack of every other thread of the process, once a
// stall. A stall the thread spends asleep is a wait for something: a lock,
// the disk, a page; another thread's stack may show who holds it.
//
// The watch allocates nothing once it runs (files are read into buffers of
// its own, the threads listed with getdents64): malloc growing its heap needs
// the process's memory map, and a stall in which something holds that map
// would otherwise stop the watch too, and show only what came after it.
class StuckWatch {
public:
    // `stuckMs` is how long without a tick makes a stall worth a report; it
    // looks five times as often, at most every 20 ms, so that a stall is
    // caught while it lasts.
    explicit StuckWatch(qint64 stuckMs)
        : mStuckMs(stuckMs),
          mMainTid(static_cast<pid_t>(syscall(SYS_gettid))),
          mThread([this] { Run(); }) {}
    ~StuckWatch() {
        mStop.store(true);
        mThread.join();
    }
    StuckWatch(const StuckWatch&) = delete;
    StuckWatch& operator=(const StuckWatch&) = delete;
    void Tick(qint64 nowNs) { mLastTickNs.store(nowNs, std::memory_order_relaxed); }
    // The ticks have stopped on purpose: no report until the next one.
    void TicksStopped() { mLastTickNs.store(0, std::memory_order_relaxed); }
    // Whether the store's writer is full at this tick: one full for over
    // `stuckMs` has every thread's stack printed, the writer's among them.
    void WriterFull(qint64 nowNs, bool full) {
        if (!full) mWriterFullSinceNs.store(0, std::memory_order_relaxed);
        else if (mWriterFullSinceNs.load(std::memory_order_relaxed) == 0)
            mWriterFullSinceNs.store(nowNs, std::memory_order_relaxed);
    }

private:
    static constexpr std::size_t kTextBytes = 4096;
    using Text = char[kTextBytes];

    // /proc/self/task/TID/FILE's text, cut at kTextBytes - 1, newlines as
    // '|'; empty when it cannot be read.
    static const char* Read(long tid, const char* file, Text& text) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%ld/%s", tid, file);
        text[0] = '\0';
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return text;
        std::size_t used = 0;
        for (ssize_t n; used < kTextBytes - 1 && (n = read(fd, text + used, kTextBytes - 1 - used)) > 0;)
            used += static_cast<std::size_t>(n);
        close(fd);
        text[used] = '\0';
        for (char* c = text; *c != '\0'; ++c)
            if (*c == '\n') *c = '|';
        return text;
    }

    // The state letter in a stat line.
    static char StateOf(const char* stat) {
        const char* at = StatFieldAt(stat, 3);
        return at != nullptr ? *at : '?';
    }

    void PrintOtherThreads() {
        static char entries[16384];
        const int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return;
        for (long n; (n = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0;) {
            for (long at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                at += entry->d_reclen;
                const long tid = std::strtol(entry->d_name, nullptr, 10);
                if (tid <= 0 || tid == mMainTid || tid == static_cast<long>(syscall(SYS_gettid))) continue;
                Read(tid, "stat", mStat);
                const char* name = std::strchr(mStat, '(');
                const char* nameEnd = std::strrchr(mStat, ')');
                const int nameLength = name != nullptr && nameEnd > name ? static_cast<int>(nameEnd - name - 1) : 0;
                std::fprintf(stderr, "  thread %ld (%.*s): state %c, %ld major faults so far, stack %s\n", tid,
                             nameLength, name != nullptr ? name + 1 : "", StateOf(mStat), StatField(mStat, 12),
                             Read(tid, "stack", mStack));
            }
        }
        close(dir);
    }

    void Run() {
        // The buffers' pages are faulted in now, not in a stall.
        for (char* text : {mStat, mStack, mWchan}) std::memset(text, 0, kTextBytes);
        qint64 reportedTick = -1;
        qint64 reportedFull = -1;
        const auto look = std::chrono::milliseconds(std::clamp<qint64>(mStuckMs / 5, 1, 20));
        while (!mStop.load()) {
            std::this_thread::sleep_for(look);
            const qint64 fullSince = mWriterFullSinceNs.load(std::memory_order_relaxed);
            if (fullSince != 0 && fullSince != reportedFull && MonotonicNs() - fullSince >= mStuckMs * 1'000'000) {
                reportedFull = fullSince;
                std::fprintf(stderr, "store's writer full at monotonic %.3f, for %.0f ms so far; the threads:\n",
                             static_cast<double>(MonotonicNs()) / 1e9,
                             static_cast<double>(MonotonicNs() - fullSince) / 1e6);
                PrintOtherThreads();
            }
            const qint64 last = mLastTickNs.load(std::memory_order_relaxed);
            if (last == 0 || last == reportedTick || MonotonicNs() - last < mStuckMs * 1'000'000) continue;
            reportedTick = last;
            const char state = StateOf(Read(mMainTid, "stat", mStat));
            const long majorFaults = StatField(mStat, 12);
            std::fprintf(stderr,
                         "stuck main thread at monotonic %.3f, %.0f ms after a tick: state %c, %ld major faults so far, "
                         "wchan %s, stack %s\n",
                         static_cast<double>(MonotonicNs()) / 1e9, static_cast<double>(MonotonicNs() - last) / 1e6,
                         state, majorFaults, Read(mMainTid, "wchan", mWchan), Read(mMainTid, "stack", mStack));
            PrintOtherThreads();
        }
    }

    static inline Text mStat{}, mStack{}, mWchan{};
    const qint64 mStuckMs;
    const pid_t mMainTid;
    std::atomic<qint64> mLastTickNs{0};
    std::atomic<qint64> mWriterFullSinceNs{0};
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// Counts the paints of the widgets it watches, to show the list really redraws.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++mPaints;
        return QObject::eventFilter(watched, event);
    }
    long Paints() const { return mPaints; }

private:
    long mPaints = 0;
};

// Major page faults so far (pages read from the disk: code or data the
// kernel had dropped) of the main thread and of the whole process.
struct MajorFaults {
    long mainThread = -1;
    long process = -1;
};
MajorFaults MajorFaultsNow() {
    auto read = [](const std::string& path) {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
        return StatField(line.c_str(), 12);
    };
    return {read("/proc/thread-self/stat"), read("/proc/self/stat")};
}

// Lines of /proc/self/maps: the process's mappings.
int CountMappings() {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);) ++n;
    return n;
}

// This process's resident kilobytes but for shared memory (the capture's
// ring, which the helper maps too), from /proc/self/status.
long ResidentOwnKb() {
    std::ifstream status("/proc/self/status");
    long rss = 0;
    long shared = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
        if (line.rfind("RssShmem:", 0) == 0) shared = std::stol(line.substr(9));
    }
    return rss - shared;
}

bool IsFloodDatagram(const wirelens::clV& record, std::uint16_t port) {
    return record.Protocol() == wirelens::kProtocolUdp && record.HasPorts() && record.DestPort() == port;
}

// The sequence number a flood datagram carries in its first 8 payload bytes
// (the sender's own byte order); nothing when the stored bytes are too short.
std::optional<std::uint64_t> FloodSequence(std::span<const std::uint8_t> datagram) {
    if (datagram.empty()) return std::nullopt;
    const std::size_t payload = static_cast<std::size_t>(datagram[0] & 0x0f) * 4 + 8;  // IPv4 header, UDP header
    std::uint64_t sequence = 0;
    if (datagram.size() < payload + sizeof sequence) return std::nullopt;
    std::memcpy(&sequence, datagram.data() + payload, sizeof sequence);
    return sequence;
}

// Which flood datagrams are missing from the store, and where: each sender
// (a source port) numbers its datagrams from 0, so the gaps in its numbers
// are datagrams lost on the way, and the stored packet after a gap tells
// when. Prints the counts and the first gaps, and, beside what the helper
// published in the shared ring and the pump took, the ring bytes the stored
// packets account for: a frame lost after the helper shows there. One pass
// reads every stored datagram back.
void ReportWhatWasStored(const FormMain& window, std::uint16_t port, std::uint64_t ringPublished,
                         std::uint64_t ringTaken) {
    struct Seen {
        std::uint16_t sender;
        std::uint64_t sequence;
        std::int32_t key;
    };
    std::vector<Seen> seen;
    std::uint64_t unreadable = 0;
    std::uint64_t storedRingBytes = 0;
    for (std::int32_t key = 1; key <= window.Packets().Count(); ++key) {
        const wirelens::clV* record = window.Packets().Get(key);
        if (record == nullptr) continue;
        const std::span<const std::uint8_t> bytes = window.Session().Bytes(*record);
        storedRingBytes += wirelens::RingRecordBytes(bytes.size());
        if (!IsFloodDatagram(*record, port)) continue;
        const auto sequence = FloodSequence(bytes);
        if (!sequence) {
            ++unreadable;
            continue;
        }
        seen.push_back({record->SrcPort(), *sequence, key});
    }
    std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) {
        return a.sender != b.sender ? a.sender < b.sender : a.sequence < b.sequence;
    });
    constexpr int kGapsShown = 8;
    std::uint64_t missing = 0;
    std::uint64_t repeated = 0;
    std::uint64_t gaps = 0;
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const bool first = i == 0 || seen[i].sender != seen[i - 1].sender;
        const std::uint64_t expected = first ? 0 : seen[i - 1].sequence + 1;
        if (!first && seen[i].sequence < expected) {
            ++repeated;
            continue;
        }
        if (seen[i].sequence == expected) continue;
        const std::uint64_t lost = seen[i].sequence - expected;
        missing += lost;
        ++gaps;
        if (static_cast<int>(shown.size()) < kGapsShown)
            shown.push_back("port " + std::to_string(seen[i].sender) + " numbers " + std::to_string(expected) + "-" +
                            std::to_string(seen[i].sequence - 1) + " (" + std::to_string(lost) +
                            "), before stored packet " + std::to_string(seen[i].key));
    }
    std::printf("sequence missing %llu\nsequence gaps %llu\nsequence repeated %llu\nsequence unreadable %llu\n",
                static_cast<unsigned long long>(missing), static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(repeated), static_cast<unsigned long long>(unreadable));
    for (const std::string& gap : shown) std::printf("sequence gap %s\n", gap.c_str());
    std::printf("ring bytes published %llu\nring bytes taken %llu\nring bytes stored %llu\n",
                static_cast<unsigned long long>(ringPublished), static_cast<unsigned long long>(ringTaken),
                static_cast<unsigned long long>(storedRingBytes));
}

// A UDP socket on the flood port, so the flood is not answered with ICMP errors.
int BindSink(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sink < 0 || bind(sink, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return -1;
    }
    return sink;
}

struct ListOptions {
    QString filter;       // empty: none
    int sortColumn = -1;  // -1: capture order
    bool descending = false;
};

// Takes --filter and --sort off the front of the arguments; false on a bad one.
bool TakeListOptions(std::vector<char*>& args, ListOptions& options) {
    while (args.size() >= 2 && args[0][0] == '-' && args[0][1] == '-') {
        const std::string name = args[0];
        const std::string value = args[1];
        if (name == "--filter") {
            options.filter = QString::fromStdString(value);
        } else if (name == "--sort") {
            const std::size_t colon = value.find(':');
            const std::string order = colon == std::string::npos ? "asc" : value.substr(colon + 1);
            options.sortColumn = std::atoi(value.substr(0, colon).c_str());
            if (order != "asc" && order != "desc") return false;
            options.descending = order == "desc";
        } else {
            return false;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    wirelens::KeepLargeBlocksMapped();  // as the program does
    std::vector<char*> args(argv + 1, argv + argc);
    ListOptions list;
    if (!TakeListOptions(args, list) || args.empty() || args.size() > 3) {
        std::fprintf(stderr, "usage: %s [--filter EXPR] [--sort COLUMN[:desc]] PORT [IDLE_SECONDS] [MAX_SECONDS]\n",
                     argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(args[0]));
    const double idleSeconds = args.size() >= 2 ? std::atof(args[1]) : kDefaultIdleSeconds;
    const double maxSeconds = args.size() >= 3 ? std::atof(args[2]) : kDefaultMaxSeconds;

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // This build's, measured as built, or a copy of it given its capabilities (FLOOD_HELPER).
    const char* helper = std::getenv("FLOOD_HELPER");
    wirelens::SetCaptureHelperPath(helper != nullptr && *helper != '\0' ? helper : WIRELENS_CAPTURE_HELPER);
    QApplication app(argc, argv);
    const int sink = BindSink(port);
    if (sink < 0) return 1;

    QTemporaryDir lockDir;
    FormMain::Environment env = FormMain::Environment::Default();
    int messages = 0;
    env.showMessage = [&messages](const QString& text, QMessageBox::Icon) {
        ++messages;
        std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    };
    env.lockFilePath = lockDir.path() + QStringLiteral("/window_flood.lock");
    // Closing with unsaved packets would ask; the run's packets are thrown away.
    env.askUnsaved = [](QWidget*, const QString&) { return wirelens::UnsavedChoice::Discard; };
    FormMain window(env);
    if (!window.Form_Load()) {
        std::fprintf(stderr, "Form_Load refused to start\n");
        return 1;
    }
    if (window.dicAddr.Count() != 1) {
        std::fprintf(stderr, "expected one local address in this namespace, found %zu\n",
                     window.dicAddr.Count());
        return 1;
    }
    PaintCounter listPaints;
    window.lv->viewport()->installEventFilter(&listPaints);
    window.lv->verticalScrollBar()->installEventFilter(&listPaints);
    window.show();
    QApplication::processEvents();
    if (!list.filter.isEmpty() && !window.ApplyDisplayFilter(list.filter)) {
        std::fprintf(stderr, "invalid display filter: %s\n", window.FilterError().toLocal8Bit().constData());
        return 2;
    }
    if (list.sortColumn >= 0) {
        // As the header is clicked: once ascending, twice descending.
        for (int click = 0; click < (list.descending ? 2 : 1); ++click) window.lv_ColumnClick(list.sortColumn);
        if (!window.Model()->CurrentRowOrder().has_value()) {
            std::fprintf(stderr, "column %d does not sort\n", list.sortColumn);
            return 2;
        }
    }
    window.StartCapture();
    if (!window.IsCapturing()) {
        std::fprintf(stderr, "the capture did not start\n");
        return 1;
    }
    const long residentAtStartKb = ResidentOwnKb();
    const MajorFaults faultsAtStart = MajorFaultsNow();
    std::printf("ready\ncapturing on %s\n", window.LocalIP.c_str());
    std::printf("display filter %s\nsorted by %s\n",
                list.filter.isEmpty() ? "none" : list.filter.toLocal8Bit().constData(),
                list.sortColumn < 0 ? "capture order"
                                    : (window.Model()->headerData(list.sortColumn, Qt::Horizontal).toString() +
                                       (list.descending ? QStringLiteral(", descending") : QStringLiteral(", ascending")))
                                          .toLocal8Bit()
                                          .constData());
    std::fflush(stdout);

    const qint64 startNs = MonotonicNs();
    StallMeter stalls(startNs);
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    const int tickMs = PositiveFromEnvironment("TICK_MS", kDefaultTickMs);
    ticker.setInterval(tickMs);
    std::printf("tick ms %d\n", tickMs);
    StuckWatch stuck(PositiveFromEnvironment("STUCK_MS", kDefaultStuckMs));
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = MonotonicNs();
        stalls.Tick(now, window.Packets().Count());
        stuck.Tick(now);
        stuck.WriterFull(now, window.Session().StoreWriterFull());
    });
    ticker.start();

    // Counts flood datagrams as they are filed, and decides when the run is over.
    std::int32_t scanned = 0;
    std::uint64_t flood = 0;
    qint64 firstPacketNs = 0;
    qint64 lastPacketNs = 0;
    std::int32_t lastCount = 0;
    qint64 nextReportNs = 1'000'000'000;
    // A loop of its own: QApplication::quit would close the window, and the capture with it.
    QEventLoop run;
    QTimer monitor;
    monitor.setInterval(kMonitorMs);
    QObject::connect(&monitor, &QTimer::timeout, [&] {
        const qint64 now = MonotonicNs() - startNs;
        const std::int32_t count = window.Packets().Count();
        for (; scanned < count; ++scanned) {
            const wirelens::clV* record = window.Packets().Get(scanned + 1);
            if (record != nullptr && IsFloodDatagram(*record, port)) ++flood;
        }
        if (count > 0 && firstPacketNs == 0) firstPacketNs = now;
        if (count != lastCount) {
            lastPacketNs = now;
            lastCount = count;
        }
        if (now >= nextReportNs) {
            std::fprintf(stderr, "t %5.1f s  stored %8d  rows %8d  flood %8llu  drops %6llu  largest gap %6.1f ms\n",
                         static_cast<double>(now) / 1e9, count, window.Model()->rowCount(),
                         static_cast<unsigned long long>(flood),
                         static_cast<unsigned long long>(window.KernelDrops()), stalls.TakeRecentLargestMs());
            nextReportNs += 1'000'000'000;
        }
        const bool idle = count > 0 && static_cast<double>(now - lastPacketNs) / 1e9 >= idleSeconds;
        if (idle || !window.IsCapturing() || static_cast<double>(now) / 1e9 >= maxSeconds) run.quit();
    });
    monitor.start();
    run.exec();
    ticker.stop();
    stuck.TicksStopped();
    monitor.stop();

    const bool stillCapturing = window.IsCapturing();
    const std::size_t pumpPeakBytes = window.CapturePumpPeakBytes();
    const std::size_t ringPeakBytes = window.CaptureRingPeakBytes();
    const std::uint64_t ringPublished = window.CaptureRingBytesPublished();
    const std::uint64_t ringTaken = window.CaptureRingBytesTaken();
    window.FlushPendingRows();
    flood = 0;
    for (std::int32_t key = 1; key <= window.Packets().Count(); ++key) {
        const wirelens::clV* record = window.Packets().Get(key);
        if (record != nullptr && IsFloodDatagram(*record, port)) ++flood;
    }
    // What the list shows of the flood, and whether its rows kept the chosen order.
    const wirelens::PacketListModel& model = *window.Model();
    std::uint64_t floodRows = 0;
    std::uint64_t outOfOrder = 0;
    const std::optional<wirelens::RowOrder> order = model.CurrentRowOrder();
    std::uint32_t previous = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        const std::int32_t key = model.KeyAt(row);
        const wirelens::clV* record = window.Packets().Get(key);
        if (record != nullptr && IsFloodDatagram(*record, port)) ++floodRows;
        const std::uint32_t entry = wirelens::PacketListModel::RowEntry(key, model.OutgoingAt(row));
        if (order && row > 0 && wirelens::RowBefore(entry, previous, *order, window.Packets())) ++outOfOrder;
        previous = entry;
    }
    std::printf("flood datagrams %llu\nstored packets %d\nrows %d\nflood rows %llu\nunordered rows %llu\n"
                "kernel drops %llu\nkernel received %llu\n",
                static_cast<unsigned long long>(flood), window.Packets().Count(), model.rowCount(),
                static_cast<unsigned long long>(floodRows), static_cast<unsigned long long>(outOfOrder),
                static_cast<unsigned long long>(window.KernelDrops()),
                static_cast<unsigned long long>(window.KernelReceived()));
    // Packets are first and last seen by the 100 ms monitor, so those times are that coarse.
    std::printf("largest stall ms %.1f\nlargest stall at s %.2f\nfirst packet seen at s %.1f\nlast packet seen at s %.1f\n",
                stalls.LargestMs(), stalls.LargestAtSeconds(),
                static_cast<double>(firstPacketNs) / 1e9, static_cast<double>(lastPacketNs) / 1e9);
    std::printf("capturing at the end %s\nmessages %d\nlist paints %ld\n", stillCapturing ? "yes" : "no", messages,
                listPaints.Paints());
    std::printf("pump peak MiB %.0f\nshared ring MiB %zu\nring peak MiB %.1f\n",
                static_cast<double>(pumpPeakBytes) / (1 << 20), wirelens::CaptureRingBytes() >> 20,
                static_cast<double>(ringPeakBytes) / (1 << 20));
    const FormMain::WriterWaits& writerWaits = window.CaptureWriterWaits();
    std::printf("writer full stretches %llu\nwriter full longest ms %.1f\nwriter full total ms %.1f\n",
                static_cast<unsigned long long>(writerWaits.stretches), writerWaits.longestMs, writerWaits.totalMs);
    std::printf("writer most waiting %zu\nwriter room %zu\n", window.Session().Raw().MostWaited(),
                window.Session().Raw().WaitingRoom());
    std::printf("memory mappings %d\n", CountMappings());
    std::printf("resident kB at start %ld\nresident kB at end %ld\n", residentAtStartKb, ResidentOwnKb());
    const MajorFaults faultsAtEnd = MajorFaultsNow();
    std::printf("major faults main thread %ld\nmajor faults process %ld\n",
                faultsAtEnd.mainThread - faultsAtStart.mainThread, faultsAtEnd.process - faultsAtStart.process);
    // These read every stored datagram back, which maps their pages: after
    // the window's resident memory and page faults are taken.
    ReportWhatWasStored(window, port, ringPublished, ringTaken);
    stalls.Print();
    std::fflush(stdout);
    // Closing stops the capture: the helper ends, the rest of its datagrams are filed.
    const qint64 closingNs = MonotonicNs();
    window.close();
    std::printf("closing ms %.1f\n", static_cast<double>(MonotonicNs() - closingNs) / 1e6);
    std::fflush(stdout);
    close(sink);
    // A capture that ended by itself leaves the counts short: not a valid run.
    return stillCapturing ? 0 : 1;
}
