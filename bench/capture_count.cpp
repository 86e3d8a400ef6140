// The reading side of the capture benchmark: opens a capture through the
// helper exactly as the GUI does (OpenCaptureSocket, then FrameReader on the
// non-blocking descriptor), decodes every datagram, and counts those sent to
// PORT. A UDP socket bound to ADDRESS:PORT absorbs the flood so that it is not
// answered with ICMP errors.
//
//   wirelens_capture_count ADDRESS PORT [IDLE_SECONDS]
//
// Prints "ready" once capturing, and the counts once no datagram for PORT has
// come for IDLE_SECONDS after the first one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "capture/capture_stream.h"
#include "capture/decode.h"
#include "capture/mdlwinsock.h"

#include "bench/monotonic_clock.h"

namespace {

constexpr int kPollMs = 100;

}  // namespace

int main(int argc, char** argv) {
    using namespace wirelens;
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT [IDLE_SECONDS]\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const double idleSeconds = argc == 4 ? std::atof(argv[3]) : 2.0;

    sockaddr_in sinkAddress{};
    sinkAddress.sin_family = AF_INET;
    sinkAddress.sin_port = htons(port);
    inet_pton(AF_INET, argv[1], &sinkAddress.sin_addr);
    const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(sink, reinterpret_cast<const sockaddr*>(&sinkAddress), sizeof sinkAddress) != 0) {
        std::perror("bind");
        return 1;
    }

    StartWinsock();
    SetCaptureHelperPath(WIRELENS_CAPTURE_HELPER);  // this build's, measured as built
    const CaptureOpenResult open = OpenCaptureSocket(argv[1], kCapturePort);
    if (!open.Ok()) {
        std::fprintf(stderr, "%s\n", open.error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    FrameReader reader;
    std::uint64_t flood = 0;
    std::uint64_t all = 0;
    std::uint64_t reads = 0;
    StatsPayload stats{};
    double firstAt = 0;
    double lastAt = 0;
    bool statsAfterIdle = false;
    for (;;) {
        pollfd in{open.socket, POLLIN, 0};
        poll(&in, 1, kPollMs);
        const auto status = reader.Read(open.socket);
        if (status == FrameReader::ReadStatus::Data) ++reads;
        if (status == FrameReader::ReadStatus::EndOfStream || status == FrameReader::ReadStatus::Failed) {
            std::fprintf(stderr, "the capture stream ended\n");
            break;
        }
        const bool idle = flood > 0 && MonotonicSeconds() - lastAt >= idleSeconds;
        while (auto frame = reader.Next()) {
            if (frame->type == FrameType::Stats) {
                if (auto parsed = ParseStatsPayload(frame->payload)) stats = *parsed;
                statsAfterIdle = idle;
                continue;
            }
            if (frame->type != FrameType::Datagram) continue;
            ++all;
            const DecodedDatagram d = DecodeDatagram(frame->payload);
            if (d.protocol == kProtocolUdp && d.dstPort == port) {
                if (flood++ == 0) firstAt = MonotonicSeconds();
                lastAt = MonotonicSeconds();
            }
        }
        if (reader.Corrupt()) {
            std::fprintf(stderr, "corrupt stream\n");
            return 1;
        }
        // Waits for one stats frame taken after the flood, so its drop counts are final.
        if (idle && statsAfterIdle) break;
    }
    CloseCaptureSocket(open.socket);
    EndWinsock();
    close(sink);
    std::printf("flood datagrams %llu\nall datagrams %llu\nreads %llu\nseconds %.3f\n"
                "pcap received %llu\nkernel drops %llu\ninterface drops %llu\n",
                static_cast<unsigned long long>(flood), static_cast<unsigned long long>(all),
                static_cast<unsigned long long>(reads), lastAt - firstAt,
                static_cast<unsigned long long>(stats.received),
                static_cast<unsigned long long>(stats.droppedByKernel),
                static_cast<unsigned long long>(stats.droppedByInterface));
    return 0;
}
