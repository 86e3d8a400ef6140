// Rate-paced UDP flood for the capture benchmark: sends RATE datagrams a
// second for SECONDS seconds to ADDRESS:PORT, from whatever namespace it runs in.
//
//   wirelens_udp_flood ADDRESS PORT RATE SECONDS [PAYLOAD_BYTES]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench/monotonic_clock.h"

namespace {

constexpr int kBatch = 64;
constexpr long kIdleNs = 20'000;  // between batches when ahead of the schedule

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT RATE SECONDS [PAYLOAD_BYTES]\n", argv[0]);
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        std::fprintf(stderr, "not a dotted IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const double rate = std::atof(argv[3]);
    const double seconds = std::atof(argv[4]);
    const std::size_t payloadBytes = argc == 6 ? static_cast<std::size_t>(std::atoi(argv[5])) : 64;
    const auto total = static_cast<std::uint64_t>(rate * seconds);

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("socket");
        return 1;
    }

    // Each datagram carries its sequence number in its first 8 bytes.
    std::vector<std::vector<std::uint8_t>> payloads(kBatch, std::vector<std::uint8_t>(std::max<std::size_t>(payloadBytes, 8), 0x55));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (int i = 0; i < kBatch; ++i) {
        iov[i] = {payloads[i].data(), payloads[i].size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    std::uint64_t sent = 0;
    std::uint64_t refused = 0;
    const double start = MonotonicSeconds();
    while (sent < total) {
        const auto due = std::min<std::uint64_t>(total, static_cast<std::uint64_t>(rate * (MonotonicSeconds() - start)) + 1);
        if (due <= sent) {
            const timespec pause{0, kIdleNs};
            nanosleep(&pause, nullptr);
            continue;
        }
        const int count = static_cast<int>(std::min<std::uint64_t>(due - sent, kBatch));
        for (int i = 0; i < count; ++i) {
            const std::uint64_t sequence = sent + static_cast<std::uint64_t>(i);
            std::memcpy(payloads[i].data(), &sequence, sizeof sequence);
        }
        const int done = sendmmsg(fd, messages.data(), static_cast<unsigned>(count), 0);
        if (done > 0) sent += static_cast<std::uint64_t>(done);
        else if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) ++refused;
        else {
            std::perror("sendmmsg");
            return 1;
        }
    }
    const double elapsed = MonotonicSeconds() - start;
    std::printf("sent %llu datagrams of %zu payload bytes in %.3f s (%.0f/s), %llu refused sends\n",
                static_cast<unsigned long long>(sent), payloads[0].size(), elapsed,
                static_cast<double>(sent) / elapsed, static_cast<unsigned long long>(refused));
    close(fd);
    return 0;
}
