#pragma once
// DNS message (RFC 1035 section 4): header and first question.
#include <cstdint>
#include <string>

#include "capture/byte_reader.h"
#include "dissect/tree.h"

namespace wirelens::dissect {

inline constexpr std::size_t kDnsHeader = 12;

struct DnsMessage {
    bool cut = false;  // header not wholly kept
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::uint16_t questions = 0;
    std::uint16_t answers = 0;
    std::uint16_t authorities = 0;
    std::uint16_t additionals = 0;
    std::uint32_t length = 0;  // of the message
    // The first question, if there is one and it was wholly kept.
    bool hasQuestion = false;
    bool questionCut = false;
    std::size_t questionNameEnd = 0;  // the name's end in the message (pointers not followed)
    std::uint16_t questionType = 0;
    std::uint16_t questionClass = 0;

    bool Response() const { return flags & 0x8000; }
    std::uint8_t Opcode() const { return (flags >> 11) & 0x0F; }
    std::uint8_t Rcode() const { return flags & 0x0F; }
};

DnsMessage DecodeDns(const ByteReader& message, std::uint32_t length);

// Appends the name at `offset`, following compression pointers, in dotted
// form with a final dot. Returns the offset just past the name where it lies
// (pointers not followed), or 0 when the name is cut or loops.
std::size_t AppendDnsName(const ByteReader& message, std::size_t offset, std::string& out);

// tcpdump's: "4660+ A? example.test. (29)"; a response:
// "4660* q: A? example.test. 1/0/0 (45)".
void AppendDnsSummary(const DnsMessage& dns, const ByteReader& message, std::string& out);

void AddDnsLayer(const DnsMessage& dns, const ByteReader& message, std::uint32_t base, DissectTree& tree);

}  // namespace wirelens::dissect
