#pragma once
// Real IPv4 datagrams as bytes, for the decoder's tests and its fuzzers' seeds.
// Each was checked against what `tcpdump -nn -v -S` prints for it.
#include <cstdint>
#include <string_view>
#include <vector>

namespace wirelens::testing {

using ByteVector = std::vector<std::uint8_t>;

inline ByteVector FromHex(std::string_view hex) {
    ByteVector out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

inline ByteVector Join(ByteVector head, std::size_t fillCount, std::uint8_t fill, std::string_view tailHex = {}) {
    head.insert(head.end(), fillCount, fill);
    const ByteVector tail = FromHex(tailHex);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// 198.51.100.2.6000 > 198.51.100.1.40000 SYN-ACK with the options Linux sends.
inline ByteVector TcpSynAck() {
    return FromHex("4500003c000040004006e651c6336402c633640117709c40cafebabe00000001a012faf0bf220000"
                   "020405b40402080a000000010000000201030307");
}
// PSH-ACK with 100 bytes of data behind a timestamp option.
inline ByteVector TcpData() {
    return Join(FromHex("45000098000740004006e5eec6336401c63364029c401770000003e8000007d0801801f6d8f900000101"
                        "080a0000000300000004"),
                100, 'x');
}
// ACK with two SACK blocks.
inline ByteVector TcpSack() {
    return FromHex("4500003c0001000040062651c6336401c63364029c4017700000000500000009a01000644d380000"
                   "0101051200000064000000c80000012c00000190");
}
// DNS query 4660, recursion desired, A? example.test.
inline ByteVector DnsQuery() {
    return FromHex("4500003a0001000040112648c6336402c63364019c4000350026c406123401000001000000000000"
                   "076578616d706c6504746573740000010001");
}
// DNS response 4660, authoritative NXDomain for AAAA? nowhere.example.test. with an SOA.
inline ByteVector DnsResponse() {
    return FromHex("450000700001000040112612c6336401c633640200359c40005cb5a9123485830001000000010000"
                   "076e6f7768657265076578616d706c65047465737400001c0001076578616d706c65047465737400"
                   "0006000100000000001600000000000000000000000000000000000000000000");
}
// Echo request id 7 seq 1 with 56 bytes of data.
inline ByteVector IcmpEchoRequest() {
    return Join(FromHex("45000054000100004001263ec6336402c63364010800abab00070001"), 56, 'p');
}
// Port unreachable quoting UDP 198.51.100.1.40000 > 198.51.100.2.9 whole.
inline ByteVector IcmpPortUnreachable() {
    return FromHex("4500003c0001000040012656c6336402c63364010303518500000000450000200063000040112600"
                   "c6336401c63364029c400009000c4a5b61626364");
}
// Time exceeded quoting a TCP SYN's first 8 bytes.
inline ByteVector IcmpTimeExceeded() {
    return FromHex("45000038000100004001265ac6336402c63364010b00586f00000000450000280001000001065391"
                   "c6336401cb0071099c40005000000000");
}
// A middle UDP fragment: id 4321, offset 600, more to come.
inline ByteVector UdpFragment() { return Join(FromHex("4500003c10e1204b4011f51ac6336401c6336402"), 40, 'f'); }
// DHCP Discover from 02:00:5e:00:01:aa.
inline ByteVector DhcpDiscover() {
    return Join(FromHex("4500011000010000401179dd00000000ffffffff0044004300fc7ab4010106003903f326000000000000"
                        "000000000000000000000000000002005e0001aa"),
                264 - 62, 0, "63825363350101ff");
}
// NTPv4 client request.
inline ByteVector NtpClient() {
    return FromHex("4500004c0001000040112636c6336401c6336402007b007b0038a01023020a0000000000000000007f00"
                   "00010000000000000000eec25721a11f70000000000000000000eec25721a1202000");
}
inline ByteVector IgmpV2Report() { return FromHex("4500001c000100000102aeafc6336401e00000fb161408f0e00000fb"); }
inline ByteVector Esp() {
    return FromHex("45000034000100004032262dc6336401c63364020000123400000001656565656565656565656565"
                   "656565656565656565656565");
}
inline ByteVector Gre() {
    return FromHex("4500002c00010000402f2638c6336401c6336402000008006767676767676767676767676767676767676767");
}

}  // namespace wirelens::testing
