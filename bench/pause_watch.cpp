// Tells the times this machine did not run at all from the times a program on
// it waited. One thread per CPU, pinned there at the highest real-time
// priority, asks to wake every PERIOD_MS; no ordinary task can keep it off its
// CPU, so a wake that comes late means that CPU ran nothing new: the virtual
// machine's CPU was not running (the host took it), or the kernel kept it
// with preemption off. The benches take the stretches in which every CPU was
// held at once out of the window's stalls: nothing the window does can be
// faster than a machine that does not run.
//
//   wirelens_pause_watch [PERIOD_MS] [LATE_MS]
//
// Prints "ready" once its threads run; on SIGINT or SIGTERM prints each late
// wake as "held CPU START END" (monotonic seconds: from when the wake was due,
// so a held stretch is at most as long as the real one) and a summary line
// per CPU, then exits. PERIOD_MS defaults to 10: each wake also gives its CPU
// a reschedule, which at a millisecond's period shortened the waits of every
// other thread for a CPU and so changed what the bench measures. LATE_MS
// (default 2) is how late a wake must be to count.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {


long long MonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::atomic<bool> gStop{false};
void OnSignal(int) { gStop.store(true); }

struct Held {
    long long startNs;
    long long endNs;
};

struct Watch {
    int cpu = 0;
    bool realTime = false;
    std::vector<Held> held;
    long long wakes = 0;
};

void Run(Watch& watch, long long periodNs, long long lateNs) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(watch.cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    watch.realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    watch.held.reserve(4096);

    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!gStop.load(std::memory_order_relaxed)) {
        next.tv_nsec += static_cast<long>(periodNs);
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        const long long due = static_cast<long long>(next.tv_sec) * 1'000'000'000 + next.tv_nsec;
        const long long now = MonotonicNs();
        ++watch.wakes;
        if (now - due >= lateNs) watch.held.push_back({due, now});
        // Wakes missed while held are not made up: the next is a period from now.
        if (now - due >= periodNs) {
            next.tv_sec = static_cast<time_t>(now / 1'000'000'000);
            next.tv_nsec = static_cast<long>(now % 1'000'000'000);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double periodMs = argc >= 2 ? std::atof(argv[1]) : 10.0;
    const double lateMs = argc >= 3 ? std::atof(argv[2]) : 2.0;
    if (periodMs <= 0 || periodMs >= 1000 || lateMs <= 0) {
        std::fprintf(stderr, "usage: %s [PERIOD_MS] [LATE_MS]\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    mlockall(MCL_CURRENT | MCL_FUTURE);  // a page fault would look like a held CPU

    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<Watch> watches(static_cast<std::size_t>(cpus > 0 ? cpus : 1));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < watches.size(); ++i) {
        watches[i].cpu = static_cast<int>(i);
        threads.emplace_back(Run, std::ref(watches[i]), static_cast<long long>(periodMs * 1e6),
                             static_cast<long long>(lateMs * 1e6));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::thread& t : threads) t.join();

    for (const Watch& w : watches) {
        long long longest = 0;
        long long total = 0;
        for (const Held& h : w.held) {
            std::printf("held %d %.6f %.6f\n", w.cpu, static_cast<double>(h.startNs) / 1e9,
                        static_cast<double>(h.endNs) / 1e9);
            longest = std::max(longest, h.endNs - h.startNs);
            total += h.endNs - h.startNs;
        }
        std::printf("cpu %d %s wakes %lld held %zu longest ms %.2f total ms %.1f\n", w.cpu,
                    w.realTime ? "SCHED_FIFO" : "not-real-time", w.wakes, w.held.size(),
                    static_cast<double>(longest) / 1e6, static_cast<double>(total) / 1e6);
    }
    return 0;
}
