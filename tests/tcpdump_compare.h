#pragma once
// Comparing with tcpdump: datagrams written to a raw-IPv4 pcap file (kept bytes
// and original lengths as a capture keeps them), and the datagrams that
// `tcpdump -r FILE EXPR` prints.
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace wirelens::testing {

struct Crafted {
    std::vector<std::uint8_t> kept;  // at most kReceiveBufferSize
    std::uint32_t wireLength;
};

// A pcap file of the datagrams; datagram i has the timestamp i seconds.
class PcapFile {
public:
    explicit PcapFile(const std::vector<Crafted>& datagrams) {
        char name[] = "/tmp/wirelens-filter-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        mPath = name;
        pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
        pcap_dumper_t* dumper = pcap_dump_open(dead, mPath.c_str());
        if (dumper == nullptr) {
            mError = pcap_geterr(dead);
        } else {
            for (std::size_t i = 0; i < datagrams.size(); ++i) {
                pcap_pkthdr header{};
                header.ts.tv_sec = static_cast<time_t>(i);
                header.caplen = static_cast<bpf_u_int32>(datagrams[i].kept.size());
                header.len = datagrams[i].wireLength;
                pcap_dump(reinterpret_cast<u_char*>(dumper), &header, datagrams[i].kept.data());
            }
            pcap_dump_close(dumper);
        }
        pcap_close(dead);
    }
    ~PcapFile() { std::remove(mPath.c_str()); }
    const std::string& Path() const { return mPath; }
    const std::string& Error() const { return mError; }

private:
    std::string mPath;
    std::string mError;
};

inline std::string TcpdumpPath() {
    for (const char* path : {"/usr/bin/tcpdump", "/usr/sbin/tcpdump"})
        if (access(path, X_OK) == 0) return path;
    return {};
}

struct TcpdumpRun {
    std::set<std::size_t> printed;  // datagram indexes, from the timestamps
    std::string errors;
    int status = -1;
};

// The expression goes to tcpdump in single quotes; none of the tested ones holds one.
inline TcpdumpRun RunTcpdump(const std::string& file, const std::string& expression) {
    TcpdumpRun run;
    const std::string out = file + ".out", err = file + ".err";
    const std::string command = TcpdumpPath() + " -tt -nn -r " + file + " '" + expression + "' >" + out + " 2>" + err;
    run.status = std::system(command.c_str());
    std::ifstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        // "7.000000 IP ...": one line per datagram, led by its timestamp.
        const auto dot = line.find('.');
        if (dot == std::string::npos || dot == 0 || line.compare(dot, 8, ".000000 ") != 0) continue;
        run.printed.insert(static_cast<std::size_t>(std::stoul(line.substr(0, dot))));
    }
    std::ifstream errors(err);
    std::stringstream text;
    text << errors.rdbuf();
    run.errors = text.str();
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

}  // namespace wirelens::testing
