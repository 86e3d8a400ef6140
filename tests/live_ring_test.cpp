// The capture helper and a reader that holds no capability, as a user's
// window does: the helper writes its datagrams into the reader's mapping of
// the shared ring from its own process, and maps none of the ring itself.
//
// The tests run on a thread of their own, which keeps root's capabilities
// for the namespaces; the process's first thread, which another process's
// access to this one's memory is checked against, gives up all of its own.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_pump.h"
#include "capture/mdlwinsock.h"
#include "capture/shared_ring.h"
#include "tests/netns_fixture.h"

namespace wirelens {
namespace {

using testing::NetnsPair;

constexpr int kHangGuardMs = 30000;
constexpr int kUdpPort = 7300;
constexpr int kDatagrams = 4000;  // 4 MB: the ring goes round no more than once
constexpr int kPayload = 1000;
constexpr std::size_t kIpAndUdpHeaders = 28;

// A field of /proc/PID/status in kB, or -1.
long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string name;
        long value = -1;
        if (fields >> name >> value && name == field) return value;
    }
    return -1;
}

// Ends the helper before the ring it writes into is unmapped with the pump.
struct HelperEnds {
    int socket = -1;
    ~HelperEnds() {
        EndCaptureHelper(socket);
        CloseCaptureSocket(socket);
    }
};

TEST(RingIntoTheReader, EveryDatagramGoesIntoTheReadersMappingAndNoneOfTheRingIsTheHelpers) {
    const std::string why = NetnsPair::SkipReason();
    if (!why.empty()) GTEST_SKIP() << why;
    NetnsPair net;
    ASSERT_TRUE(net.Ok()) << net.Error();
    SetCaptureHelperPath(WIRELENS_CAPTURE_HELPER);
    ASSERT_EQ(CaptureRingBytes(), kUnmappedCaptureRingBytes) << "the process still holds a capability";

    std::string error;
    auto ring = RingMapping::Create(CaptureRingBytes(), error);
    ASSERT_TRUE(ring) << error;
    const int ringFd = ring->Fd();
    CapturePump pump(std::move(ring));
    HelperEnds ends;
    CaptureOpenResult opened;
    {
        auto inA = net.EnterA();
        ASSERT_TRUE(inA.Ok()) << inA.Error();
        opened = OpenCaptureSocket(NetnsPair::kAddressA, kCapturePort, {}, ringFd);
    }
    ASSERT_TRUE(opened.Ok()) << opened.error;
    ends.socket = opened.socket;
    pump.Start(opened.socket);

    // Numbered datagrams, in bursts that a sanitized helper keeps up with.
    std::string out;
    ASSERT_EQ(net.RunInB({"/usr/bin/python3", "-c",
                          "import socket,struct,time\n"
                          "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                          "for i in range(" + std::to_string(kDatagrams) + "):\n"
                          " s.sendto(struct.pack('>I',i)+b'x'*" + std::to_string(kPayload - 4) +
                              ",('" + NetnsPair::kAddressA + "'," + std::to_string(kUdpPort) + "))\n"
                          " if i%500==499: time.sleep(0.02)\n"},
                         &out),
              0)
        << out;

    std::vector<std::uint32_t> numbers;
    for (int waited = 0; static_cast<int>(numbers.size()) < kDatagrams && waited < kHangGuardMs;) {
        while (auto frame = pump.TakeFrame()) {
            if (frame->type == FrameType::Error) FAIL() << "the helper failed: " << frame->payload.size();
            if (frame->type != FrameType::Datagram || frame->payload.size() != kIpAndUdpHeaders + kPayload) continue;
            const auto& p = frame->payload;
            const std::size_t at = kIpAndUdpHeaders;
            numbers.push_back(std::uint32_t{p[at]} << 24 | std::uint32_t{p[at + 1]} << 16 |
                              std::uint32_t{p[at + 2]} << 8 | p[at + 3]);
        }
        if (!pump.AskForNotice()) continue;
        pollfd notice{pump.NoticeFd(), POLLIN, 0};
        poll(&notice, 1, 100);
        pump.ClearNotice();
        waited += 100;
    }
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kDatagrams));
    for (int i = 0; i < kDatagrams; ++i) ASSERT_EQ(numbers[i], static_cast<std::uint32_t>(i)) << "datagram " << i;
    EXPECT_EQ(pump.RingBytesTaken(), pump.RingBytesPublished());
    EXPECT_GE(pump.RingBytesTaken(), static_cast<std::uint64_t>(kDatagrams) * RingRecordBytes(kIpAndUdpHeaders + kPayload));

    // Megabytes went through the ring; the helper holds none of its pages
    // (its positions' page at most, and the neighbours the kernel maps with it).
    const long shared = StatusKb(opened.helperPid, "RssShmem:");
    EXPECT_GE(shared, 0);
    EXPECT_LE(shared, 256) << "kB of shared memory in the helper";
}

}  // namespace
}  // namespace wirelens

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::mutex mutex;
    std::condition_variable given;
    bool givenUp = false;
    int result = 1;
    // Made before this thread gives its capabilities up: a new thread starts with its maker's.
    std::thread tests([&] {
        {
            std::unique_lock lock(mutex);
            given.wait(lock, [&] { return givenUp; });
        }
        result = RUN_ALL_TESTS();
    });
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capset, &header, none);  // without any (not root), nothing to give up
    {
        std::lock_guard lock(mutex);
        givenUp = true;
    }
    given.notify_one();
    tests.join();
    return result;
}
