// The floor of the flood benches' cost comparison: a bare TPACKET_V3 receiver
// that counts the UDP datagrams sent to PORT on INTERFACE and discards
// everything, with the ring the helper uses on an ordinary interface (22 MiB in
// 1 MiB blocks, 1 ms block timeout). Whatever a capturing program spends per
// datagram beyond this is its own.
//
//   wirelens_ring_count INTERFACE PORT
//
// Prints "ready" once the ring is up; on SIGINT or SIGTERM prints the count and
// the kernel's drops, and exits.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kBlockBytes = 1u << 20;
constexpr unsigned kBlocks = 22;
constexpr unsigned kFrameBytes = 2048;  // a hint for V3: frames pack by their own length
constexpr unsigned kBlockTimeoutMs = 1;

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

// A UDP/IPv4 datagram to `port` in an Ethernet frame, bounds-checked against the captured length.
bool IsFloodFrame(const std::uint8_t* frame, std::uint32_t captured, std::uint16_t port) {
    constexpr std::uint32_t kEthernet = 14;
    if (captured < kEthernet + 20) return false;
    if (frame[12] != 0x08 || frame[13] != 0x00) return false;
    const std::uint8_t* ip = frame + kEthernet;
    const std::uint32_t headerBytes = (ip[0] & 0x0fu) * 4u;
    if ((ip[0] >> 4) != 4 || headerBytes < 20 || ip[9] != IPPROTO_UDP) return false;
    if (captured < kEthernet + headerBytes + 4) return false;
    const std::uint8_t* udp = ip + headerBytes;
    return ((udp[2] << 8) | udp[3]) == port;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s INTERFACE PORT\n", argv[0]);
        return 2;
    }
    const unsigned ifindex = if_nametoindex(argv[1]);
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    if (ifindex == 0) {
        std::fprintf(stderr, "no interface %s\n", argv[1]);
        return 1;
    }
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        std::perror("socket(AF_PACKET)");
        return 1;
    }
    int version = TPACKET_V3;
    tpacket_req3 req{};
    req.tp_block_size = kBlockBytes;
    req.tp_block_nr = kBlocks;
    req.tp_frame_size = kFrameBytes;
    req.tp_frame_nr = kBlockBytes / kFrameBytes * kBlocks;
    req.tp_retire_blk_tov = kBlockTimeoutMs;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
        std::perror("setsockopt(PACKET_RX_RING)");
        return 1;
    }
    const std::size_t ringBytes = static_cast<std::size_t>(kBlockBytes) * kBlocks;
    auto* ring = static_cast<std::uint8_t*>(mmap(nullptr, ringBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (ring == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(ifindex);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    std::uint64_t flood = 0, frames = 0;
    unsigned block = 0;
    while (!gStop) {
        auto* desc = reinterpret_cast<tpacket_block_desc*>(ring + static_cast<std::size_t>(block) * kBlockBytes);
        if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) {
            pollfd p{fd, POLLIN | POLLERR, 0};
            poll(&p, 1, 100);
            continue;
        }
        const std::uint32_t count = desc->hdr.bh1.num_pkts;
        std::uint32_t offset = desc->hdr.bh1.offset_to_first_pkt;
        for (std::uint32_t i = 0; i < count && offset != 0 && offset < kBlockBytes; ++i) {
            const auto* header = reinterpret_cast<const tpacket3_hdr*>(reinterpret_cast<const std::uint8_t*>(desc) + offset);
            const std::uint32_t dataAt = offset + header->tp_mac;
            if (dataAt < kBlockBytes && header->tp_snaplen <= kBlockBytes - dataAt &&
                IsFloodFrame(reinterpret_cast<const std::uint8_t*>(desc) + dataAt, header->tp_snaplen, port))
                ++flood;
            ++frames;
            if (header->tp_next_offset == 0) break;
            offset += header->tp_next_offset;
        }
        __atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        block = (block + 1) % kBlocks;
    }
    tpacket_stats_v3 stats{};
    socklen_t length = sizeof stats;
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &length);
    std::printf("flood datagrams %llu\nframes %llu\nkernel drops %u\n", static_cast<unsigned long long>(flood),
                static_cast<unsigned long long>(frames), stats.tp_drops);
    munmap(ring, ringBytes);
    close(fd);
    return 0;
}
