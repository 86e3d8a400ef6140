// Per-datagram cost of the capture path outside the kernel: the helper's
// link-layer removal and framing, and the reader's frame parsing and decoding.
#include <benchmark/benchmark.h>

#include <vector>

#include "capture/capture_stream.h"
#include "capture/decode.h"
#include "capture/link_layer.h"

namespace wirelens {
namespace {

constexpr int kBatch = 512;  // datagrams per helper write

std::vector<std::uint8_t> EthernetUdpFrame(std::size_t payloadBytes) {
    std::vector<std::uint8_t> frame(14 + 28 + payloadBytes, 0x5A);
    frame[12] = 0x08;
    frame[13] = 0x00;
    const std::size_t total = 28 + payloadBytes;
    frame[14] = 0x45;
    frame[16] = static_cast<std::uint8_t>(total >> 8);
    frame[17] = static_cast<std::uint8_t>(total);
    frame[14 + 9] = kProtocolUdp;
    return frame;
}

void BM_HelperStripAndFrame(benchmark::State& state) {
    const auto frame = EthernetUdpFrame(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> batch;
    batch.reserve(kBatch * (sizeof(FrameHeader) + kReceiveBufferSize));
    for (auto _ : state) {
        batch.clear();
        for (int i = 0; i < kBatch; ++i) {
            const auto datagram = StripLinkLayer(LinkType::Ethernet, frame);
            AppendFrame(batch, FrameType::Datagram, 1700000000, 1, datagram->wireLength, datagram->bytes);
        }
        benchmark::DoNotOptimize(batch.data());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_HelperStripAndFrame)->Arg(64)->Arg(1472);

void BM_ReaderNextAndDecode(benchmark::State& state) {
    const auto frame = EthernetUdpFrame(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < kBatch; ++i)
        AppendFrame(batch, FrameType::Datagram, 1700000000, 1, 0, std::span(frame).subspan(14));
    FrameReader reader;
    for (auto _ : state) {
        reader.Feed(batch);
        std::int64_t bytes = 0;
        while (auto next = reader.Next()) bytes += DecodeDatagram(next->payload).size;
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ReaderNextAndDecode)->Arg(64)->Arg(1472);

}  // namespace
}  // namespace wirelens

BENCHMARK_MAIN();
