// Cost of one datagram's summary line (what the Info column computes when a
// row is painted) and of its field tree (what the details pane builds for the
// one selected packet).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dissect/dissect.h"
#include "tests/datagram_builder.h"
#include "tests/dissect_fixtures.h"

namespace wirelens {
namespace {

using testing::ByteVector;

// A plain UDP datagram of 100 bytes, as the packet benchmarks use.
ByteVector Udp100() {
    testing::DatagramFields s;
    s.protocol = 17;
    s.srcPort = 40000;
    s.dstPort = 4444;
    s.payload = testing::Bytes(100 - 28);
    ByteVector d = testing::BuildDatagram(s);
    d[24] = 0;
    d[25] = 100 - 20;  // UDP length
    return d;
}

// A capture's usual mix: mostly TCP segments with timestamps, some plain UDP,
// name lookups and pings, a rare ICMP error; in a fixed interleaved order.
std::vector<ByteVector> Mix() {
    using namespace testing;
    const std::vector<std::pair<ByteVector, int>> weighted = {
        {TcpData(), 6},   {TcpSack(), 3},         {TcpSynAck(), 1},           {Udp100(), 4},
        {DnsQuery(), 1},  {DnsResponse(), 1},     {IcmpEchoRequest(), 2},     {IcmpPortUnreachable(), 1},
        {NtpClient(), 1}};
    std::vector<ByteVector> mix;
    for (int round = 0; round < 6; ++round) {
        for (const auto& [bytes, weight] : weighted) {
            if (round < weight) mix.push_back(bytes);
        }
    }
    return mix;
}

// Per datagram of the mix; the summary goes into one reused buffer, as a
// list delegate painting rows would use it.
void BM_SummaryMix(benchmark::State& state) {
    const auto mix = Mix();
    std::string out;
    out.reserve(256);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& d = mix[i];
        out.clear();
        dissect::AppendDatagramSummary(d, static_cast<std::uint32_t>(d.size()), out);
        benchmark::DoNotOptimize(out.data());
        if (++i == mix.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["mix_size"] = static_cast<double>(mix.size());
}
BENCHMARK(BM_SummaryMix)->Repetitions(9)->ReportAggregatesOnly(true);

// The same, each call returning a fresh string.
void BM_SummaryMixFreshString(benchmark::State& state) {
    const auto mix = Mix();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& d = mix[i];
        benchmark::DoNotOptimize(dissect::DatagramSummary(d, static_cast<std::uint32_t>(d.size())));
        if (++i == mix.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SummaryMixFreshString)->Repetitions(9)->ReportAggregatesOnly(true);

// One kind at a time, to see which decoder costs what.
void BM_SummaryOf(benchmark::State& state, ByteVector (*make)()) {
    const ByteVector d = make();
    std::string out;
    out.reserve(256);
    for (auto _ : state) {
        out.clear();
        dissect::AppendDatagramSummary(d, static_cast<std::uint32_t>(d.size()), out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK_CAPTURE(BM_SummaryOf, TcpSynAck, testing::TcpSynAck);
BENCHMARK_CAPTURE(BM_SummaryOf, TcpData, testing::TcpData);
BENCHMARK_CAPTURE(BM_SummaryOf, Udp100, Udp100);
BENCHMARK_CAPTURE(BM_SummaryOf, DnsResponse, testing::DnsResponse);
BENCHMARK_CAPTURE(BM_SummaryOf, IcmpPortUnreachable, testing::IcmpPortUnreachable);

// The field tree of one datagram, built when a packet is selected.
void BM_FieldTree(benchmark::State& state, ByteVector (*make)()) {
    const ByteVector d = make();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dissect::DissectDatagram(d, static_cast<std::uint32_t>(d.size())));
    }
}
BENCHMARK_CAPTURE(BM_FieldTree, TcpSynAck, testing::TcpSynAck);
BENCHMARK_CAPTURE(BM_FieldTree, DnsResponse, testing::DnsResponse);

}  // namespace
}  // namespace wirelens

BENCHMARK_MAIN();
