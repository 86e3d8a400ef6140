// The list's core passes over a million stored packets: the capture session's
// rebuild with a display filter, sorting all rows by a column, and merging a
// capture's batch into a sorted list.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "capture/decode.h"
#include "capture/local_addresses.h"
#include "packets/capture_session.h"
#include "packets/display_filter.h"
#include "packets/packet_sort.h"
#include "tests/datagram_builder.h"

namespace {

using namespace wirelens;

constexpr std::int32_t kPackets = 1'000'000;

// A mixed capture: TCP, UDP and ICMP between a handful of hosts and ports,
// 48 to 1400 bytes, filed through the session once and shared by every benchmark.
struct StoredCapture {
    CaptureSession session;
    LocalAddressSet local;

    StoredCapture() {
        static const char* const kHosts[] = {"198.51.100.1", "198.51.100.2", "198.51.100.3", "203.0.113.9",
                                             "203.0.113.20"};
        static const std::uint16_t kPorts[] = {53, 80, 443, 4444, 5555, 40000, 40001, 61000};
        static const std::uint8_t kProtos[] = {kProtocolTcp, kProtocolTcp, kProtocolUdp, kProtocolUdp, kProtocolIcmp};
        local.Set("198.51.100.1");
        session.SetMachineAddresses(&local);
        std::mt19937 random(1);
        for (std::int32_t i = 0; i < kPackets; ++i) {
            testing::DatagramFields f;
            f.protocol = kProtos[random() % 5];
            f.src = kHosts[random() % 5];
            f.dst = kHosts[random() % 5];
            f.srcPort = kPorts[random() % 8];
            f.dstPort = kPorts[random() % 8];
            f.payload = testing::Bytes(20 + random() % 1340);
            session.Ingest(testing::BuildDatagram(f), PacketTime{1700000000 + i / 1000, static_cast<std::uint32_t>(i % 1000) * 1000});
        }
    }
};

StoredCapture& Capture() {
    static StoredCapture capture;
    return capture;
}

std::vector<std::uint32_t> AllRows() {
    std::vector<std::uint32_t> rows(kPackets);
    for (std::int32_t key = 1; key <= kPackets; ++key) rows[static_cast<std::size_t>(key - 1)] = static_cast<std::uint32_t>(key);
    return rows;
}

const char* const kExpressions[] = {"host 198.51.100.2 and tcp port 443", "udp and not port 53", "greater 1000",
                                    "icmp[icmptype] != icmp-echo"};

// Applying a filter: every stored packet through the list view mode and the
// filter, in capture order, into the rows the list takes in one reset.
void BM_FilterRebuildPass(benchmark::State& state) {
    StoredCapture& capture = Capture();
    DisplayFilterResult compiled = DisplayFilter::Compile(kExpressions[state.range(0)]);
    if (!compiled.Ok()) {
        state.SkipWithError(compiled.error.c_str());
        return;
    }
    auto filter = std::make_shared<DisplayFilter>(std::move(compiled.filter));
    capture.session.SetDisplayFilter(
        [filter](std::span<const std::uint8_t> bytes, std::uint32_t wireLength) { return filter->Matches(bytes, wireLength); });
    std::size_t listed = 0;
    for (auto _ : state) {
        RowArray rows = capture.session.RebuildRows();
        listed = rows.size();
        benchmark::DoNotOptimize(rows);
    }
    capture.session.SetDisplayFilter({});
    state.SetLabel(std::string(kExpressions[state.range(0)]) + ": " + std::to_string(listed) + " listed");
}
BENCHMARK(BM_FilterRebuildPass)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// All rows by one column; the rows start in capture order as a first click finds them.
void BM_SortRows(benchmark::State& state) {
    StoredCapture& capture = Capture();
    const RowOrder order{static_cast<SortColumn>(state.range(0)),
                         state.range(1) != 0 ? SortOrder::Descending : SortOrder::Ascending};
    const std::vector<std::uint32_t> captureOrder = AllRows();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::uint32_t> rows = captureOrder;
        state.ResumeTiming();
        SortRows(rows, order, capture.session.Packets());
        benchmark::DoNotOptimize(rows.data());
    }
}
BENCHMARK(BM_SortRows)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kSortColumnCount - 1, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond);

// One event-loop turn's batch of a busy capture merged into a million sorted
// rows, held as the list holds them (a RowArray grown batch by batch, with
// room to grow): the merge itself, without a copy into a new buffer.
void BM_InsertSortedBatch(benchmark::State& state) {
    StoredCapture& capture = Capture();
    const RowOrder order{SortColumn::SrcPort, SortOrder::Descending};
    const auto batchSize = static_cast<std::int32_t>(state.range(0));
    std::vector<std::uint32_t> sorted = AllRows();
    sorted.resize(static_cast<std::size_t>(kPackets - batchSize));
    SortRows(sorted, order, capture.session.Packets());
    std::vector<std::uint32_t> batch;
    for (std::int32_t key = kPackets - batchSize + 1; key <= kPackets; ++key) batch.push_back(static_cast<std::uint32_t>(key));
    RowArray rows;
    for (auto _ : state) {
        state.PauseTiming();
        rows.assign(sorted);
        state.ResumeTiming();
        benchmark::DoNotOptimize(InsertSortedRows(rows, batch, order, capture.session.Packets()));
    }
}
BENCHMARK(BM_InsertSortedBatch)->Arg(100)->Arg(2500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
