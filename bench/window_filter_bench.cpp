// The window with 1,000,000 stored packets: applying a display filter until the
// list is usable again (compile, rebuild, reset, repaint), and sorting all rows
// by a header click (sort, layout change, repaint).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTableView>
#include <QTemporaryDir>
#include <random>

#include "packets/packet_list_model.h"
#include "tests/datagram_builder.h"
#include "bench/bench_window.h"
#include "ui/form_main.h"

namespace {

using wirelens::FormMain;

constexpr int kPackets = 1000000;

struct LoadedWindow {
    QTemporaryDir lockDir;
    std::unique_ptr<FormMain> window;

    LoadedWindow() {
        window = wirelens::bench::MakeBenchWindow(lockDir);
        window->resize(900, 700);
        window->show();
        // A mix of hosts, ports and protocols, built once as 64 datagrams and filed in turn.
        static const char* const kHosts[] = {"198.51.100.1", "198.51.100.2", "198.51.100.3", "203.0.113.9"};
        static const std::uint16_t kPorts[] = {53, 80, 443, 40000};
        static const std::uint8_t kProtos[] = {6, 17, 17, 1};
        std::vector<std::vector<std::uint8_t>> datagrams;
        std::mt19937 random(3);
        for (int i = 0; i < 64; ++i) {
            wirelens::testing::DatagramFields f;
            f.protocol = kProtos[random() % 4];
            f.src = kHosts[random() % 4];
            f.dst = kHosts[random() % 4];
            f.srcPort = kPorts[random() % 4];
            f.dstPort = kPorts[random() % 4];
            f.payload = wirelens::testing::Bytes(40 + random() % 200);
            datagrams.push_back(wirelens::testing::BuildDatagram(f));
        }
        for (int i = 0; i < kPackets; ++i) {
            window->IngestDatagram(datagrams[static_cast<std::size_t>(i) % datagrams.size()],
                                   wirelens::PacketTime{1700000000 + i / 1000, static_cast<std::uint32_t>(i % 1000) * 1000000u}, 0);
            if ((i & 4095) == 4095) window->FlushPendingRows();
        }
        window->FlushPendingRows();
        QApplication::processEvents();
    }
};

LoadedWindow& Loaded() {
    static LoadedWindow loaded;
    return loaded;
}

const char* const kExpressions[] = {"host 198.51.100.2 and tcp port 443", "udp and not port 53", "greater 200", ""};

void BM_WindowApplyFilter(benchmark::State& state) {
    FormMain& w = *Loaded().window;
    const QString expression = QString::fromLatin1(kExpressions[state.range(0)]);
    for (auto _ : state) {
        w.ApplyDisplayFilter(expression);
        w.lv->viewport()->repaint();
        QApplication::processEvents();
    }
    state.counters["rows"] = w.Model()->rowCount();
    state.SetLabel(expression.isEmpty() ? "(cleared)" : expression.toStdString());
    w.ApplyDisplayFilter(QString());
}
BENCHMARK(BM_WindowApplyFilter)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_WindowSortByHeaderClick(benchmark::State& state) {
    FormMain& w = *Loaded().window;
    const int column = static_cast<int>(state.range(0));
    w.lv->selectRow(500000);
    for (auto _ : state) {
        state.PauseTiming();
        w.Model()->SetRowOrder(std::nullopt);
        QApplication::processEvents();
        state.ResumeTiming();
        w.lv_ColumnClick(column);  // ascending, the selection kept on its packet
        w.lv->viewport()->repaint();
        QApplication::processEvents();
    }
    state.counters["rows"] = w.Model()->rowCount();
    w.Model()->SetRowOrder(std::nullopt);
}
BENCHMARK(BM_WindowSortByHeaderClick)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

}  // namespace
