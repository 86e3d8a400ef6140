#include "packets/display_filter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cctype>

#include "capture/decode.h"
#include "packets/packet_sort.h"

namespace wirelens {

namespace {
// Large enough that no kept datagram is cut by the compiled program's snap length.
constexpr int kFilterSnapLength = 65535;
}  // namespace

struct DisplayFilter::Program {
    bpf_program code{};
    ~Program() { pcap_freecode(&code); }
};

DisplayFilter::DisplayFilter() = default;
DisplayFilter::~DisplayFilter() = default;
DisplayFilter::DisplayFilter(DisplayFilter&&) noexcept = default;
DisplayFilter& DisplayFilter::operator=(DisplayFilter&&) noexcept = default;

bool IsBlankExpression(std::string_view expression) {
    return std::all_of(expression.begin(), expression.end(),
                       [](unsigned char c) { return std::isspace(c) != 0; });
}

DisplayFilterResult DisplayFilter::Compile(std::string_view expression) {
    DisplayFilterResult result;
    if (IsBlankExpression(expression)) return result;

    pcap_t* dead = pcap_open_dead(DLT_RAW, kFilterSnapLength);
    if (dead == nullptr) {
        result.error = "cannot prepare the filter compiler";
        return result;
    }
    auto program = std::make_unique<Program>();
    const std::string text(expression);
    if (pcap_compile(dead, &program->code, text.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        result.error = pcap_geterr(dead);
        if (result.error.empty()) result.error = "invalid filter expression";
        pcap_close(dead);
        return result;
    }
    pcap_close(dead);
    result.filter.mProgram = std::move(program);
    result.filter.mExpression = text;
    return result;
}

std::string CombineFilterExpressions(std::string_view current, std::string_view added, FilterJoin join) {
    if (join == FilterJoin::Replace || IsBlankExpression(current)) return std::string(added);
    if (IsBlankExpression(added)) return std::string(current);
    std::string joined;
    joined.reserve(current.size() + added.size() + 10);
    joined.append("(").append(current).append(join == FilterJoin::And ? ") and (" : ") or (").append(added).append(")");
    return joined;
}

std::string CellFilterExpression(int column, const clV& record) {
    switch (static_cast<SortColumn>(column)) {
        case SortColumn::Protocol:
            switch (record.Protocol()) {
                case kProtocolTcp: return "tcp";
                case kProtocolUdp: return "udp";
                case kProtocolIcmp: return "icmp";
                default: return "ip proto " + std::to_string(record.Protocol());
            }
        case SortColumn::SrcAddr: return "host " + record.mSrcAddr();
        case SortColumn::DestAddr: return "host " + record.mDestAddr();
        case SortColumn::SrcPort: return record.HasPorts() ? "port " + record.mSrcPort() : std::string();
        case SortColumn::DestPort: return record.HasPorts() ? "port " + record.mDestPort() : std::string();
        case SortColumn::Size:
        case SortColumn::Time: return {};
    }
    return {};
}

bool DisplayFilter::Matches(std::span<const std::uint8_t> kept, std::uint32_t wireLength) const {
    if (mProgram == nullptr) return true;
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(kept.size());
    // A datagram is never shorter on the wire than what was kept of it.
    header.len = std::max<bpf_u_int32>(wireLength, header.caplen);
    return pcap_offline_filter(&mProgram->code, &header, kept.data()) != 0;
}

}  // namespace wirelens
