#include "files/capture_file_parser.h"

#include <algorithm>
#include <cstring>

#include "capture/byte_reader.h"

namespace wirelens {
namespace {

constexpr std::uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kPcapMagicNano = 0xA1B23C4D;
constexpr std::uint32_t kPcapMagicModified = 0xA1B2CD34;  // records carry 8 more bytes
constexpr std::size_t kPcapFileHeaderLength = 24;
constexpr std::size_t kPcapRecordHeaderLength = 16;
constexpr std::size_t kPcapModifiedRecordHeaderLength = 24;
constexpr std::uint16_t kPcapMajorVersion = 2;
// libpcap takes records up to this size whatever the header's snap length says.
constexpr std::uint32_t kPcapMaxRecordLength = 262144;

constexpr std::uint32_t kBlockSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kBlockInterface = 1;
constexpr std::uint32_t kBlockObsoletePacket = 2;
constexpr std::uint32_t kBlockSimplePacket = 3;
constexpr std::uint32_t kBlockStatistics = 5;
constexpr std::uint32_t kBlockEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kPcapngMajorVersion = 1;
constexpr std::size_t kBlockFrameLength = 12;     // type, length, trailing length
constexpr std::size_t kSectionHeaderMinLength = 28;
constexpr std::uint32_t kMaxBlockLength = 16 * 1024 * 1024;  // libpcap's limit too

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptIfName = 2;
constexpr std::uint16_t kOptIfIpv4Addr = 4;
constexpr std::uint16_t kOptIfTsResol = 9;
constexpr std::uint16_t kOptIfTsOffset = 14;
constexpr std::uint16_t kOptIsbIfDrop = 5;
constexpr std::size_t kInterfaceOptionsOffset = 8;
constexpr std::size_t kStatisticsOptionsOffset = 12;
constexpr std::size_t kEnhancedPacketHeader = 20;
constexpr std::size_t kObsoletePacketHeader = 20;
constexpr std::size_t kSimplePacketHeader = 4;

constexpr std::uint64_t kNanosPerSecond = 1000000000;
constexpr std::uint64_t kMicrosPerSecond = 1000000;
constexpr int kMaxDecimalResolution = 19;  // 10^19 still fits 64 bits
constexpr int kMaxBinaryResolution = 63;

constexpr std::size_t kInitialBuffer = 64 * 1024;

// Field reads in a file's own byte order.
class FieldReader {
public:
    FieldReader(std::span<const std::uint8_t> bytes, bool bigEndian)
        : mReader(bytes), mBigEndian(bigEndian) {}
    std::uint16_t U16(std::size_t at) const { return mBigEndian ? mReader.U16Be(at) : mReader.U16Le(at); }
    std::uint32_t U32(std::size_t at) const { return mBigEndian ? mReader.U32Be(at) : mReader.U32Le(at); }
    std::uint64_t U64(std::size_t at) const {
        const std::uint64_t first = U32(at);
        const std::uint64_t second = U32(at + 4);
        return mBigEndian ? (first << 32) | second : (second << 32) | first;
    }

private:
    ByteReader mReader;
    bool mBigEndian;
};

std::size_t PaddedTo4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

std::string At(std::uint64_t offset) { return " at byte " + std::to_string(offset); }

}  // namespace

CaptureFileParser::CaptureFileParser() : mBuffer(kInitialBuffer) {}

std::span<const std::uint8_t> CaptureFileParser::Buffered() const {
    return std::span<const std::uint8_t>(mBuffer).subspan(mBegin, mEnd - mBegin);
}

void CaptureFileParser::Feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (mBegin > 0) {
        // What is left is at most one partial record: cheap to move.
        std::memmove(mBuffer.data(), mBuffer.data() + mBegin, mEnd - mBegin);
        mConsumedBase += mBegin;
        mEnd -= mBegin;
        mBegin = 0;
    }
    if (mBuffer.size() - mEnd < bytes.size()) {
        mBuffer.resize(std::max(mBuffer.size() * 2, mEnd + bytes.size()));
    }
    std::memcpy(mBuffer.data() + mEnd, bytes.data(), bytes.size());
    mEnd += bytes.size();
}

void CaptureFileParser::Finish() { mFinished = true; }

CaptureFileParser::Step CaptureFileParser::Fail(std::string message) {
    mError = CaptureFileError{std::move(message), Consumed()};
    return Step::Failed;
}

CaptureFileParser::Status CaptureFileParser::Next(CapturePacket& packet) {
    while (!mError) {
        Step step;
        if (!mFormat) {
            step = ReadFileHeader();
        } else if (*mFormat == CaptureFileFormat::Pcap) {
            step = ReadPcapRecord(packet);
        } else {
            step = ReadPcapngBlock(packet);
        }
        switch (step) {
            case Step::Packet:
                ++mPackets;
                return Status::Packet;
            case Step::Continue:
                continue;
            case Step::Failed:
                return Status::Error;
            case Step::NeedMore:
                break;
        }
        if (!mFinished) return Status::NeedMore;
        const std::size_t left = mEnd - mBegin;
        if (mFormat && left == 0) return Status::End;
        if (!mFormat && Consumed() + left == 0) {
            Fail("The file is empty.");
        } else if (!mFormat && left < 4) {
            Fail("The file is too short to be a capture file.");
        } else {
            Fail("The file is cut short" + At(Consumed()) + ": the record there is incomplete (" +
                 std::to_string(left) + " of its bytes are present).");
        }
    }
    return Status::Error;
}

CaptureFileParser::Step CaptureFileParser::ReadFileHeader() {
    const auto bytes = Buffered();
    if (bytes.size() < 4) return Step::NeedMore;
    const ByteReader reader(bytes);
    if (reader.U32Le(0) == kBlockSectionHeader) return ReadSectionHeader();

    const auto isPcapMagic = [](std::uint32_t m) {
        return m == kPcapMagicMicro || m == kPcapMagicNano || m == kPcapMagicModified;
    };
    std::uint32_t magic = reader.U32Le(0);
    if (isPcapMagic(magic)) {
        mBigEndian = false;
    } else if (isPcapMagic(reader.U32Be(0))) {
        mBigEndian = true;
        magic = reader.U32Be(0);
    } else {
        return Fail("This is not a capture file: it starts with neither a pcap nor a pcapng header.");
    }
    if (bytes.size() < kPcapFileHeaderLength) return Step::NeedMore;
    const FieldReader fields(bytes, mBigEndian);
    if (fields.U16(4) != kPcapMajorVersion) {
        return Fail("The pcap file has version " + std::to_string(fields.U16(4)) +
                    ", which cannot be read.");
    }
    mPcapInterface.nanosecond = magic == kPcapMagicNano;
    mAnyNanosecond = mPcapInterface.nanosecond;
    mPcapRecordHeader =
        magic == kPcapMagicModified ? kPcapModifiedRecordHeaderLength : kPcapRecordHeaderLength;
    mPcapInterface.snapLength = fields.U32(16);
    mPcapInterface.link = LinkTypeFromFileLinktype(fields.U32(20));
    mFormat = CaptureFileFormat::Pcap;
    mBegin += kPcapFileHeaderLength;
    return Step::Continue;
}

CaptureFileParser::Step CaptureFileParser::ReadPcapRecord(CapturePacket& packet) {
    const auto bytes = Buffered();
    if (bytes.size() < mPcapRecordHeader) return Step::NeedMore;
    const FieldReader fields(bytes, mBigEndian);
    const std::uint32_t seconds = fields.U32(0);
    const std::uint32_t fraction = fields.U32(4);
    const std::uint32_t captured = fields.U32(8);
    const std::uint32_t original = fields.U32(12);
    const std::uint32_t limit = std::max(mPcapInterface.snapLength, kPcapMaxRecordLength);
    if (captured > limit) {
        return Fail("The file is damaged" + At(Consumed()) + ": a record claims " +
                    std::to_string(captured) + " captured bytes, more than the limit of " +
                    std::to_string(limit) + ".");
    }
    if (bytes.size() - mPcapRecordHeader < captured) return Step::NeedMore;
    const auto frame = bytes.subspan(mPcapRecordHeader, captured);
    mBegin += mPcapRecordHeader + captured;

    // Writers do not always keep the fraction below one second; carry it over.
    const std::uint64_t perSecond = mPcapInterface.nanosecond ? kNanosPerSecond : kMicrosPerSecond;
    const std::uint64_t nanosPerUnit = kNanosPerSecond / perSecond;
    const std::int64_t wholeSeconds = std::int64_t{seconds} + fraction / perSecond;
    const auto nanos = static_cast<std::uint32_t>((fraction % perSecond) * nanosPerUnit);
    return DeliverFrame(mPcapInterface, frame, original, wholeSeconds, nanos, packet);
}

CaptureFileParser::Step CaptureFileParser::ReadSectionHeader() {
    const auto bytes = Buffered();
    if (bytes.size() < kBlockFrameLength) return Step::NeedMore;
    const ByteReader reader(bytes);
    bool bigEndian = false;
    if (reader.U32Le(8) == kByteOrderMagic) {
        bigEndian = false;
    } else if (reader.U32Be(8) == kByteOrderMagic) {
        bigEndian = true;
    } else if (!mFormat) {
        return Fail("This is not a capture file: its pcapng section header has no byte-order magic.");
    } else {
        return Fail("The file is damaged" + At(Consumed()) +
                    ": a section header has no byte-order magic.");
    }
    const FieldReader fields(bytes, bigEndian);
    const std::uint32_t length = fields.U32(4);
    if (length < kSectionHeaderMinLength || length % 4 != 0 || length > kMaxBlockLength) {
        return Fail("The file is damaged" + At(Consumed()) + ": a section header claims " +
                    std::to_string(length) + " bytes.");
    }
    if (bytes.size() < length) return Step::NeedMore;
    if (fields.U32(length - 4) != length) {
        return Fail("The file is damaged" + At(Consumed()) +
                    ": a section header's two lengths differ.");
    }
    if (fields.U16(12) != kPcapngMajorVersion) {
        return Fail("The pcapng section" + At(Consumed()) + " has version " +
                    std::to_string(fields.U16(12)) + ", which cannot be read.");
    }
    mBigEndian = bigEndian;
    mInterfaces.clear();
    mFormat = CaptureFileFormat::PcapNg;
    mBegin += length;
    return Step::Continue;
}

CaptureFileParser::Step CaptureFileParser::ReadPcapngBlock(CapturePacket& packet) {
    const auto bytes = Buffered();
    if (bytes.size() < 8) return Step::NeedMore;
    const FieldReader fields(bytes, mBigEndian);
    const std::uint32_t type = fields.U32(0);
    if (type == kBlockSectionHeader) return ReadSectionHeader();
    const std::uint32_t length = fields.U32(4);
    if (length < kBlockFrameLength || length % 4 != 0 || length > kMaxBlockLength) {
        return Fail("The file is damaged" + At(Consumed()) + ": a block claims " +
                    std::to_string(length) + " bytes.");
    }
    if (bytes.size() < length) return Step::NeedMore;
    if (fields.U32(length - 4) != length) {
        return Fail("The file is damaged" + At(Consumed()) + ": a block's two lengths differ.");
    }
    const auto body = bytes.subspan(8, length - kBlockFrameLength);
    const FieldReader bodyFields(body, mBigEndian);
    const auto damaged = [this](const char* what) {
        return Fail("The file is damaged" + At(Consumed()) + ": " + what);
    };
    const auto interfaceAt = [this](std::uint32_t id) -> const Interface* {
        return id < mInterfaces.size() ? &mInterfaces[id] : nullptr;
    };

    switch (type) {
        case kBlockInterface:
            if (auto why = ReadInterfaceBlock(body)) return damaged(why->c_str());
            break;
        case kBlockStatistics:
            ReadStatisticsBlock(body);
            break;
        case kBlockEnhancedPacket:
        case kBlockObsoletePacket: {
            const bool enhanced = type == kBlockEnhancedPacket;
            const std::size_t header = enhanced ? kEnhancedPacketHeader : kObsoletePacketHeader;
            if (body.size() < header) return damaged("a packet block is too short.");
            const std::uint32_t id = enhanced ? bodyFields.U32(0) : bodyFields.U16(0);
            const Interface* iface = interfaceAt(id);
            if (!iface) return damaged("a packet block names an interface that was not described.");
            const std::uint64_t timestamp = (std::uint64_t{bodyFields.U32(4)} << 32) | bodyFields.U32(8);
            const std::uint32_t captured = bodyFields.U32(12);
            const std::uint32_t original = bodyFields.U32(16);
            if (captured > body.size() - header) {
                return damaged("a packet block claims more bytes than it holds.");
            }
            mBegin += length;
            std::uint64_t seconds = 0;
            std::uint64_t fraction = 0;
            std::uint64_t nanos = 0;
            if (iface->unitsPerSecond != 0) {
                seconds = timestamp / iface->unitsPerSecond;
                fraction = timestamp % iface->unitsPerSecond;
                nanos = iface->unitsPerSecond <= kNanosPerSecond
                            ? fraction * (kNanosPerSecond / iface->unitsPerSecond)
                            : fraction / (iface->unitsPerSecond / kNanosPerSecond);
            } else {
                int shift = iface->binaryShift;
                seconds = shift == 0 ? timestamp : timestamp >> shift;
                fraction = shift == 0 ? 0 : timestamp & ((std::uint64_t{1} << shift) - 1);
                // Keep the product within 64 bits; the bits dropped are below a nanosecond.
                if (shift > 32) {
                    fraction >>= shift - 32;
                    shift = 32;
                }
                nanos = (fraction * kNanosPerSecond) >> shift;
            }
            return DeliverFrame(*iface, body.subspan(header, captured), original,
                                static_cast<std::int64_t>(seconds) + iface->offsetSeconds,
                                static_cast<std::uint32_t>(nanos), packet);
        }
        case kBlockSimplePacket: {
            if (body.size() < kSimplePacketHeader) return damaged("a simple packet block is too short.");
            const Interface* iface = interfaceAt(0);
            if (!iface) return damaged("a packet block names an interface that was not described.");
            const std::uint32_t original = bodyFields.U32(0);
            // The block holds no captured length: the frame up to the snap length, padding off.
            std::size_t captured = std::min<std::size_t>(original, body.size() - kSimplePacketHeader);
            if (iface->snapLength != 0) captured = std::min<std::size_t>(captured, iface->snapLength);
            mBegin += length;
            return DeliverFrame(*iface, body.subspan(kSimplePacketHeader, captured), original, 0, 0,
                                packet);
        }
        default:
            break;  // name resolution, decryption secrets, custom and unknown blocks
    }
    mBegin += length;
    return Step::Continue;
}

std::optional<std::string> CaptureFileParser::ReadInterfaceBlock(std::span<const std::uint8_t> body) {
    if (body.size() < kInterfaceOptionsOffset) return std::string("an interface block is too short.");
    const FieldReader fields(body, mBigEndian);
    Interface iface;
    iface.link = LinkTypeFromFileLinktype(fields.U16(0));
    iface.snapLength = fields.U32(4);
    std::string name;
    std::optional<std::uint32_t> address;

    std::size_t at = kInterfaceOptionsOffset;
    while (at + 4 <= body.size()) {
        const std::uint16_t code = fields.U16(at);
        const std::uint16_t length = fields.U16(at + 2);
        if (code == kOptEnd) break;
        if (body.size() - at - 4 < length) return std::string("an interface option overruns its block.");
        const auto value = body.subspan(at + 4, length);
        const ByteReader valueReader(value);
        switch (code) {
            case kOptIfName:
                name.assign(value.begin(), value.end());
                name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
                break;
            case kOptIfIpv4Addr:
                if (length >= 8) address = valueReader.U32Raw(0);
                break;
            case kOptIfTsResol: {
                if (length < 1) break;
                const std::uint8_t resolution = value[0];
                if (resolution & 0x80) {
                    const int shift = resolution & 0x7F;
                    if (shift > kMaxBinaryResolution) return std::string("an interface's time resolution is out of range.");
                    iface.unitsPerSecond = 0;
                    iface.binaryShift = shift;
                } else {
                    if (resolution > kMaxDecimalResolution) return std::string("an interface's time resolution is out of range.");
                    iface.unitsPerSecond = 1;
                    for (int i = 0; i < resolution; ++i) iface.unitsPerSecond *= 10;
                }
                break;
            }
            case kOptIfTsOffset:
                if (length >= 8) iface.offsetSeconds = static_cast<std::int64_t>(FieldReader(value, mBigEndian).U64(0));
                break;
            default:
                break;
        }
        at += 4 + PaddedTo4(length);
    }

    iface.nanosecond = iface.unitsPerSecond == 0
                           ? iface.binaryShift >= 20  // 2^20 > 10^6
                           : iface.unitsPerSecond > kMicrosPerSecond;
    mAnyNanosecond = mAnyNanosecond || iface.nanosecond;
    if (!mSawInterface) {
        mSawInterface = true;
        mInfo.interfaceName = std::move(name);
        mInfo.captureAddress = address;
    }
    mInterfaces.push_back(iface);
    return std::nullopt;
}

void CaptureFileParser::ReadStatisticsBlock(std::span<const std::uint8_t> body) {
    const FieldReader fields(body, mBigEndian);
    if (body.size() < kStatisticsOptionsOffset || fields.U32(0) != 0) return;
    std::size_t at = kStatisticsOptionsOffset;
    while (at + 4 <= body.size()) {
        const std::uint16_t code = fields.U16(at);
        const std::uint16_t length = fields.U16(at + 2);
        if (code == kOptEnd || body.size() - at - 4 < length) break;
        if (code == kOptIsbIfDrop && length == 8) mInfo.kernelDrops = fields.U64(at + 4);
        at += 4 + PaddedTo4(length);
    }
}

CaptureFileParser::Step CaptureFileParser::DeliverFrame(const Interface& iface,
                                                        std::span<const std::uint8_t> frame,
                                                        std::uint32_t frameWireLength,
                                                        std::int64_t seconds,
                                                        std::uint32_t nanoseconds,
                                                        CapturePacket& packet) {
    const std::optional<LinkDatagram> datagram =
        iface.link ? StripLinkLayer(*iface.link, frame, frameWireLength) : std::nullopt;
    if (!datagram) {
        ++mSkippedFrames;
        return Step::Continue;
    }
    packet.bytes = datagram->bytes;
    packet.seconds = seconds;
    packet.nanoseconds = nanoseconds;
    packet.wireLength = datagram->wireLength;
    packet.nanosecondResolution = iface.nanosecond;
    return Step::Packet;
}

}  // namespace wirelens
