// The decoder against tcpdump on real traffic: a TCP handshake with data, a
// DNS-shaped query and answer, a ping and an ICMP port unreachable between two
// test namespaces, captured by tcpdump into a file; then each packet's summary
// fields are compared with what `tcpdump -nn -v -S -r FILE` prints for it.
// Needs root, `ip` and tcpdump; skipped otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dissect/dissect.h"
#include "tests/netns_fixture.h"

extern char** environ;

namespace wirelens::dissect {
namespace {

using testing::NetnsPair;
using testing::RunCommand;
using Bytes = std::vector<std::uint8_t>;

// Bounds a wait only so that a broken set-up fails instead of hanging; never a speed requirement.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr std::uint16_t kTcpPort = 6000;
constexpr std::uint16_t kDnsPort = 53;
constexpr std::uint16_t kClosedPort = 9;
constexpr std::uint16_t kMarkerPort = 7777;  // the last datagram sent: the capture has everything once it has this
constexpr std::size_t kEthernetHeader = 14;

class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    ~Fd() {
        if (mFd >= 0) close(mFd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return mFd; }

private:
    int mFd;
};

sockaddr_in Address(const char* dotted, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kHangGuard).count())) == 1;
}

struct CapturedDatagram {
    Bytes bytes;  // from the IPv4 header on
    std::uint32_t wireLength = 0;
};

// Reads a classic pcap file of Ethernet frames (what tcpdump -w writes on a veth).
std::vector<CapturedDatagram> ReadPcap(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<CapturedDatagram> out;
    if (file.size() < 24) return out;
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, &file[at], 4);
        return v;  // written in this machine's order
    };
    std::size_t at = 24;
    while (at + 16 <= file.size()) {
        const std::uint32_t kept = u32(at + 8), wire = u32(at + 12);
        at += 16;
        if (at + kept > file.size()) break;  // a record still being written
        if (kept > kEthernetHeader) {
            out.push_back({Bytes(file.begin() + static_cast<std::ptrdiff_t>(at + kEthernetHeader),
                                 file.begin() + static_cast<std::ptrdiff_t>(at + kept)),
                           static_cast<std::uint32_t>(wire - kEthernetHeader)});
        }
        at += kept;
    }
    return out;
}

bool HasMarker(const std::vector<CapturedDatagram>& datagrams) {
    for (const auto& d : datagrams) {
        if (d.bytes.size() >= 24 && d.bytes[9] == 17 && (d.bytes[22] << 8 | d.bytes[23]) == kMarkerPort) return true;
    }
    return false;
}

// tcpdump -v prints a packet over several lines; continuation lines start with white space.
std::vector<std::string> TcpdumpPackets(const std::string& output) {
    std::vector<std::string> packets;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line.starts_with("reading from")) continue;
        if (line[0] == ' ' || line[0] == '\t') {
            if (!packets.empty()) packets.back() += ' ' + line.substr(line.find_first_not_of(" \t"));
        } else {
            packets.push_back(line);
        }
    }
    return packets;
}

// What tcpdump prints after "src > dst: ", without its checksum verdicts, which
// the summary leaves out.
std::string TransportText(const std::string& packet) {
    std::string text = packet.substr(packet.find(": ") + 2);
    if (const auto at = text.find(", cksum "); at != std::string::npos) text.erase(at, text.find(')', at) + 1 - at);
    if (text.starts_with("[")) text.erase(0, text.find("] ") + 2);  // [udp sum ok]
    return text;
}

// The text between `open` and the next `close` after it; "<none>" when absent.
std::string Between(const std::string& text, std::string_view open, std::string_view close) {
    const auto start = text.find(open);
    if (start == std::string::npos) return "<none>";
    const auto from = start + open.size();
    const auto end = text.find(close, from);
    return end == std::string::npos ? text.substr(from) : text.substr(from, end - from);
}

std::string FirstToken(const std::string& text) { return text.substr(0, text.find(' ')); }

// The payload length: the number after the last "length ".
std::string LastLength(const std::string& text) {
    const auto at = text.rfind("length ");
    return at == std::string::npos ? "<none>" : FirstToken(text.substr(at + 7));
}

// A DNS response's "answers/authorities/additionals".
std::string Counts(const std::string& text) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (std::count(word.begin(), word.end(), '/') == 2 &&
            word.find_first_not_of("0123456789/") == std::string::npos) {
            return word;
        }
    }
    return "<none>";
}

// The quoted datagram's "src.port > dst.port" as tcpdump -v prints it on its own line.
std::string TcpdumpQuotedEndpoints(const std::string& text) {
    const auto at = text.rfind(") ");
    return at == std::string::npos ? "<none>" : Between(text.substr(at), ") ", ":");
}

class TcpdumpCapture {
public:
    TcpdumpCapture(const NetnsPair& net, const std::string& file, const std::string& errors) : mErrors(errors) {
        const std::vector<std::string> args = {"ip", "netns", "exec", net.NameA(), "tcpdump", "-i", net.InterfaceA(),
                                               "-n", "-U", "--immediate-mode", "-Z", "root", "-w", file, "ip"};
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawnp(&mPid, "ip", &actions, nullptr, argv.data(), environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TcpdumpCapture() { Stop(); }

    bool WaitListening() const {
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (std::chrono::steady_clock::now() < end && mPid > 0) {
            std::ifstream in(mErrors);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (text.find("listening on") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Stop() {
        if (mPid <= 0) return;
        kill(mPid, SIGINT);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
    }

private:
    std::string mErrors;
    pid_t mPid = -1;
};

Bytes DnsQuery() {
    return {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0,  // id 4660, recursion desired, one question
            7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
}

Bytes DnsAnswer(const Bytes& query) {
    Bytes answer = query;
    answer[2] = 0x85;  // response, authoritative, recursion desired
    answer[3] = 0x80;  // recursion available
    answer[7] = 1;     // one answer
    const Bytes record{0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4, 198, 51, 100, 7};
    answer.insert(answer.end(), record.begin(), record.end());
    return answer;
}

// Sends the traffic; every socket is made inside the namespace it belongs to.
void MakeTraffic(const NetnsPair& net) {
    int listener = -1, server = -1, client = -1, dnsServer = -1, udpClient = -1;
    {
        auto inA = net.EnterA();
        ASSERT_TRUE(inA.Ok()) << inA.Error();
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        dnsServer = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    {
        auto inB = net.EnterB();
        ASSERT_TRUE(inB.Ok()) << inB.Error();
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        udpClient = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    Fd l(listener), c(client), d(dnsServer), u(udpClient);
    const sockaddr_in tcpAddress = Address(NetnsPair::kAddressA, kTcpPort);
    const sockaddr_in dnsAddress = Address(NetnsPair::kAddressA, kDnsPort);
    const int one = 1;
    setsockopt(l.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(bind(l.Get(), reinterpret_cast<const sockaddr*>(&tcpAddress), sizeof tcpAddress), 0) << strerror(errno);
    ASSERT_EQ(listen(l.Get(), 1), 0);
    ASSERT_EQ(bind(d.Get(), reinterpret_cast<const sockaddr*>(&dnsAddress), sizeof dnsAddress), 0) << strerror(errno);

    // TCP: handshake, 100 bytes, both sides close.
    ASSERT_EQ(connect(c.Get(), reinterpret_cast<const sockaddr*>(&tcpAddress), sizeof tcpAddress), 0)
        << strerror(errno);
    ASSERT_TRUE(WaitReadable(l.Get()));
    server = accept(l.Get(), nullptr, nullptr);
    ASSERT_GE(server, 0);
    Fd s(server);
    const std::string data(100, 'x');
    ASSERT_EQ(send(c.Get(), data.data(), data.size(), 0), 100);
    char buffer[512];
    std::size_t got = 0;
    while (got < data.size() && WaitReadable(s.Get())) {
        const auto n = recv(s.Get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(got, data.size());
    shutdown(c.Get(), SHUT_WR);
    ASSERT_TRUE(WaitReadable(s.Get()));
    ASSERT_EQ(recv(s.Get(), buffer, sizeof buffer, 0), 0);
    shutdown(s.Get(), SHUT_WR);
    ASSERT_TRUE(WaitReadable(c.Get()));
    ASSERT_EQ(recv(c.Get(), buffer, sizeof buffer, 0), 0);

    // A DNS-shaped query and its answer.
    const Bytes query = DnsQuery();
    ASSERT_EQ(sendto(u.Get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&dnsAddress),
                     sizeof dnsAddress),
              static_cast<ssize_t>(query.size()));
    ASSERT_TRUE(WaitReadable(d.Get()));
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const auto n = recvfrom(d.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    ASSERT_EQ(n, static_cast<ssize_t>(query.size()));
    const Bytes answer = DnsAnswer(query);
    ASSERT_EQ(sendto(d.Get(), answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), fromLength),
              static_cast<ssize_t>(answer.size()));
    ASSERT_TRUE(WaitReadable(u.Get()));

    // A ping, and a datagram to a closed port for an ICMP port unreachable.
    std::string pingOutput;
    ASSERT_EQ(net.RunInB({"ping", "-c", "1", "-W", "5", NetnsPair::kAddressA}, &pingOutput), 0) << pingOutput;
    const sockaddr_in closed = Address(NetnsPair::kAddressA, kClosedPort);
    ASSERT_EQ(sendto(u.Get(), "knock", 5, 0, reinterpret_cast<const sockaddr*>(&closed), sizeof closed), 5);

    const sockaddr_in marker = Address(NetnsPair::kAddressA, kMarkerPort);
    ASSERT_EQ(sendto(u.Get(), "end", 3, 0, reinterpret_cast<const sockaddr*>(&marker),
                     sizeof marker),
              3);
}

TEST(DissectLive, SummariesAgreeWithTcpdump) {
    if (auto why = NetnsPair::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    if (RunCommand({"tcpdump", "--version"}) != 0) GTEST_SKIP() << "tcpdump is not installed";
    NetnsPair net;
    ASSERT_TRUE(net.Ok()) << net.Error();

    char folder[] = "/tmp/wl-dissect-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string pcap = std::string(folder) + "/live.pcap";
    const std::string errors = std::string(folder) + "/tcpdump.err";
    struct RemoveFolder {
        std::string path;
        ~RemoveFolder() { std::filesystem::remove_all(path); }
    } removeFolder{folder};

    std::vector<CapturedDatagram> datagrams;
    {
        TcpdumpCapture capture(net, pcap, errors);
        ASSERT_TRUE(capture.WaitListening()) << "tcpdump did not start";
        MakeTraffic(net);
        if (HasFatalFailure()) return;
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (!HasMarker(datagrams = ReadPcap(pcap)) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(HasMarker(datagrams)) << "the last datagram never reached the capture file";
        capture.Stop();
    }
    datagrams = ReadPcap(pcap);

    std::string printed;
    ASSERT_EQ(RunCommand({"tcpdump", "-nn", "-v", "-S", "-r", pcap}, &printed), 0) << printed;
    const std::vector<std::string> packets = TcpdumpPackets(printed);
    ASSERT_EQ(packets.size(), datagrams.size()) << printed;

    int tcp = 0, tcpWithData = 0, dnsQueries = 0, dnsAnswers = 0, pings = 0, unreachables = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::string theirs = TransportText(packets[i]);
        const std::string ours = DatagramSummary(datagrams[i].bytes, datagrams[i].wireLength);
        SCOPED_TRACE("packet " + std::to_string(i) + "\n  tcpdump: " + packets[i] + "\n  ours:    " + ours);
        if (theirs.starts_with("Flags [")) {
            ++tcp;
            // Flags, seq, ack, win, options and payload length in tcpdump's own words.
            EXPECT_EQ(ours, theirs);
            EXPECT_EQ(Between(ours, "Flags [", "]"), Between(theirs, "Flags [", "]"));
            EXPECT_EQ(Between(ours, "options [", "]"), Between(theirs, "options [", "]"));
            EXPECT_EQ(LastLength(ours), LastLength(theirs));
            if (LastLength(theirs) == "100") ++tcpWithData;
        } else if (theirs.starts_with("ICMP")) {
            // Type and code as words, the quoted datagram's addresses, and the ICMP length.
            EXPECT_EQ(ours.substr(0, ours.find(',')), theirs.substr(0, theirs.find(',')));
            EXPECT_EQ(Between(ours, ", length ", " "), Between(theirs, ", length ", " "));
            if (theirs.find("unreachable") != std::string::npos) {
                ++unreachables;
                EXPECT_EQ(Between(ours, "(UDP ", ")"), TcpdumpQuotedEndpoints(theirs));
            } else {
                EXPECT_TRUE(ours.starts_with(theirs)) << "echo: id and seq";
                ++pings;
            }
        } else if (theirs.find("A?") != std::string::npos) {
            ++dnsQueries;
            EXPECT_EQ(ours, theirs);
        } else if (Counts(theirs) != "<none>") {
            ++dnsAnswers;
            // id and flags, answer/authority/additional counts, message length.
            EXPECT_EQ(FirstToken(ours), FirstToken(theirs));
            EXPECT_EQ(Counts(ours), Counts(theirs));
            EXPECT_EQ(ours.substr(ours.rfind('(')), theirs.substr(theirs.rfind('(')));
            EXPECT_EQ(Between(ours, "A? ", " "), "example.test.");
        } else {
            EXPECT_EQ(LastLength(ours), LastLength(theirs));
        }
    }
    EXPECT_GE(tcp, 6) << "handshake, data, acknowledgements and two FINs";
    EXPECT_EQ(tcpWithData, 1);
    EXPECT_EQ(dnsQueries, 1);
    EXPECT_EQ(dnsAnswers, 1);
    EXPECT_EQ(pings, 2) << "request and reply";
    EXPECT_GE(unreachables, 1);
}

}  // namespace
}  // namespace wirelens::dissect
