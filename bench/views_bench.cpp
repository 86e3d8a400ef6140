// A click on a row with the largest data (1980 bytes of an ICMP datagram):
// building both views, and filling ListViewHEX and txtData with them.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWidget>

#include "capture/raw_datagram_store.h"
#include "views/hex_view.h"
#include "views/packet_views_qt.h"
#include "views/report.h"

namespace {

using namespace wirelens;

constexpr int kLargestIcmpData = 1980;

// Text with line ends and some bytes from 128 on, 2000 bytes.
std::vector<std::uint8_t> LargestIcmpDatagram() {
    std::vector<std::uint8_t> datagram(2000);
    datagram[0] = 0x45;
    datagram[9] = 1;
    for (std::size_t i = 20; i < datagram.size(); ++i) {
        datagram[i] = i % 61 == 0 ? '\n' : static_cast<std::uint8_t>(32 + (i * 37) % 224);
    }
    return datagram;
}

void BM_BuildPacketDetail(benchmark::State& state) {
    RawDatagramStore store;
    const std::string tag = std::to_string(store.Append(LargestIcmpDatagram()));
    const std::string length = std::to_string(kLargestIcmpData);
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildPacketDetail("ICMP", length, tag, store));
    }
}
BENCHMARK(BM_BuildPacketDetail)->Unit(benchmark::kMicrosecond);

// The whole click as the user sees it: both views rebuilt, then one
// event-loop turn that lays out and paints the visible one.
void BM_ClickFillsBothViews(benchmark::State& state) {
    RawDatagramStore store;
    const QString tag = QString::number(store.Append(LargestIcmpDatagram()));
    const QString length = QString::number(kLargestIcmpData);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* listViewHex = new QTreeWidget(&window);
    listViewHex->setColumnCount(kHexViewColumnCount);
    listViewHex->setRootIsDecorated(false);
    listViewHex->setUniformRowHeights(true);
    auto* txtData = new QPlainTextEdit(&window);
    txtData->setReadOnly(true);
    txtData->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtData->hide();
    layout->addWidget(listViewHex);
    layout->addWidget(txtData);
    window.resize(626, 420);
    window.show();
    QApplication::processEvents();

    for (auto _ : state) {
        ShowClickedPacket(QStringLiteral("ICMP"), length, tag, store, txtData, listViewHex);
        QApplication::processEvents();
    }
    state.counters["hexRows"] = listViewHex->topLevelItemCount();
}
BENCHMARK(BM_ClickFillsBothViews)->Unit(benchmark::kMillisecond);

void BM_BuildReportOfLargestData(benchmark::State& state) {
    const auto datagram = LargestIcmpDatagram();
    const auto detail = BuildPacketDetail(datagram, 20, kLargestIcmpData);
    std::vector<HexViewCells> rows;
    for (const auto& row : detail.hexRows) rows.push_back(SplitHexRow(row.hexText, row.charText));
    const PacketRowTexts row{"ICMP", "198.51.100.1", "", "203.0.113.1", "", "1980", "12:00:00.00"};
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildReport(row, detail.text, rows));
    }
}
BENCHMARK(BM_BuildReportOfLargestData)->Unit(benchmark::kMicrosecond);

}  // namespace
