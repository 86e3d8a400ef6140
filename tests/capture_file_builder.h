#pragma once
// Builds pcap and pcapng files byte by byte for tests, in either byte order,
// independently of the program's own writers; and frames of each link type
// around an IPv4 datagram.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wirelens::testing {

using ByteVector = std::vector<std::uint8_t>;

class ByteSink {
public:
    explicit ByteSink(bool bigEndian) : mBigEndian(bigEndian) {}
    void U8(std::uint8_t v) { out.push_back(v); }
    void U16(std::uint16_t v) {
        if (mBigEndian) {
            U8(static_cast<std::uint8_t>(v >> 8));
            U8(static_cast<std::uint8_t>(v));
        } else {
            U8(static_cast<std::uint8_t>(v));
            U8(static_cast<std::uint8_t>(v >> 8));
        }
    }
    void U32(std::uint32_t v) {
        if (mBigEndian) {
            U16(static_cast<std::uint16_t>(v >> 16));
            U16(static_cast<std::uint16_t>(v));
        } else {
            U16(static_cast<std::uint16_t>(v));
            U16(static_cast<std::uint16_t>(v >> 16));
        }
    }
    void U64(std::uint64_t v) {
        if (mBigEndian) {
            U32(static_cast<std::uint32_t>(v >> 32));
            U32(static_cast<std::uint32_t>(v));
        } else {
            U32(static_cast<std::uint32_t>(v));
            U32(static_cast<std::uint32_t>(v >> 32));
        }
    }
    void SetBigEndian(bool bigEndian) { mBigEndian = bigEndian; }
    void Append(const ByteVector& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
    void PadTo4() {
        while (out.size() % 4 != 0) out.push_back(0);
    }
    ByteVector out;

private:
    bool mBigEndian;
};

// ---- pcap ----

struct PcapHeaderFields {
    bool bigEndian = false;
    bool nanosecond = false;
    bool modified = false;  // a1b2cd34: 8 more bytes per record header
    std::uint32_t linktype = 1;
    std::uint32_t snapLength = 65535;
    std::uint16_t major = 2;
};

inline ByteSink PcapHeader(const PcapHeaderFields& f) {
    ByteSink s(f.bigEndian);
    s.U32(f.modified ? 0xA1B2CD34 : f.nanosecond ? 0xA1B23C4D : 0xA1B2C3D4);
    s.U16(f.major);
    s.U16(4);
    s.U32(0);  // thiszone
    s.U32(0);  // sigfigs
    s.U32(f.snapLength);
    s.U32(f.linktype);
    return s;
}

// fraction is in the file's unit (micro- or nanoseconds); wire 0 means the frame's size.
inline void PcapRecord(ByteSink& s, const PcapHeaderFields& f, std::uint32_t seconds,
                       std::uint32_t fraction, const ByteVector& frame, std::uint32_t wire = 0) {
    s.U32(seconds);
    s.U32(fraction);
    s.U32(static_cast<std::uint32_t>(frame.size()));
    s.U32(wire != 0 ? wire : static_cast<std::uint32_t>(frame.size()));
    if (f.modified) {
        s.U32(1);  // ifindex
        s.U16(0x0800);
        s.U8(0);
        s.U8(0);
    }
    s.Append(frame);
}

// ---- pcapng ----

struct InterfaceFields {
    std::uint16_t linktype = 1;
    std::uint32_t snapLength = 0;
    int tsresol = -1;  // option value byte, -1: absent (microseconds)
    std::int64_t tsoffset = 0;
    bool hasTsoffset = false;
    std::string name;
    ByteVector ipv4AddrAndMask;  // 8 bytes, empty: absent
};

inline InterfaceFields Interface(std::uint16_t linktype, std::string name = {},
                                 ByteVector ipv4AddrAndMask = {}) {
    InterfaceFields f;
    f.linktype = linktype;
    f.name = std::move(name);
    f.ipv4AddrAndMask = std::move(ipv4AddrAndMask);
    return f;
}

class PcapngBuilder {
public:
    explicit PcapngBuilder(bool bigEndian = false) : mSink(bigEndian), mBigEndian(bigEndian) { Section(); }

    // A new section, possibly in the other byte order.
    void Section() { Section(mBigEndian); }
    void Section(bool bigEndian) {
        mBigEndian = bigEndian;
        mSink.SetBigEndian(bigEndian);
        ByteSink body(bigEndian);
        body.U32(0x1A2B3C4D);
        body.U16(1);
        body.U16(0);
        body.U64(~std::uint64_t{0});
        Block(0x0A0D0D0A, body.out);
    }

    void Interface(const InterfaceFields& f) {
        ByteSink body(mBigEndian);
        body.U16(f.linktype);
        body.U16(0);
        body.U32(f.snapLength);
        if (!f.name.empty()) Option(body, 2, ByteVector(f.name.begin(), f.name.end()));
        if (!f.ipv4AddrAndMask.empty()) Option(body, 4, f.ipv4AddrAndMask);
        if (f.tsresol >= 0) Option(body, 9, ByteVector{static_cast<std::uint8_t>(f.tsresol)});
        if (f.hasTsoffset) {
            ByteSink v(mBigEndian);
            v.U64(static_cast<std::uint64_t>(f.tsoffset));
            Option(body, 14, v.out);
        }
        body.U32(0);  // opt_endofopt
        Block(1, body.out);
    }

    // wire 0 means the frame's size.
    void Enhanced(std::uint32_t interfaceId, std::uint64_t timestamp, const ByteVector& frame,
                  std::uint32_t wire = 0) {
        ByteSink body(mBigEndian);
        body.U32(interfaceId);
        body.U32(static_cast<std::uint32_t>(timestamp >> 32));
        body.U32(static_cast<std::uint32_t>(timestamp));
        body.U32(static_cast<std::uint32_t>(frame.size()));
        body.U32(wire != 0 ? wire : static_cast<std::uint32_t>(frame.size()));
        body.Append(frame);
        body.PadTo4();
        Block(6, body.out);
    }

    void Simple(const ByteVector& frame, std::uint32_t wire = 0) {
        ByteSink body(mBigEndian);
        body.U32(wire != 0 ? wire : static_cast<std::uint32_t>(frame.size()));
        body.Append(frame);
        body.PadTo4();
        Block(3, body.out);
    }

    void Obsolete(std::uint16_t interfaceId, std::uint64_t timestamp, const ByteVector& frame) {
        ByteSink body(mBigEndian);
        body.U16(interfaceId);
        body.U16(0);  // drops
        body.U32(static_cast<std::uint32_t>(timestamp >> 32));
        body.U32(static_cast<std::uint32_t>(timestamp));
        body.U32(static_cast<std::uint32_t>(frame.size()));
        body.U32(static_cast<std::uint32_t>(frame.size()));
        body.Append(frame);
        body.PadTo4();
        Block(2, body.out);
    }

    void Statistics(std::uint32_t interfaceId, std::uint64_t ifDrop) {
        ByteSink body(mBigEndian);
        body.U32(interfaceId);
        body.U32(0);
        body.U32(0);
        ByteSink v(mBigEndian);
        v.U64(ifDrop);
        Option(body, 5, v.out);
        body.U32(0);
        Block(5, body.out);
    }

    void Block(std::uint32_t type, const ByteVector& body) {
        const auto length = static_cast<std::uint32_t>(12 + body.size());
        mSink.U32(type);
        mSink.U32(length);
        mSink.Append(body);
        mSink.U32(length);
    }

    std::size_t Size() const { return mSink.out.size(); }
    const ByteVector& Data() const { return mSink.out; }

private:
    void Option(ByteSink& body, std::uint16_t code, const ByteVector& value) {
        body.U16(code);
        body.U16(static_cast<std::uint16_t>(value.size()));
        body.Append(value);
        body.PadTo4();
    }
    ByteSink mSink;
    bool mBigEndian;
};

// ---- frames ----

inline ByteVector Concat(ByteVector head, const ByteVector& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline ByteVector EthernetFrame(const ByteVector& payload, std::uint16_t etherType = 0x0800,
                           std::vector<std::uint16_t> tags = {}) {
    ByteVector f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2};
    for (std::uint16_t tpid : tags) {
        f.push_back(static_cast<std::uint8_t>(tpid >> 8));
        f.push_back(static_cast<std::uint8_t>(tpid));
        f.push_back(0x00);
        f.push_back(0x07);  // VLAN 7
    }
    f.push_back(static_cast<std::uint8_t>(etherType >> 8));
    f.push_back(static_cast<std::uint8_t>(etherType));
    return Concat(f, payload);
}

inline ByteVector SllFrame(const ByteVector& payload, std::uint16_t protocol = 0x0800) {
    ByteVector f = {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0};
    f.push_back(static_cast<std::uint8_t>(protocol >> 8));
    f.push_back(static_cast<std::uint8_t>(protocol));
    return Concat(f, payload);
}

inline ByteVector Sll2Frame(const ByteVector& payload, std::uint16_t protocol = 0x0800) {
    ByteVector f = {static_cast<std::uint8_t>(protocol >> 8), static_cast<std::uint8_t>(protocol), 0, 0,
               0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0};
    return Concat(f, payload);
}

// BSD loopback: the address family, little-endian (DLT_NULL from x86) or big-endian (DLT_LOOP).
inline ByteVector LoopbackFrame(const ByteVector& payload, bool bigEndian, std::uint32_t family = 2) {
    ByteSink s(bigEndian);
    s.U32(family);
    return Concat(s.out, payload);
}

}  // namespace wirelens::testing
