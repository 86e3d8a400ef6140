// How long the disk under the datagram store takes for the writes a capture
// makes: 4 MiB direct appends to an unlinked file in the store's folder, paced
// at a capture's rate, with nothing else running. Prints each write over
// 50 ms with where it fell, the writing thread's kernel stack while one has
// taken over 150 ms, and the spread of all of them.
//
//   wirelens_disk_writes [GB, default 12] [MB/s, default 270]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/raw_datagram_store.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kWriteBytes = std::size_t{4} << 20;  // one chunk of the store

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string KernelStack(long tid) {
    std::ifstream stack("/proc/self/task/" + std::to_string(tid) + "/stack");
    std::stringstream text;
    text << stack.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    const double gigabytes = argc > 1 ? std::atof(argv[1]) : 12;
    const double megabytesPerSecond = argc > 2 ? std::atof(argv[2]) : 270;
    if (gigabytes <= 0 || megabytesPerSecond <= 0) {
        std::fprintf(stderr, "usage: %s [GB] [MB/s]\n", argv[0]);
        return 2;
    }
    // The folder a store's file goes to (the store makes it).
    const wirelens::RawDatagramStore store;
    const std::string folder = store.Folder();
    const int fd = folder.empty() ? -1 : open(folder.c_str(), O_TMPFILE | O_RDWR | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "no unlinked direct file in %s: %s\n", folder.empty() ? "any folder" : folder.c_str(),
                     folder.empty() ? store.StorageNote().c_str() : std::strerror(errno));
        return 1;
    }
    void* bytes = mmap(nullptr, kWriteBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (bytes == MAP_FAILED) return 1;
    std::memset(bytes, 0x5a, kWriteBytes);

    // A watcher prints what the writing thread waits in while a write is long.
    std::atomic<std::int64_t> writeStartedNs{0};
    const long writerTid = syscall(SYS_gettid);
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        std::int64_t shown = 0;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::int64_t started = writeStartedNs.load();
            if (started != 0 && started != shown && NowNs() - started > 150'000'000) {
                shown = started;
                std::printf("a write has taken 150 ms so far; the writer's kernel stack:\n%s",
                            KernelStack(writerTid).c_str());
                std::fflush(stdout);
            }
        }
    });

    const auto writes = static_cast<std::size_t>(gigabytes * 1e9 / kWriteBytes);
    std::printf("%zu writes of 4 MiB to %s at %.0f MB/s\n", writes, folder.c_str(), megabytesPerSecond);
    std::vector<double> tookMs;
    tookMs.reserve(writes);
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < writes; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                                  static_cast<double>(i * kWriteBytes) / (megabytesPerSecond * 1e6))));
        const Clock::time_point before = Clock::now();
        writeStartedNs = NowNs();
        const ssize_t n = pwrite(fd, bytes, kWriteBytes, static_cast<off_t>(i * kWriteBytes));
        writeStartedNs = 0;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
        if (n != static_cast<ssize_t>(kWriteBytes)) {
            std::perror("pwrite");
            break;
        }
        tookMs.push_back(ms);
        if (ms > 50)
            std::printf("write %zu, at %.2f GB, %.1f s in: %.1f ms\n", i, static_cast<double>(i * kWriteBytes) / 1e9,
                        std::chrono::duration<double>(before - start).count(), ms);
    }
    done = true;
    watcher.join();
    close(fd);
    if (tookMs.empty()) return 1;
    std::sort(tookMs.begin(), tookMs.end());
    std::printf("%zu writes: p50 %.2f ms, p99 %.2f ms, max %.1f ms\n", tookMs.size(), tookMs[tookMs.size() / 2],
                tookMs[tookMs.size() * 99 / 100], tookMs.back());
    return 0;
}
