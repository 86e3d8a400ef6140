// Runs each decoder's fuzz target over a fixed seed corpus (the real
// datagrams of the decoder's tests, from each header on) and then over a fixed
// number of deterministic mutations of it, so that the sanitizers see inputs
// no fixture has. A target traps on a broken promise; a sanitizer report ends
// the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/dissect_fixtures.h"
#include "tests/fuzz/fuzz_target.h"

namespace wirelens::fuzz {
namespace {

using testing::ByteVector;

constexpr int kMutationsPerTarget = 100000;

// splitmix64: the same sequence on every run and machine.
class Random {
public:
    explicit Random(std::uint64_t seed) : mState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(Next() % n); }

private:
    std::uint64_t mState;
};

ByteVector WithWireLength(std::uint16_t wireLength, const ByteVector& bytes, std::size_t from) {
    ByteVector input{static_cast<std::uint8_t>(wireLength & 0xFF), static_cast<std::uint8_t>(wireLength >> 8)};
    if (from < bytes.size()) input.insert(input.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    return input;
}

// Every fixture as a whole datagram and from its transport and UDP payload on.
std::vector<ByteVector> SeedCorpus() {
    using namespace testing;
    const std::vector<ByteVector> datagrams = {
        TcpSynAck(),       TcpData(),        TcpSack(),     DnsQuery(),    DnsResponse(),
        IcmpEchoRequest(), IcmpPortUnreachable(), IcmpTimeExceeded(), UdpFragment(), DhcpDiscover(),
        NtpClient(),       IgmpV2Report(),   Esp(),         Gre()};
    std::vector<ByteVector> corpus;
    for (const auto& d : datagrams) {
        for (const std::size_t from : {0, 20, 28}) {
            if (from > d.size()) continue;
            corpus.push_back(WithWireLength(static_cast<std::uint16_t>(d.size() - from), d, from));
        }
    }
    return corpus;
}

constexpr std::uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x08, 0x0f, 0x10, 0x3f,
                                         0x40, 0x45, 0x7f, 0x80, 0xc0, 0xfe, 0xff};

void Mutate(ByteVector& input, Random& random) {
    const int steps = 1 + static_cast<int>(random.Below(4));
    for (int i = 0; i < steps; ++i) {
        switch (random.Below(7)) {
        case 0:  // flip a bit
            if (!input.empty()) input[random.Below(input.size())] ^= static_cast<std::uint8_t>(1u << random.Below(8));
            break;
        case 1:  // a random byte
            if (!input.empty()) input[random.Below(input.size())] = static_cast<std::uint8_t>(random.Next());
            break;
        case 2:  // a boundary value
            if (!input.empty()) input[random.Below(input.size())] = kInteresting[random.Below(sizeof kInteresting)];
            break;
        case 3:  // cut
            input.resize(random.Below(input.size() + 1));
            break;
        case 4:  // grow
            for (std::size_t n = 1 + random.Below(16); n > 0; --n) input.push_back(static_cast<std::uint8_t>(random.Next()));
            break;
        case 5:  // copy a run of bytes elsewhere (lengths and pointers often repeat)
            if (input.size() > 2) {
                const std::size_t from = random.Below(input.size()), to = random.Below(input.size());
                const std::size_t n = std::min({1 + random.Below(8), input.size() - from, input.size() - to});
                std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(from), n,
                            input.begin() + static_cast<std::ptrdiff_t>(to));
            }
            break;
        default:  // the wire length
            if (input.size() >= 2) {
                input[0] = static_cast<std::uint8_t>(random.Next());
                input[1] = random.Below(2) ? 0 : static_cast<std::uint8_t>(random.Next());
            }
            break;
        }
    }
}

std::vector<std::string> TargetNames() {
    std::vector<std::string> names;
    for (const auto& t : Targets()) names.push_back(t.name);
    return names;
}

Target FindTarget(const std::string& name) {
    for (const auto& t : Targets()) {
        if (t.name == name) return t.run;
    }
    return nullptr;
}

class FuzzCorpusTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzCorpusTest, SeedsAndMutationsKeepEveryPromise) {
    const Target run = FindTarget(GetParam());
    ASSERT_NE(run, nullptr);
    const std::vector<ByteVector> corpus = SeedCorpus();
    for (const auto& seed : corpus) EXPECT_EQ(run(seed.data(), seed.size()), 0);

    Random random(std::hash<std::string>{}(GetParam()) ^ 0x5EED);
    ByteVector input;
    for (int i = 0; i < kMutationsPerTarget; ++i) {
        // Mostly fresh mutations of a seed; now and then a mutation of the last input, to go deeper.
        if (input.empty() || random.Below(4) != 0) input = corpus[random.Below(corpus.size())];
        Mutate(input, random);
        run(input.data(), input.size());
    }
}

TEST(FuzzTargets, OnePerDecoder) {
    std::vector<std::string> names = TargetNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"FuzzDatagram", "FuzzDhcp", "FuzzDns", "FuzzIcmp", "FuzzIgmp",
                                                       "FuzzIpv4", "FuzzNtp", "FuzzOtherProtocol", "FuzzTcp", "FuzzUdp"}));
}

INSTANTIATE_TEST_SUITE_P(Dissect, FuzzCorpusTest, ::testing::ValuesIn(TargetNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace wirelens::fuzz
