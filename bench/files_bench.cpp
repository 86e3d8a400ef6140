// Capture files at scale: reading a 1,000,000-packet pcap of 100-byte UDP
// datagrams (Ethernet, as tcpdump writes it), from the file and from memory,
// and writing 1,000,000 packets as pcapng and as pcap (sync and rename
// included). The pcap is generated once into a temporary file; with
// WIRELENS_BENCH_PCAP set it is written there and kept (bench/open_file.sh
// times tcpdump and tshark on the same file).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/capture_file_io.h"
#include "files/capture_file_parser.h"
#include "files/capture_file_writer.h"

namespace wirelens {
namespace {

constexpr std::size_t kPackets = 1000000;
constexpr std::size_t kDatagramBytes = 100;
constexpr std::size_t kSliceBytes = 1 << 20;

std::vector<std::uint8_t> UdpDatagram(std::size_t i) {
    std::vector<std::uint8_t> d(kDatagramBytes, 0x5A);
    d[0] = 0x45;
    d[2] = 0;
    d[3] = kDatagramBytes;
    // Each datagram its own identification, as real traffic has (tshark slows
    // down badly on repeated ones).
    d[4] = static_cast<std::uint8_t>(i >> 8);
    d[5] = static_cast<std::uint8_t>(i);
    d[8] = 64;
    d[9] = 17;
    const std::uint8_t src[] = {198, 51, 100, 2};
    const std::uint8_t dst[] = {198, 51, 100, 1};
    std::memcpy(&d[12], src, 4);
    std::memcpy(&d[16], dst, 4);
    // Ports no dissector claims, so the tools compared with read plain UDP.
    const auto srcPort = static_cast<std::uint16_t>(40000 + i % 256);
    constexpr std::uint16_t kDstPort = 50000;
    d[20] = static_cast<std::uint8_t>(srcPort >> 8);
    d[21] = static_cast<std::uint8_t>(srcPort);
    d[22] = static_cast<std::uint8_t>(kDstPort >> 8);
    d[23] = static_cast<std::uint8_t>(kDstPort & 0xFF);
    d[25] = kDatagramBytes - 20;
    return d;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}

// A little-endian microsecond pcap of kPackets Ethernet frames.
std::vector<std::uint8_t> BuildPcap() {
    std::vector<std::uint8_t> file;
    file.reserve(24 + kPackets * (16 + 14 + kDatagramBytes));
    Put32(file, 0xA1B2C3D4);
    Put32(file, 2 | (4 << 16));
    Put32(file, 0);
    Put32(file, 0);
    Put32(file, 262144);
    Put32(file, 1);
    const std::uint8_t ethernet[] = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x08, 0x00};
    for (std::size_t i = 0; i < kPackets; ++i) {
        const auto datagram = UdpDatagram(i);
        Put32(file, static_cast<std::uint32_t>(1700000000 + i / 100000));
        Put32(file, static_cast<std::uint32_t>((i * 10) % 1000000));
        Put32(file, 14 + kDatagramBytes);
        Put32(file, 14 + kDatagramBytes);
        file.insert(file.end(), std::begin(ethernet), std::end(ethernet));
        file.insert(file.end(), datagram.begin(), datagram.end());
    }
    return file;
}

const std::vector<std::uint8_t>& PcapBytes() {
    static const std::vector<std::uint8_t> bytes = BuildPcap();
    return bytes;
}

// The generated pcap on disk, written once per run.
const std::string& PcapPath() {
    static const std::string path = [] {
        std::string p;
        if (const char* keep = std::getenv("WIRELENS_BENCH_PCAP")) {
            p = keep;
        } else {
            char name[] = "/tmp/wirelens-files-bench-XXXXXX";
            const int fd = ::mkstemp(name);
            if (fd >= 0) ::close(fd);
            p = name;
            std::atexit([] { std::remove(PcapPath().c_str()); });
        }
        FILE* out = std::fopen(p.c_str(), "wb");
        if (out) {
            std::fwrite(PcapBytes().data(), 1, PcapBytes().size(), out);
            std::fclose(out);
        }
        return p;
    }();
    return path;
}

void BM_ReadPcapFile(benchmark::State& state) {
    const std::string& path = PcapPath();
    for (auto _ : state) {
        std::uint64_t bytes = 0;
        const auto result =
            ReadCaptureFile(path, [&bytes](const CapturePacket& p) { bytes += p.bytes.size(); });
        if (result.error || result.packets != kPackets) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPackets));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * PcapBytes().size()));
}
BENCHMARK(BM_ReadPcapFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The parser alone: the file's bytes fed from memory in 1 MiB slices.
void BM_ParsePcapFromMemory(benchmark::State& state) {
    const auto& file = PcapBytes();
    for (auto _ : state) {
        CaptureFileParser parser;
        CapturePacket packet;
        std::uint64_t count = 0;
        for (std::size_t at = 0; at < file.size(); at += kSliceBytes) {
            parser.Feed(std::span<const std::uint8_t>(file).subspan(at, std::min(kSliceBytes, file.size() - at)));
            while (parser.Next(packet) == CaptureFileParser::Status::Packet) ++count;
        }
        parser.Finish();
        while (parser.Next(packet) == CaptureFileParser::Status::Packet) ++count;
        if (count != kPackets) state.SkipWithError("parse failed");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPackets));
}
BENCHMARK(BM_ParsePcapFromMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Writing kPackets datagrams of 100 bytes, as a save of the whole list does.
void BM_WriteCaptureFile(benchmark::State& state, CaptureFileFormat format) {
    std::vector<std::uint8_t> datagrams(kPackets * kDatagramBytes);
    for (std::size_t i = 0; i < kPackets; ++i) {
        const auto d = UdpDatagram(i);
        std::memcpy(&datagrams[i * kDatagramBytes], d.data(), kDatagramBytes);
    }
    char folder[] = "/tmp/wirelens-files-bench-out-XXXXXX";
    if (!::mkdtemp(folder)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(folder) + (format == CaptureFileFormat::Pcap ? "/out.pcap" : "/out.pcapng");
    CaptureFileInfo info;
    info.interfaceName = "eth0";
    info.captureAddress = 0x0164'33C6;  // 198.51.100.1
    info.kernelDrops = 0;
    for (auto _ : state) {
        const auto why = WriteCaptureFile(path, format, info, kPackets, [&datagrams](std::size_t i) {
            CapturePacket p;
            p.bytes = std::span<const std::uint8_t>(datagrams).subspan(i * kDatagramBytes, kDatagramBytes);
            p.seconds = 1700000000 + static_cast<std::int64_t>(i / 100000);
            p.nanoseconds = static_cast<std::uint32_t>((i * 10000) % 1000000000);
            p.wireLength = kDatagramBytes;
            return p;
        });
        if (why) state.SkipWithError(why->c_str());
    }
    std::remove(path.c_str());
    ::rmdir(folder);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPackets));
}
BENCHMARK_CAPTURE(BM_WriteCaptureFile, pcapng, CaptureFileFormat::PcapNg)
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_WriteCaptureFile, pcap, CaptureFileFormat::Pcap)
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace wirelens

BENCHMARK_MAIN();
