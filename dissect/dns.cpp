#include "dissect/dns.h"

#include <string_view>

#include "dissect/text.h"

namespace wirelens::dissect {
namespace {

constexpr std::size_t kMaxNameBytes = 255;   // RFC 1035 section 2.3.4
constexpr int kMaxPointers = 64;             // a loop of pointers ends here

std::string_view TypeName(std::uint16_t type) {
    switch (type) {
    case 1: return "A";
    case 2: return "NS";
    case 5: return "CNAME";
    case 6: return "SOA";
    case 12: return "PTR";
    case 13: return "HINFO";
    case 15: return "MX";
    case 16: return "TXT";
    case 28: return "AAAA";
    case 33: return "SRV";
    case 35: return "NAPTR";
    case 41: return "OPT";
    case 43: return "DS";
    case 46: return "RRSIG";
    case 47: return "NSEC";
    case 48: return "DNSKEY";
    case 64: return "SVCB";
    case 65: return "HTTPS";
    case 251: return "IXFR";
    case 252: return "AXFR";
    case 255: return "ANY";
    case 257: return "CAA";
    default: return {};
    }
}

void AppendType(std::uint16_t type, std::string& out) {
    const std::string_view name = TypeName(type);
    if (name.empty()) {
        out += "Type";
        AppendDecimal(out, type);
    } else {
        out += name;
    }
}

constexpr std::string_view kOpcodes[16] = {"",         " inv_q",   " stat",     " op3",
                                           " notify",  " update",  " op6",      " op7",
                                           " op8",     " updateA", " updateD",  " updateDA",
                                           " updateM", " updateMA", " zoneInit", " zoneRef"};
constexpr std::string_view kRcodes[16] = {"",          " FormErr",  " ServFail", " NXDomain",
                                          " NotImp",   " Refused",  " YXDomain", " YXRRSet",
                                          " NXRRSet",  " NotAuth",  " NotZone",  " Resp11",
                                          " Resp12",   " Resp13",   " Resp14",   " NoChange"};

void AppendQuestion(const DnsMessage& dns, const ByteReader& message, std::string& out) {
    out += ' ';
    AppendType(dns.questionType, out);
    out += "? ";
    AppendDnsName(message, kDnsHeader, out);
    const std::uint16_t cls = dns.questionClass & 0x7FFF;
    if (cls != 1) {
        out += cls == 3 ? " CHAOS" : cls == 255 ? " ANY" : " Class";
        if (cls != 3 && cls != 255) AppendDecimal(out, cls);
    }
    if (dns.questionClass & 0x8000) out += " (QU)";
}

// Walks the name at `offset`, writing its text to `out` when given one.
std::size_t WalkName(const ByteReader& message, std::size_t offset, std::string* out) {
    std::size_t end = 0;  // past the name where it lies, set at the first pointer
    std::size_t at = offset;
    std::size_t written = 0;
    int pointers = 0;
    for (;;) {
        if (!message.Has(at, 1)) return 0;
        const std::uint8_t label = message.U8(at);
        if (label == 0) {
            if (written == 0 && out) *out += '.';
            return end != 0 ? end : at + 1;
        }
        if ((label & 0xC0) == 0xC0) {
            if (!message.Has(at, 2) || ++pointers > kMaxPointers) return 0;
            if (end == 0) end = at + 2;
            at = message.U16Be(at) & 0x3FFF;
            continue;
        }
        if ((label & 0xC0) != 0 || !message.Has(at + 1, label)) return 0;  // extended labels are not decoded
        written += label + 1u;
        if (written > kMaxNameBytes) return 0;
        at += 1 + label;
        if (!out) continue;
        for (std::size_t i = at - label; i < at; ++i) {
            const std::uint8_t c = message.U8(i);
            if (c > ' ' && c < 0x7F && c != '.' && c != '\\') {
                *out += static_cast<char>(c);
            } else {
                *out += '\\';
                *out += static_cast<char>('0' + c / 100);
                *out += static_cast<char>('0' + c / 10 % 10);
                *out += static_cast<char>('0' + c % 10);
            }
        }
        *out += '.';
    }
}

}  // namespace

std::size_t AppendDnsName(const ByteReader& message, std::size_t offset, std::string& out) {
    return WalkName(message, offset, &out);
}

DnsMessage DecodeDns(const ByteReader& message, std::uint32_t length) {
    DnsMessage dns;
    dns.length = length;
    if (!message.Has(0, kDnsHeader)) {
        dns.cut = true;
        return dns;
    }
    dns.id = message.U16Be(0);
    dns.flags = message.U16Be(2);
    dns.questions = message.U16Be(4);
    dns.answers = message.U16Be(6);
    dns.authorities = message.U16Be(8);
    dns.additionals = message.U16Be(10);
    if (dns.questions == 0) return dns;
    const std::size_t nameEnd = WalkName(message, kDnsHeader, nullptr);
    if (nameEnd == 0 || !message.Has(nameEnd, 4)) {
        dns.questionCut = true;
        return dns;
    }
    dns.hasQuestion = true;
    dns.questionNameEnd = nameEnd;
    dns.questionType = message.U16Be(nameEnd);
    dns.questionClass = message.U16Be(nameEnd + 2);
    return dns;
}

void AppendDnsSummary(const DnsMessage& dns, const ByteReader& message, std::string& out) {
    if (dns.cut) {
        out += "[|domain]";
        return;
    }
    AppendDecimal(out, dns.id);
    out += kOpcodes[dns.Opcode()];
    if (dns.Response()) {
        out += kRcodes[dns.Rcode()];
        if (dns.flags & 0x0400) out += '*';
        if (!(dns.flags & 0x0080)) out += '-';
        if (dns.flags & 0x0200) out += '|';
        if (dns.flags & 0x0020) out += '$';
    } else {
        if (dns.flags & 0x0100) out += '+';
        if (dns.flags & 0x0010) out += '%';
    }
    if (dns.questions != 1) {
        out += " [";
        AppendDecimal(out, dns.questions);
        out += "q]";
    }
    if (dns.Response()) {
        if (dns.hasQuestion) {
            out += " q:";
            AppendQuestion(dns, message, out);
        }
        out += ' ';
        AppendDecimal(out, dns.answers);
        out += '/';
        AppendDecimal(out, dns.authorities);
        out += '/';
        AppendDecimal(out, dns.additionals);
    } else {
        if (dns.answers != 0) {
            out += " [";
            AppendDecimal(out, dns.answers);
            out += "a]";
        }
        if (dns.authorities != 0) {
            out += " [";
            AppendDecimal(out, dns.authorities);
            out += "n]";
        }
        if (dns.additionals != 0) {
            out += " [";
            AppendDecimal(out, dns.additionals);
            out += "au]";
        }
        if (dns.hasQuestion) AppendQuestion(dns, message, out);
    }
    if (dns.questionCut) {
        out += " [|domain]";
        return;
    }
    out += " (";
    AppendDecimal(out, dns.length);
    out += ')';
}

void AddDnsLayer(const DnsMessage& dns, const ByteReader& message, std::uint32_t base, DissectTree& tree) {
    std::string title = "Domain Name System";
    if (!dns.cut) title += dns.Response() ? " (response)" : " (query)";
    LayerBuilder layer(tree, std::move(title), message, base);
    if (dns.cut) {
        layer.Note("Header", "cut [|domain]");
        return;
    }
    layer.Add("Transaction ID", Hex(dns.id, 4) + " (" + Decimal(dns.id) + ")", 0, 2);
    layer.Add("Flags", Hex(dns.flags, 4), 2, 2);
    layer.Add("Response", dns.Response() ? "response" : "query", 2, 1, 1);
    std::string opcode = Decimal(dns.Opcode());
    if (dns.Opcode() == 0) opcode += " (standard query)";
    layer.Add("Opcode", std::move(opcode), 2, 1, 1);
    if (dns.Response()) {
        layer.Add("Authoritative", (dns.flags & 0x0400) ? "yes" : "no", 2, 1, 1);
        layer.Add("Truncated", (dns.flags & 0x0200) ? "yes" : "no", 2, 1, 1);
    }
    layer.Add("Recursion Desired", (dns.flags & 0x0100) ? "yes" : "no", 2, 1, 1);
    if (dns.Response()) {
        layer.Add("Recursion Available", (dns.flags & 0x0080) ? "yes" : "no", 3, 1, 1);
        std::string rcode(kRcodes[dns.Rcode()]);
        layer.Add("Reply Code", Named(dns.Rcode(), rcode.empty() ? "NoError" : rcode.substr(1)), 3, 1, 1);
    }
    layer.Add("Questions", Decimal(dns.questions), 4, 2);
    layer.Add("Answer RRs", Decimal(dns.answers), 6, 2);
    layer.Add("Authority RRs", Decimal(dns.authorities), 8, 2);
    layer.Add("Additional RRs", Decimal(dns.additionals), 10, 2);
    if (dns.questionCut) {
        layer.Note("Query", "cut [|domain]");
        return;
    }
    if (!dns.hasQuestion) return;
    std::string name;
    AppendDnsName(message, kDnsHeader, name);
    std::string query = name + ' ';
    AppendType(dns.questionType, query);
    layer.Add("Query", std::move(query), kDnsHeader, dns.questionNameEnd + 4 - kDnsHeader);
    layer.Add("Name", std::move(name), kDnsHeader, dns.questionNameEnd - kDnsHeader, 1);
    std::string type;
    AppendType(dns.questionType, type);
    layer.Add("Type", Named(dns.questionType, type), dns.questionNameEnd, 2, 1);
    layer.Add("Class", Hex(dns.questionClass, 4), dns.questionNameEnd + 2, 2, 1);
}

}  // namespace wirelens::dissect
