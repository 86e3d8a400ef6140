// Round trips through the established tools: files this program writes are
// read by tcpdump, tshark and capinfos; files tcpdump and editcap write (and
// tcpdump's live captures inside test namespaces) are read by this program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "files/capture_file_io.h"
#include "files/capture_file_writer.h"
#include "tests/capture_file_builder.h"
#include "tests/capture_file_test_support.h"
#include "tests/netns_fixture.h"

namespace wirelens {
namespace {

using testing::StoredPacket;
using testing::TempFolder;
using Bytes = std::vector<std::uint8_t>;

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

#define REQUIRE_TOOL(name) \
    if (!HaveTool(name)) GTEST_SKIP() << name << " is not installed (Debian package in TEST_PACKAGES)"

// Runs a shell command line; its standard output, or nothing when it failed.
std::optional<std::string> Output(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const auto end = line.find(separator, start);
        fields.push_back(line.substr(start, end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

std::string TimeText(const StoredPacket& p, bool nano) {
    char text[40];
    if (nano) {
        std::snprintf(text, sizeof text, "%lld.%09u", static_cast<long long>(p.seconds), p.nanoseconds);
    } else {
        std::snprintf(text, sizeof text, "%lld.%06u", static_cast<long long>(p.seconds), p.nanoseconds / 1000);
    }
    return text;
}

struct TcpdumpPacket {
    std::string time;
    Bytes bytes;
};

// tcpdump -tt -x: a line per packet starting with its time, then hex lines "\t0x0000:  4500 ...".
std::vector<TcpdumpPacket> ParseTcpdumpHex(const std::string& text) {
    std::vector<TcpdumpPacket> packets;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("\t0x", 0) == 0) {
            if (packets.empty()) continue;
            const auto colon = line.find(':');
            std::istringstream words(line.substr(colon + 1));
            for (std::string word; words >> word;) {
                for (std::size_t i = 0; i + 1 < word.size(); i += 2) {
                    packets.back().bytes.push_back(static_cast<std::uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
                }
            }
        } else if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            packets.push_back({line.substr(0, line.find(' ')), {}});
        }
    }
    return packets;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

// ---- files written here, read by the tools ----

TEST(CaptureFileTools, FilesWrittenHereReadTheSameInTcpdumpTsharkAndCapinfos) {
    REQUIRE_TOOL("tcpdump");
    REQUIRE_TOOL("tshark");
    REQUIRE_TOOL("capinfos");
    TempFolder folder;
    const auto packets = testing::SamplePackets();
    CaptureFileInfo info;
    info.interfaceName = "veth-tools";
    info.captureAddress = testing::Addr("198.51.100.9");
    info.kernelDrops = 3;
    for (const CaptureFileFormat format : {CaptureFileFormat::Pcap, CaptureFileFormat::PcapNg}) {
        for (const bool nano : {false, true}) {
            const bool pcapng = format == CaptureFileFormat::PcapNg;
            SCOPED_TRACE(std::string(pcapng ? "pcapng" : "pcap") + (nano ? " nano" : " micro"));
            info.nanosecondResolution = nano;
            const std::string path = folder.File(pcapng ? "out.pcapng" : "out.pcap");
            ASSERT_EQ(WriteCaptureFile(path, format, info, packets.size(),
                                       [&packets](std::size_t i) { return packets[i].View(); }),
                      std::nullopt);

            const auto tcpdump = Output("tcpdump -n -tt -x " + std::string(nano ? "--nano " : "") + "-r " + Quote(path));
            ASSERT_TRUE(tcpdump);
            const auto dumped = ParseTcpdumpHex(*tcpdump);
            ASSERT_EQ(dumped.size(), packets.size()) << *tcpdump;
            for (std::size_t i = 0; i < packets.size(); ++i) {
                EXPECT_EQ(dumped[i].time, TimeText(packets[i], nano)) << i;
                EXPECT_EQ(dumped[i].bytes, packets[i].bytes) << i;
            }

            const auto tshark = Output("tshark -r " + Quote(path) +
                                       " -T fields -e frame.time_epoch -e frame.len -e frame.cap_len"
                                       " -e frame.interface_name");
            ASSERT_TRUE(tshark);
            const auto rows = Lines(*tshark);
            ASSERT_EQ(rows.size(), packets.size()) << *tshark;
            for (std::size_t i = 0; i < packets.size(); ++i) {
                const auto fields = Split(rows[i], '\t');
                ASSERT_EQ(fields.size(), 4u) << rows[i];
                StoredPacket shown = packets[i];
                if (!nano) shown.nanoseconds = shown.nanoseconds / 1000 * 1000;
                EXPECT_EQ(fields[0], TimeText(shown, true)) << i;
                EXPECT_EQ(fields[1], std::to_string(packets[i].wireLength)) << i;
                EXPECT_EQ(fields[2], std::to_string(packets[i].bytes.size())) << i;
                EXPECT_EQ(fields[3], pcapng ? "veth-tools" : "") << i;
            }

            const auto capinfos = Output("capinfos -M " + Quote(path));
            ASSERT_TRUE(capinfos);
            EXPECT_NE(capinfos->find("Number of packets:   " + std::to_string(packets.size()) + "\n"),
                      std::string::npos) << *capinfos;
            EXPECT_NE(capinfos->find("File encapsulation:  rawip"), std::string::npos);
            EXPECT_NE(capinfos->find(nano ? "nanoseconds (9)" : "microseconds (6)"), std::string::npos);
            if (pcapng) {
                EXPECT_NE(capinfos->find("Name = veth-tools"), std::string::npos) << *capinfos;
                EXPECT_NE(capinfos->find("Number of stat entries = 1"), std::string::npos) << *capinfos;
            }
        }
    }
}

// ---- files written by the tools, read here ----

// Ethernet frames (one VLAN-tagged, one ARP) with known datagrams and nanosecond times.
struct CraftedCapture {
    Bytes file;
    std::vector<StoredPacket> expected;
};

CraftedCapture CraftEthernetCapture() {
    CraftedCapture crafted;
    testing::PcapHeaderFields header;
    header.nanosecond = true;
    testing::ByteSink sink = testing::PcapHeader(header);
    const auto packets = testing::SamplePackets();
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const StoredPacket& p = packets[i];
        const Bytes frame = i == 1 ? testing::EthernetFrame(p.bytes, 0x0800, {0x8100})
                                   : testing::EthernetFrame(p.bytes);
        testing::PcapRecord(sink, header, static_cast<std::uint32_t>(p.seconds), p.nanoseconds, frame,
                            static_cast<std::uint32_t>(frame.size() - p.bytes.size() + p.wireLength));
        crafted.expected.push_back(p);
        if (i == 2) {
            testing::PcapRecord(sink, header, static_cast<std::uint32_t>(p.seconds), 0,
                                testing::EthernetFrame(Bytes(28, 1), 0x0806));
        }
    }
    crafted.file = sink.out;
    return crafted;
}

TEST(CaptureFileTools, FilesWrittenByTcpdumpAndEditcapReadWithTheSamePackets) {
    REQUIRE_TOOL("tcpdump");
    REQUIRE_TOOL("editcap");
    TempFolder folder;
    const CraftedCapture crafted = CraftEthernetCapture();
    testing::WriteWholeFile(folder.File("crafted.pcap"), crafted.file);
    const auto micro = testing::ToMicroseconds(crafted.expected);

    struct Step {
        const char* name;
        std::string command;
        std::string output;
        bool nano;
        CaptureFileFormat format;
    };
    const auto f = [&folder](const char* name) { return Quote(folder.File(name)); };
    const Step steps[] = {
        {"tcpdump -w", "tcpdump -r " + f("crafted.pcap") + " -w " + f("t.pcap"), "t.pcap", false, CaptureFileFormat::Pcap},
        {"tcpdump nano -w", "tcpdump --time-stamp-precision=nano -r " + f("crafted.pcap") + " -w " + f("tn.pcap"), "tn.pcap", true, CaptureFileFormat::Pcap},
        {"editcap to pcapng", "editcap -F pcapng " + f("t.pcap") + " " + f("t.pcapng"), "t.pcapng", false, CaptureFileFormat::PcapNg},
        {"editcap to nanosecond pcap", "editcap -F nsecpcap " + f("tn.pcap") + " " + f("e.ns.pcap"), "e.ns.pcap", true, CaptureFileFormat::Pcap},
        {"editcap nanosecond to pcapng", "editcap -F pcapng " + f("tn.pcap") + " " + f("tn.pcapng"), "tn.pcapng", true, CaptureFileFormat::PcapNg},
        {"editcap to modified pcap", "editcap -F modpcap " + f("t.pcap") + " " + f("t.mod"), "t.mod", false, CaptureFileFormat::Pcap},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_TRUE(Output(step.command)) << step.command;
        const auto back = testing::ReadBackFile(folder.File(step.output));
        ASSERT_FALSE(back.result.error) << back.result.error->message;
        EXPECT_EQ(back.result.format, step.format);
        EXPECT_EQ(back.result.info.nanosecondResolution, step.nano);
        EXPECT_EQ(back.result.skippedFrames, 1u);  // the ARP frame
        EXPECT_EQ(back.packets, step.nano ? crafted.expected : micro);
    }
}

// ---- live captures by tcpdump inside test namespaces ----

// tcpdump writing a capture in the background, started inside a namespace.
class BackgroundTcpdump {
public:
    BackgroundTcpdump(const std::string& netns, const std::vector<std::string>& args) {
        int errPipe[2];
        if (::pipe2(errPipe, O_CLOEXEC) != 0) return;
        mPid = ::fork();
        if (mPid == 0) {
            ::dup2(errPipe[1], STDERR_FILENO);
            std::vector<std::string> argv = {"ip", "netns", "exec", netns, "tcpdump"};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> raw;
            for (auto& a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            ::execvp("ip", raw.data());
            ::_exit(127);
        }
        ::close(errPipe[1]);
        mStderr = errPipe[0];
    }
    ~BackgroundTcpdump() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
        if (mStderr >= 0) ::close(mStderr);
    }
    // Waits (bounded) until tcpdump says it is listening.
    bool WaitListening() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("listening on") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{mStderr, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[512];
            const ssize_t n = ::read(mStderr, buffer, sizeof buffer);
            if (n <= 0) return false;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Waits (bounded) for tcpdump to exit by itself; true when it did with status 0.
    bool WaitExit() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t done = ::waitpid(mPid, &status, WNOHANG);
            if (done == mPid) {
                mPid = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 20);
        }
        return false;
    }

private:
    pid_t mPid = -1;
    int mStderr = -1;
};

TEST(CaptureFileTools, LiveTcpdumpCapturesOnAnyAndLoopbackReadAsTsharkReadsThem) {
    REQUIRE_TOOL("tcpdump");
    REQUIRE_TOOL("tshark");
    if (auto why = testing::NetnsPair::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    testing::NetnsPair net;
    ASSERT_TRUE(net.Ok()) << net.Error();
    TempFolder folder;

    struct Case {
        const char* interface;
        bool pingFromB;  // else a pings its own address, over its loopback
        std::uint32_t linktypes[2];
    };
    const Case cases[] = {{"any", true, {276, 113}}, {"lo", false, {1, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interface);
        const std::string path = folder.File(std::string(c.interface) + ".pcap");
        BackgroundTcpdump tcpdump(net.NameA(), {"-i", c.interface, "-U", "-c", "6", "-w", path, "icmp"});
        ASSERT_TRUE(tcpdump.WaitListening());
        const std::vector<std::string> ping = {"ping", "-c", "3", "-i", "0.2", "-W", "2",
                                               testing::NetnsPair::kAddressA};
        ASSERT_EQ(c.pingFromB ? net.RunInB(ping) : net.RunInA(ping), 0);
        ASSERT_TRUE(tcpdump.WaitExit());

        const Bytes file = testing::ReadWholeFile(path);
        ASSERT_GE(file.size(), 24u);
        const std::uint32_t linktype = file[20] | (file[21] << 8) | (file[22] << 16) | (file[23] << 24);
        EXPECT_TRUE(linktype == c.linktypes[0] || linktype == c.linktypes[1]) << linktype;

        const auto back = testing::ReadBackFile(path);
        ASSERT_FALSE(back.result.error) << back.result.error->message;
        const auto tshark = Output("tshark -r " + Quote(path) +
                                   " -T fields -e frame.time_epoch -e ip.src -e ip.dst -e ip.len");
        ASSERT_TRUE(tshark);
        const auto rows = Lines(*tshark);
        ASSERT_EQ(back.packets.size(), 6u);
        ASSERT_EQ(rows.size(), back.packets.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto fields = Split(rows[i], '\t');
            ASSERT_EQ(fields.size(), 4u);
            const StoredPacket& p = back.packets[i];
            EXPECT_EQ(fields[0], TimeText(p, true));
            char src[16];
            char dst[16];
            std::snprintf(src, sizeof src, "%u.%u.%u.%u", p.bytes[12], p.bytes[13], p.bytes[14], p.bytes[15]);
            std::snprintf(dst, sizeof dst, "%u.%u.%u.%u", p.bytes[16], p.bytes[17], p.bytes[18], p.bytes[19]);
            EXPECT_EQ(fields[1], src);
            EXPECT_EQ(fields[2], dst);
            EXPECT_EQ(fields[3], std::to_string(p.wireLength));
            EXPECT_EQ(p.bytes.size(), p.wireLength);
        }
    }
}

}  // namespace
}  // namespace wirelens
