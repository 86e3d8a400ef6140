// The packet pipeline under load: decode, keep the bytes, file the record and
// queue its list row, as a capture does for each datagram; memory per packet;
// and the list with millions of rows.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTableView>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

#include "files/capture_file_writer.h"
#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "tests/store_files.h"
#include "bench/bench_window.h"
#include "ui/form_main.h"

namespace {

using wirelens::FormMain;

std::unique_ptr<FormMain> MakeWindow(const QTemporaryDir& lockDir) { return wirelens::bench::MakeBenchWindow(lockDir); }

std::vector<std::uint8_t> UdpDatagram(std::size_t bytes) {
    wirelens::testing::DatagramFields s;
    s.protocol = 17;
    s.src = "198.51.100.2";
    s.dst = "198.51.100.1";
    s.payload = wirelens::testing::Bytes(bytes - 28);
    return wirelens::testing::BuildDatagram(s);
}

std::vector<std::uint8_t> Datagram100() { return UdpDatagram(100); }

std::int64_t ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// A capture's per-datagram work, with the event loop's once-per-turn row
// insertion every 1024 datagrams as a busy capture would see it.
void IngestDatagrams(benchmark::State& state, std::size_t bytes) {
    QTemporaryDir lockDir;
    auto window = MakeWindow(lockDir);
    const auto datagram = UdpDatagram(bytes);
    std::int64_t n = 0;
    for (auto _ : state) {
        window->IngestDatagram(datagram, 1700000000 + (n >> 16), static_cast<std::uint32_t>(n & 0xFFFF));
        if ((++n & 1023) == 0) window->FlushPendingRows();
        if (n % 2000000 == 0) {
            state.PauseTiming();
            window->ClearPackets();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
void BM_IngestDatagram(benchmark::State& state) { IngestDatagrams(state, 100); }
BENCHMARK(BM_IngestDatagram)->MinTime(2.0);
// The flood bench's 1000-byte payloads: the copy into the store dominates.
void BM_IngestDatagram1028(benchmark::State& state) { IngestDatagrams(state, 1028); }
BENCHMARK(BM_IngestDatagram1028)->MinTime(2.0);

// Resident memory growth over 1,000,000 packets of 100 bytes, set against the
// datagram bytes themselves.
void BM_MemoryPerPacket(benchmark::State& state) {
    const auto datagram = Datagram100();
    constexpr int kPackets = 1000000;
    for (auto _ : state) {
        QTemporaryDir lockDir;
        auto window = MakeWindow(lockDir);
        window->FlushPendingRows();
        const long before = ResidentBytes();
        for (int i = 0; i < kPackets; ++i) {
            window->IngestDatagram(datagram, 1700000000 + i / 50000, static_cast<std::uint32_t>(i % 1000000));
            if ((i & 1023) == 1023) window->FlushPendingRows();
        }
        window->FlushPendingRows();
        const long after = ResidentBytes();
        const double overhead = static_cast<double>(after - before) / kPackets - static_cast<double>(datagram.size());
        state.counters["rss_growth_MiB"] = static_cast<double>(after - before) / (1 << 20);
        state.counters["bytes_per_packet_resident"] = static_cast<double>(after - before) / kPackets;
        // With the bytes on file they are not resident, and "beyond the data" means nothing.
        if (!window->Session().Raw().FileBacked()) state.counters["bytes_per_packet_beyond_data"] = overhead;
        state.counters["rows"] = static_cast<double>(window->Model()->rowCount());
    }
}
BENCHMARK(BM_MemoryPerPacket)->Iterations(1)->Unit(benchmark::kMillisecond);

// A field of /proc/self/smaps_rollup in bytes ("Rss", "Anonymous", ...).
long RollupBytes(const char* field) {
    std::ifstream rollup("/proc/self/smaps_rollup");
    const std::string wanted = std::string(field) + ":";
    for (std::string name; rollup >> name;) {
        long kb = 0;
        if (name == wanted && rollup >> kb) return kb * 1024;
        rollup.ignore(1 << 10, '\n');
    }
    return -1;
}

// Resident growth over 10,000,000 packets of 1000-byte datagrams, their bytes
// in the store's temporary file (~10 GB; unlinked, it goes when the window
// does) and its index in a second one: what a packet costs in memory is its
// record and its row. Then a click on rows spread over the whole capture, the
// bytes read back cold (the store's files synced and their pages dropped from
// the page cache) and warm.
void BM_FileStoreResidentPerPacket(benchmark::State& state) {
    wirelens::testing::DatagramFields s;
    s.protocol = 17;
    s.src = "198.51.100.2";
    s.dst = "198.51.100.1";
    s.payload = wirelens::testing::Bytes(1000 - 28);
    const auto datagram = wirelens::testing::BuildDatagram(s);
    constexpr int kPackets = 10000000;
    constexpr int kClicks = 200;
    for (auto _ : state) {
        QTemporaryDir lockDir;
        auto window = MakeWindow(lockDir);
        if (!window->Session().Raw().FileBacked()) {
            state.SkipWithError(window->Session().Raw().StorageNote().c_str());
            return;
        }
        window->FlushPendingRows();
        const long before = ResidentBytes();
        const long anonBefore = RollupBytes("Anonymous"), fileBefore = RollupBytes("Rss") - RollupBytes("Anonymous");
        qint64 longestIngestNs = 0;
        std::int64_t over5ms = 0;
        QElapsedTimer all, step;
        all.start();
        for (int i = 0; i < kPackets; ++i) {
            step.start();
            window->IngestDatagram(datagram, 1700000000 + i / 100000, static_cast<std::uint32_t>(i % 1000000));
            const qint64 ns = step.nsecsElapsed();
            longestIngestNs = std::max(longestIngestNs, ns);
            over5ms += ns > 5000000;
            if ((i & 1023) == 1023) window->FlushPendingRows();
        }
        window->FlushPendingRows();
        state.counters["ingest_s"] = all.nsecsElapsed() / 1e9;
        const long after = ResidentBytes();
        const auto& session = window->Session();
        state.counters["rows"] = window->Model()->rowCount();
        state.counters["file_GB"] = static_cast<double>(session.Raw().FileBytes()) / 1e9;
        state.counters["bytes_per_packet_resident"] = static_cast<double>(after - before) / kPackets;
        // Where it goes: anonymous memory against mapped file pages, and the stores' own accounts.
        state.counters["anon_per_packet"] = static_cast<double>(RollupBytes("Anonymous") - anonBefore) / kPackets;
        state.counters["file_pages_per_packet"] =
            static_cast<double>(RollupBytes("Rss") - RollupBytes("Anonymous") - fileBefore) / kPackets;
        state.counters["records_per_packet"] = static_cast<double>(session.Packets().ReservedBytes()) / kPackets;
        state.counters["raw_store_per_packet"] = static_cast<double>(session.Raw().ReservedBytes()) / kPackets;
        // Ingest here outruns any disk, so up to a bound (the writes that may
        // wait their turn, 256 MiB for a store no capture has sized) of written
        // chunks are still in memory at its end; a capture at network rates
        // leaves a chunk or two. Measured
        // again once the file's writes are done.
        while (window->Session().StoreWritesPending() && window->Session().CheckStoreWrites())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state.counters["bytes_per_packet_resident_written"] = static_cast<double>(ResidentBytes() - before) / kPackets;
        // The heap: what is allocated, and what was freed but is kept (growth by copying leaves that).
        const struct mallinfo2 heap = mallinfo2();
        state.counters["heap_in_use_per_packet"] = static_cast<double>(heap.uordblks + heap.hblkhd) / kPackets;
        state.counters["heap_free_kept_per_packet"] = static_cast<double>(heap.fordblks) / kPackets;
        state.counters["longest_ingest_ms"] = longestIngestNs / 1e6;
        state.counters["ingests_over_5ms"] = static_cast<double>(over5ms);

        std::mt19937 random(7);
        std::vector<int> rows(kClicks), readRows(kClicks);
        for (int& row : rows) row = static_cast<int>(random() % kPackets);
        for (int& row : readRows) row = static_cast<int>(random() % kPackets);
        // The first click of all sets up the views: not counted in any later click.
        window->lv_ItemClick(kPackets - 1);
        const auto clickAll = [&](const char* name) {
            std::vector<double> ms;
            for (const int row : rows) {
                step.start();
                window->lv_ItemClick(row);
                ms.push_back(step.nsecsElapsed() / 1e6);
            }
            std::sort(ms.begin(), ms.end());
            state.counters[std::string(name) + "_click_median_ms"] = ms[ms.size() / 2];
            state.counters[std::string(name) + "_click_max_ms"] = ms.back();
        };
        bool dropped = wirelens::testing::DropDatagramFilePages(session.Raw().Folder());
        state.counters["cold_pages_dropped"] = dropped ? 1 : 0;
        // The bytes alone, read cold from other rows: the disk's share of a cold click.
        std::vector<double> readMs;
        unsigned sum = 0;
        for (const int row : readRows) {
            step.start();
            for (const std::uint8_t b : session.Bytes(*session.Packets().Get(row + 1))) sum += b;
            readMs.push_back(step.nsecsElapsed() / 1e6);
        }
        benchmark::DoNotOptimize(sum);
        std::sort(readMs.begin(), readMs.end());
        state.counters["cold_read_median_ms"] = readMs[readMs.size() / 2];
        state.counters["cold_read_max_ms"] = readMs.back();
        // A screenful read cold at places spread over the capture, as the list
        // with Info paints it after a jump of the scroll bar: 60 rows in order.
        std::vector<double> screenMs;
        for (int i = 0; i < 20; ++i) {
            const int top = static_cast<int>(random() % (kPackets - 60));
            step.start();
            for (int key = top + 1; key <= top + 60; ++key)
                for (const std::uint8_t b : session.Bytes(*session.Packets().Get(key))) sum += b;
            screenMs.push_back(step.nsecsElapsed() / 1e6);
        }
        benchmark::DoNotOptimize(sum);
        std::sort(screenMs.begin(), screenMs.end());
        state.counters["cold_screen_median_ms"] = screenMs[screenMs.size() / 2];
        state.counters["cold_screen_max_ms"] = screenMs.back();
        clickAll("cold");
        clickAll("warm");
        // A pass in order over a million packets read cold, as sorting by Info
        // or finding bytes reads them: what the read-ahead of such passes gives.
        dropped = dropped && wirelens::testing::DropDatagramFilePages(session.Raw().Folder());
        step.start();
        for (int key = 1; key <= 1000000; ++key)
            for (const std::uint8_t b : session.Bytes(*session.Packets().Get(key))) sum += b;
        benchmark::DoNotOptimize(sum);
        state.counters["cold_pass_1M_s"] = step.nsecsElapsed() / 1e9;
        state.counters["cold_pages_dropped"] = dropped ? 1 : 0;
        window.reset();
        // The same packets through a session without a window: what of the
        // growth is the stores' and what is the window's list.
        malloc_trim(0);
        const long sessionBefore = ResidentBytes();
        {
            wirelens::CaptureSession alone;
            for (int i = 0; i < kPackets; ++i)
                alone.Ingest(datagram, {1700000000 + i / 100000, static_cast<std::uint32_t>(i % 1000000) * 1000});
            state.counters["session_only_per_packet"] = static_cast<double>(ResidentBytes() - sessionBefore) / kPackets;
        }
    }
}
BENCHMARK(BM_FileStoreResidentPerPacket)->Iterations(1)->Unit(benchmark::kMillisecond);

// The list with 5,000,000 rows: append them, scroll to the end and paint,
// then clear; each step timed on its own.
void BM_FiveMillionRows(benchmark::State& state) {
    const auto datagram = Datagram100();
    constexpr int kRows = 5000000;
    for (auto _ : state) {
        QTemporaryDir lockDir;
        auto window = MakeWindow(lockDir);
        window->show();
        QApplication::processEvents();
        QElapsedTimer t;
        t.start();
        qint64 longestTurnNs = 0;
        QElapsedTimer turn;
        for (int i = 0; i < kRows; ++i) {
            window->IngestDatagram(datagram, 1700000000 + i / 100000, static_cast<std::uint32_t>(i % 1000000));
            if ((i & 4095) == 4095) {
                turn.start();
                QApplication::processEvents();  // the insert and a repaint, as one event-loop turn
                longestTurnNs = std::max(longestTurnNs, turn.nsecsElapsed());
            }
        }
        window->FlushPendingRows();  // rows still waiting for the list's next insertion
        QApplication::processEvents();
        state.counters["append_s"] = t.nsecsElapsed() / 1e9;
        state.counters["longest_turn_ms"] = longestTurnNs / 1e6;
        t.restart();
        window->lv->scrollToBottom();
        window->lv->viewport()->repaint();
        QApplication::processEvents();
        state.counters["scroll_to_end_ms"] = t.nsecsElapsed() / 1e6;
        state.counters["rows"] = window->Model()->rowCount();
        t.restart();
        window->ClearPackets();
        window->lv->viewport()->repaint();
        QApplication::processEvents();
        state.counters["clear_ms"] = t.nsecsElapsed() / 1e6;
    }
}
BENCHMARK(BM_FiveMillionRows)->Iterations(1)->Unit(benchmark::kMillisecond);

// Growth without stalls: 10,000,000 packets through the window, each ingest
// (decode, bytes, record, queued row) and each once-per-turn row insertion
// timed on its own; the longest of them is what the event loop would wait.
void BM_LongestAppendAt10MPackets(benchmark::State& state) {
    const auto datagram = Datagram100();
    constexpr int kPackets = 10000000;
    for (auto _ : state) {
        QTemporaryDir lockDir;
        auto window = MakeWindow(lockDir);
        qint64 longestIngestNs = 0;
        qint64 longestFlushNs = 0;
        std::int64_t longestCpuNs = 0;  // this thread's own time: what a busy machine's other work cannot add
        // How often a step goes over 1 ms and 5 ms: one slow step in ten million
        // may be the machine, many are the program.
        std::int64_t over1ms = 0, over5ms = 0;
        const auto count = [&](qint64 ns) {
            over1ms += ns > 1000000;
            over5ms += ns > 5000000;
        };
        QElapsedTimer step;
        for (int i = 0; i < kPackets; ++i) {
            std::int64_t cpu = ThreadCpuNs();
            step.start();
            window->IngestDatagram(datagram, 1700000000 + i / 100000, static_cast<std::uint32_t>(i % 1000000));
            longestIngestNs = std::max(longestIngestNs, step.nsecsElapsed());
            longestCpuNs = std::max(longestCpuNs, ThreadCpuNs() - cpu);
            count(step.nsecsElapsed());
            if ((i & 1023) == 1023) {
                cpu = ThreadCpuNs();
                step.start();
                window->FlushPendingRows();
                longestFlushNs = std::max(longestFlushNs, step.nsecsElapsed());
                longestCpuNs = std::max(longestCpuNs, ThreadCpuNs() - cpu);
                count(step.nsecsElapsed());
            }
        }
        window->FlushPendingRows();
        state.counters["longest_ingest_ms"] = longestIngestNs / 1e6;
        state.counters["longest_row_insert_ms"] = longestFlushNs / 1e6;
        state.counters["longest_append_ms"] = std::max(longestIngestNs, longestFlushNs) / 1e6;
        state.counters["longest_append_cpu_ms"] = static_cast<double>(longestCpuNs) / 1e6;
        state.counters["steps_over_1ms"] = static_cast<double>(over1ms);
        state.counters["steps_over_5ms"] = static_cast<double>(over5ms);
        state.counters["rows"] = window->Model()->rowCount();
    }
}
BENCHMARK(BM_LongestAppendAt10MPackets)->Iterations(1)->Unit(benchmark::kMillisecond);

// Rebuilding the list from 1,000,000 stored packets under each mode, plus the
// event-loop turn that repaints the list afterwards.
void BM_RefreshPacketList(benchmark::State& state) {
    QTemporaryDir lockDir;
    auto window = MakeWindow(lockDir);
    window->show();
    wirelens::testing::DatagramFields in;
    in.protocol = 17;
    in.src = "198.51.100.2";
    in.dst = "198.51.100.1";
    in.payload = wirelens::testing::Bytes(72);
    wirelens::testing::DatagramFields out = in;
    out.protocol = 6;
    std::swap(out.src, out.dst);
    wirelens::testing::DatagramFields icmp = in;
    icmp.protocol = 1;
    const auto a = wirelens::testing::BuildDatagram(in), b = wirelens::testing::BuildDatagram(out),
               c = wirelens::testing::BuildDatagram(icmp);
    for (int i = 0; i < 1000000; ++i) {
        window->IngestDatagram(i % 2 ? a : (i % 4 ? b : c), 1700000000 + i / 10000, 0);
    }
    window->FlushPendingRows();
    const auto mode = static_cast<std::int32_t>(state.range(0));
    window->ChooseListViewMode(mode);
    for (auto _ : state) {
        window->RefreshPacketList();
        QApplication::processEvents();
    }
    state.counters["rows"] = window->Model()->rowCount();
}
BENCHMARK(BM_RefreshPacketList)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

// Seconds a shell command takes, or -1 when it fails.
double TimeCommand(const std::string& command) {
    QElapsedTimer t;
    t.start();
    const int status = std::system(command.c_str());
    return status == 0 ? t.nsecsElapsed() / 1e9 : -1.0;
}

// Opening a 1,000,000-packet pcap of 100-byte UDP datagrams until the list is
// usable (every row inserted and painted), beside libpcap's own read of the
// same file (tcpdump -r -w /dev/null, the floor) and tshark's.
void BM_OpenCaptureFile(benchmark::State& state) {
    constexpr std::size_t kPackets = 1000000;
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("million.pcap")).toStdString();
    const auto datagram = Datagram100();
    const auto error = wirelens::WriteCaptureFile(
        path, wirelens::CaptureFileFormat::Pcap, {}, kPackets, [&](std::size_t i) {
            wirelens::CapturePacket p;
            p.bytes = datagram;
            p.seconds = 1700000000 + static_cast<std::int64_t>(i / 10000);
            p.nanoseconds = static_cast<std::uint32_t>(i % 10000) * 1000;
            p.wireLength = static_cast<std::uint32_t>(datagram.size());
            return p;
        });
    if (error) {
        state.SkipWithError(error->c_str());
        return;
    }
    QTemporaryDir lockDir;
    auto window = MakeWindow(lockDir);
    window->show();
    QApplication::processEvents();
    for (auto _ : state) {
        window->OpenCaptureFile(QString::fromStdString(path));
        while (window->IsReadingFile()) QApplication::processEvents();
        window->FlushPendingRows();
        window->lv->viewport()->repaint();
        QApplication::processEvents();
    }
    state.counters["rows"] = window->Model()->rowCount();
    const double tcpdump = TimeCommand("tcpdump -r '" + path + "' -w /dev/null 2>/dev/null");
    const double tshark = TimeCommand("tshark -r '" + path + "' > /dev/null 2>&1");
    state.counters["tcpdump_read_s"] = tcpdump;
    state.counters["tshark_s"] = tshark;
}
BENCHMARK(BM_OpenCaptureFile)->Iterations(3)->Unit(benchmark::kMillisecond);

// Saving 1,000,000 stored packets as pcapng, synced to disk.
void BM_SavePackets(benchmark::State& state) {
    QTemporaryDir dir, lockDir;
    auto window = MakeWindow(lockDir);
    const auto datagram = Datagram100();
    for (int i = 0; i < 1000000; ++i) window->IngestDatagram(datagram, 1700000000 + i / 10000, static_cast<std::uint32_t>(i % 10000));
    window->FlushPendingRows();
    const QString path = dir.filePath(QStringLiteral("saved.pcapng"));
    for (auto _ : state) {
        if (!window->SavePackets(path, wirelens::CaptureFileFormat::PcapNg, false)) state.SkipWithError("save failed");
    }
    state.counters["file_MiB"] = static_cast<double>(QFileInfo(path).size()) / (1 << 20);
}
BENCHMARK(BM_SavePackets)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
