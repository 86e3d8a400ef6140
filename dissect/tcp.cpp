#include "dissect/tcp.h"

#include <algorithm>
#include <string_view>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::uint8_t kOptEol = 0, kOptNop = 1, kOptMss = 2, kOptWscale = 3, kOptSackOk = 4, kOptSack = 5,
                       kOptTimestamp = 8;

struct TcpOption {
    enum class State : std::uint8_t { Good, BadLength, Cut };
    std::uint8_t kind = 0;
    std::size_t offset = 0;  // in the segment
    std::size_t length = 0;  // kind and length bytes included
    State state = State::Good;
};

std::size_t ExpectedLength(std::uint8_t kind) {
    switch (kind) {
    case kOptMss: return 4;
    case kOptWscale: return 3;
    case kOptSackOk: return 2;
    case kOptTimestamp: return 10;
    default: return 0;  // any
    }
}

bool LengthFits(std::uint8_t kind, std::size_t length) {
    const std::size_t expected = ExpectedLength(kind);
    if (expected != 0) return length == expected;
    return kind != kOptSack || (length - 2) % 8 == 0;
}

// Calls visit(option) for each option up to the data offset; stops after an
// end-of-list option, a bad length, or the end of the bytes kept.
template <typename Visit>
void ForEachOption(const ByteReader& segment, std::size_t headerLength, Visit visit) {
    std::size_t at = kTcpMinimumHeader;
    while (at < headerLength) {
        TcpOption option;
        option.offset = at;
        if (!segment.Has(at, 1)) {
            option.state = TcpOption::State::Cut;
            visit(option);
            return;
        }
        option.kind = segment.U8(at);
        if (option.kind == kOptEol || option.kind == kOptNop) {
            option.length = 1;
        } else if (!segment.Has(at + 1, 1)) {
            option.state = TcpOption::State::Cut;
        } else {
            option.length = segment.U8(at + 1);
            if (option.length < 2 || at + option.length > headerLength || !LengthFits(option.kind, option.length)) {
                option.state = TcpOption::State::BadLength;
            } else if (!segment.Has(at, option.length)) {
                option.state = TcpOption::State::Cut;
            }
        }
        visit(option);
        if (option.state != TcpOption::State::Good || option.kind == kOptEol) return;
        at += option.length;
    }
}

std::string_view OptionName(std::uint8_t kind) {
    switch (kind) {
    case kOptEol: return "eol";
    case kOptNop: return "nop";
    case kOptMss: return "mss";
    case kOptWscale: return "wscale";
    case kOptSackOk: return "sackOK";
    case kOptSack: return "sack";
    case kOptTimestamp: return "TS";
    case 19: return "md5";
    case 28: return "uto";
    case 29: return "tcp-ao";
    case 30: return "mptcp";
    case 34: return "tfo";
    case 253:
    case 254: return "exp";
    default: return {};
    }
}

// An option as tcpdump prints it: "mss 1460", "TS val 1 ecr 2", "sack 1 {5:9}".
void AppendOption(const TcpOption& option, const ByteReader& segment, std::string& out) {
    const std::string_view name = OptionName(option.kind);
    if (name.empty()) {
        out += "unknown-";
        AppendDecimal(out, option.kind);
    } else {
        out += name;
    }
    const std::size_t at = option.offset;
    switch (option.kind) {
    case kOptMss:
        out += ' ';
        AppendDecimal(out, segment.U16Be(at + 2));
        break;
    case kOptWscale:
        out += ' ';
        AppendDecimal(out, segment.U8(at + 2));
        break;
    case kOptSack: {
        const std::size_t blocks = (option.length - 2) / 8;
        out += ' ';
        AppendDecimal(out, blocks);
        out += ' ';
        for (std::size_t i = 0; i < blocks; ++i) {
            out += '{';
            AppendDecimal(out, segment.U32Be(at + 2 + 8 * i));
            out += ':';
            AppendDecimal(out, segment.U32Be(at + 6 + 8 * i));
            out += '}';
        }
        break;
    }
    case kOptTimestamp:
        out += " val ";
        AppendDecimal(out, segment.U32Be(at + 2));
        out += " ecr ";
        AppendDecimal(out, segment.U32Be(at + 6));
        break;
    default:
        break;
    }
}


constexpr struct {
    std::uint16_t bit;
    char letter;
} kFlagLetters[] = {{tcp_flag::kFin, 'F'}, {tcp_flag::kSyn, 'S'}, {tcp_flag::kRst, 'R'},
                    {tcp_flag::kPush, 'P'}, {tcp_flag::kAck, '.'}, {tcp_flag::kUrg, 'U'},
                    {tcp_flag::kEce, 'E'},  {tcp_flag::kCwr, 'W'}};

void AppendFlags(std::uint16_t flags, std::string& out) {
    out += '[';
    bool any = false;
    for (const auto& f : kFlagLetters) {
        if (flags & f.bit) {
            out += f.letter;
            any = true;
        }
    }
    if (!any) out += "none";
    out += ']';
}

}  // namespace

TcpHeader DecodeTcp(const ByteReader& segment, std::uint32_t segmentLength) {
    TcpHeader tcp;
    if (!segment.Has(0, kTcpMinimumHeader)) {
        tcp.problem = TcpHeader::Problem::Cut;
        return tcp;
    }
    tcp.srcPort = segment.U16Be(0);
    tcp.dstPort = segment.U16Be(2);
    tcp.seq = segment.U32Be(4);
    tcp.ack = segment.U32Be(8);
    tcp.headerLength = static_cast<std::uint8_t>((segment.U8(12) >> 4) * 4);
    tcp.flags = static_cast<std::uint16_t>(((segment.U8(12) & 0x01) << 8) | segment.U8(13));
    tcp.window = segment.U16Be(14);
    tcp.checksum = segment.U16Be(16);
    tcp.urgent = segment.U16Be(18);
    if (tcp.headerLength < kTcpMinimumHeader) {
        tcp.problem = TcpHeader::Problem::OffsetTooShort;
    } else if (tcp.headerLength > segmentLength) {
        tcp.problem = TcpHeader::Problem::OffsetTooLong;
    } else {
        tcp.payloadLength = segmentLength - tcp.headerLength;
    }
    return tcp;
}

void AppendTcpSummary(const TcpHeader& tcp, const ByteReader& segment, std::string& out) {
    switch (tcp.problem) {
    case TcpHeader::Problem::None:
        break;
    case TcpHeader::Problem::Cut:
        out += "[|tcp]";
        return;
    case TcpHeader::Problem::OffsetTooShort:
        out += "[bad hdr length ";
        AppendDecimal(out, tcp.headerLength);
        out += " - too short, < 20]";
        return;
    case TcpHeader::Problem::OffsetTooLong:
        out += "[bad hdr length ";
        AppendDecimal(out, tcp.headerLength);
        out += " - too long, > segment]";
        return;
    }
    out += "Flags ";
    AppendFlags(tcp.flags, out);
    if (tcp.payloadLength > 0 || (tcp.flags & (tcp_flag::kSyn | tcp_flag::kFin | tcp_flag::kRst))) {
        out += ", seq ";
        AppendDecimal(out, tcp.seq);
        if (tcp.payloadLength > 0) {
            out += ':';
            AppendDecimal(out, static_cast<std::uint32_t>(tcp.seq + tcp.payloadLength));
        }
    }
    if (tcp.flags & tcp_flag::kAck) {
        out += ", ack ";
        AppendDecimal(out, tcp.ack);
    }
    out += ", win ";
    AppendDecimal(out, tcp.window);
    if (tcp.flags & tcp_flag::kUrg) {
        out += ", urg ";
        AppendDecimal(out, tcp.urgent);
    }
    if (tcp.headerLength > kTcpMinimumHeader) {
        out += ", options [";
        bool cut = false;
        bool first = true;
        ForEachOption(segment, tcp.headerLength, [&](const TcpOption& option) {
            if (!first && option.state != TcpOption::State::Cut) out += ',';
            first = false;
            if (option.state == TcpOption::State::Cut) {
                cut = true;
            } else if (option.state == TcpOption::State::BadLength) {
                out += "[bad opt]";
            } else {
                AppendOption(option, segment, out);
            }
        });
        if (cut) {
            out += " [|tcp]";
            return;
        }
        out += ']';
    }
    out += ", length ";
    AppendDecimal(out, tcp.payloadLength);
}

void AddTcpLayer(const TcpHeader& tcp, const ByteReader& segment, std::uint32_t base, DissectTree& tree) {
    std::string title = "Transmission Control Protocol";
    if (tcp.problem != TcpHeader::Problem::Cut) {
        title += ", Src Port: " + Decimal(tcp.srcPort) + ", Dst Port: " + Decimal(tcp.dstPort);
    }
    const std::size_t headerBytes =
        tcp.problem == TcpHeader::Problem::None ? tcp.headerLength : kTcpMinimumHeader;
    LayerBuilder layer(tree, std::move(title), segment.Sub(0, headerBytes), base);
    if (tcp.problem == TcpHeader::Problem::Cut) {
        layer.Note("Header", "cut [|tcp]");
        return;
    }
    layer.Add("Source Port", Decimal(tcp.srcPort), 0, 2);
    layer.Add("Destination Port", Decimal(tcp.dstPort), 2, 2);
    layer.Add("Sequence Number", Decimal(tcp.seq), 4, 4);
    layer.Add("Acknowledgment Number", Decimal(tcp.ack), 8, 4);
    layer.Add("Header Length", Decimal(tcp.headerLength) + " bytes", 12, 1);
    std::string flags = Hex(tcp.flags, 3) + ' ';
    AppendFlags(tcp.flags, flags);
    layer.Add("Flags", std::move(flags), 12, 2);
    layer.Add("Window", Decimal(tcp.window), 14, 2);
    layer.Add("Checksum", Hex(tcp.checksum, 4), 16, 2);
    layer.Add("Urgent Pointer", Decimal(tcp.urgent), 18, 2);
    if (tcp.problem != TcpHeader::Problem::None) {
        std::string why;
        AppendTcpSummary(tcp, segment, why);
        layer.Note("Not trusted", std::move(why));
        return;
    }
    if (tcp.headerLength > kTcpMinimumHeader) {
        layer.Add("Options", Decimal(tcp.headerLength - kTcpMinimumHeader) + " bytes", kTcpMinimumHeader,
                  tcp.headerLength - kTcpMinimumHeader);
        ForEachOption(segment, tcp.headerLength, [&](const TcpOption& option) {
            std::string text;
            if (option.state == TcpOption::State::Cut) {
                layer.Note("Option", "cut [|tcp]");
                return;
            }
            if (option.state == TcpOption::State::BadLength) {
                text = "[bad opt] kind " + Decimal(option.kind);
                layer.Add("Option", std::move(text), option.offset, segment.Has(option.offset, 2) ? 2 : 1, 1);
                return;
            }
            AppendOption(option, segment, text);
            layer.Add("Option", std::move(text), option.offset, option.length, 1);
        });
    }
    layer.Note("Payload Length", Decimal(tcp.payloadLength));
}

}  // namespace wirelens::dissect
