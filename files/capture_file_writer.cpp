#include "files/capture_file_writer.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "files/atomic_file.h"

namespace wirelens {
namespace {

constexpr std::uint32_t kBlockSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kBlockInterface = 1;
constexpr std::uint32_t kBlockStatistics = 5;
constexpr std::uint32_t kBlockEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kLinktypeRaw = 101;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptShbUserAppl = 4;
constexpr std::uint16_t kOptIfName = 2;
constexpr std::uint16_t kOptIfIpv4Addr = 4;
constexpr std::uint16_t kOptIfTsResol = 9;
constexpr std::uint16_t kOptIsbStartTime = 2;
constexpr std::uint16_t kOptIsbEndTime = 3;
constexpr std::uint16_t kOptIsbIfDrop = 5;
constexpr std::uint8_t kResolutionMicro = 6;
constexpr std::uint8_t kResolutionNano = 9;
constexpr std::uint32_t kHostMask = 0xFFFFFFFF;
constexpr std::string_view kUserApplication = "Wirelens";

constexpr std::size_t kOutputBuffer = 1 << 20;
constexpr std::uint64_t kErrorCheckInterval = 4096;  // packets between stdio error checks

std::size_t PaddedTo4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Blocks are built in the host's byte order; the section's byte-order magic says which it is.
class BlockBuilder {
public:
    explicit BlockBuilder(std::vector<std::uint8_t>& out) : mOut(out), mStart(out.size()) {
        U32(0);  // type, set by Finish
        U32(0);  // length, set by Finish
    }
    void U16(std::uint16_t v) { Raw(&v, sizeof v); }
    void U32(std::uint32_t v) { Raw(&v, sizeof v); }
    void U64(std::uint64_t v) { Raw(&v, sizeof v); }
    // A timestamp as pcapng stores it: high 32 bits first.
    void Timestamp(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v >> 32));
        U32(static_cast<std::uint32_t>(v));
    }
    void Raw(const void* bytes, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        mOut.insert(mOut.end(), p, p + n);
    }
    void Pad() { mOut.resize(mStart + PaddedTo4(mOut.size() - mStart), 0); }
    void Option(std::uint16_t code, const void* value, std::size_t length) {
        U16(code);
        U16(static_cast<std::uint16_t>(length));
        Raw(value, length);
        Pad();
    }
    void Finish(std::uint32_t type) {
        Pad();
        const auto length = static_cast<std::uint32_t>(mOut.size() - mStart + 4);
        U32(length);
        std::memcpy(mOut.data() + mStart, &type, 4);
        std::memcpy(mOut.data() + mStart + 4, &length, 4);
    }

private:
    std::vector<std::uint8_t>& mOut;
    std::size_t mStart;
};

}  // namespace

class CaptureFileWriter::Impl {
public:
    ~Impl() { Abort(); }

    std::optional<std::string> Open(const std::string& path, CaptureFileFormat format,
                                    const CaptureFileInfo& info) {
        Abort();
        mFormat = format;
        mInfo = info;
        mPackets = 0;
        mFailed = 0;
        mFirstTime.reset();
        if (auto why = mFile.Create(path)) return why;
        mOpen = true;
        return format == CaptureFileFormat::Pcap ? OpenPcap() : OpenPcapng();
    }

    bool Write(const CapturePacket& packet) {
        if (!mOpen || mFailed != 0) return false;
        const std::uint64_t time = Timestamp(packet);
        if (!mFirstTime) mFirstTime = time;
        mLastTime = time;
        const std::size_t captured = std::min<std::size_t>(packet.bytes.size(), kCaptureFileSnapLength);
        const auto wire = std::max<std::uint32_t>(packet.wireLength, static_cast<std::uint32_t>(captured));
        ++mPackets;
        if (mFormat == CaptureFileFormat::Pcap) {
            pcap_pkthdr header{};
            header.ts.tv_sec = static_cast<time_t>(packet.seconds);
            header.ts.tv_usec = static_cast<suseconds_t>(
                mInfo.nanosecondResolution ? packet.nanoseconds : packet.nanoseconds / 1000);
            header.caplen = static_cast<bpf_u_int32>(captured);
            header.len = wire;
            pcap_dump(reinterpret_cast<u_char*>(mDumper), &header, packet.bytes.data());
            if (mPackets % kErrorCheckInterval == 0 && std::ferror(pcap_dump_file(mDumper))) {
                mFailed = errno != 0 ? errno : EIO;
            }
            return mFailed == 0;
        }
        const std::size_t padded = PaddedTo4(captured);
        const std::uint32_t header[] = {kBlockEnhancedPacket,
                                        static_cast<std::uint32_t>(32 + padded),
                                        0,
                                        static_cast<std::uint32_t>(time >> 32),
                                        static_cast<std::uint32_t>(time),
                                        static_cast<std::uint32_t>(captured),
                                        wire};
        const std::size_t at = mBuffer.size();
        mBuffer.resize(at + sizeof header + padded + 4);
        std::uint8_t* out = mBuffer.data() + at;
        std::memcpy(out, header, sizeof header);
        std::memcpy(out + sizeof header, packet.bytes.data(), captured);
        std::memset(out + sizeof header + captured, 0, padded - captured);
        std::memcpy(out + sizeof header + padded, &header[1], 4);
        if (mBuffer.size() >= kOutputBuffer) return Flush();
        return true;
    }

    std::optional<std::string> Commit(std::optional<std::uint64_t> kernelDrops) {
        if (!mOpen) return mFile.Failure("Cannot write the file", EBADF);
        if (mFormat == CaptureFileFormat::PcapNg && mFailed == 0) {
            AppendStatistics(kernelDrops ? kernelDrops : mInfo.kernelDrops);
            Flush();
        }
        if (mDumper && mFailed == 0) {
            if (pcap_dump_flush(mDumper) != 0 || std::ferror(pcap_dump_file(mDumper))) {
                mFailed = errno != 0 ? errno : EIO;
            }
        }
        if (mFailed != 0) {
            const int error = mFailed;
            Abort();
            return mFile.Failure("Cannot write the file", error);
        }
        ClosePcap();
        mOpen = false;
        return mFile.Commit();
    }

    void Abort() {
        ClosePcap();
        mBuffer.clear();
        mFile.Abort();
        mOpen = false;
    }

    std::uint64_t PacketCount() const { return mPackets; }

private:
    std::uint64_t UnitsPerSecond() const {
        return mInfo.nanosecondResolution ? 1000000000 : 1000000;
    }
    std::uint64_t Timestamp(const CapturePacket& packet) const {
        const std::uint32_t fraction =
            mInfo.nanosecondResolution ? packet.nanoseconds : packet.nanoseconds / 1000;
        return static_cast<std::uint64_t>(packet.seconds) * UnitsPerSecond() + fraction;
    }

    std::optional<std::string> OpenPcap() {
        // The stream gets its own descriptor, so closing it leaves the file's for the sync.
        const int fd = ::dup(mFile.Descriptor());
        FILE* stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (!stream) {
            const int error = errno;
            if (fd >= 0) ::close(fd);
            mFile.Abort();
            mOpen = false;
            return mFile.Failure("Cannot write the file", error);
        }
        std::setvbuf(stream, nullptr, _IOFBF, kOutputBuffer);
        mDead = pcap_open_dead_with_tstamp_precision(
            DLT_RAW, static_cast<int>(kCaptureFileSnapLength),
            mInfo.nanosecondResolution ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
        mDumper = mDead ? pcap_dump_fopen(mDead, stream) : nullptr;
        if (!mDumper) {
            const int error = errno != 0 ? errno : ENOMEM;
            std::fclose(stream);
            Abort();
            return mFile.Failure("Cannot write the file", error);
        }
        return std::nullopt;
    }

    std::optional<std::string> OpenPcapng() {
        mBuffer.clear();
        mBuffer.reserve(kOutputBuffer + 64 * 1024);
        {
            BlockBuilder shb(mBuffer);
            shb.U32(kByteOrderMagic);
            shb.U16(1);  // version 1.0
            shb.U16(0);
            shb.U64(~std::uint64_t{0});  // section length not given
            shb.Option(kOptShbUserAppl, kUserApplication.data(), kUserApplication.size());
            shb.Option(kOptEnd, nullptr, 0);
            shb.Finish(kBlockSectionHeader);
        }
        {
            BlockBuilder idb(mBuffer);
            idb.U16(kLinktypeRaw);
            idb.U16(0);
            idb.U32(kCaptureFileSnapLength);
            if (!mInfo.interfaceName.empty()) {
                idb.Option(kOptIfName, mInfo.interfaceName.data(),
                           std::min<std::size_t>(mInfo.interfaceName.size(), 0xFFFF));
            }
            if (mInfo.captureAddress) {
                const std::uint32_t addressAndMask[] = {*mInfo.captureAddress, kHostMask};
                idb.Option(kOptIfIpv4Addr, addressAndMask, sizeof addressAndMask);
            }
            const std::uint8_t resolution = mInfo.nanosecondResolution ? kResolutionNano : kResolutionMicro;
            idb.Option(kOptIfTsResol, &resolution, 1);
            idb.Option(kOptEnd, nullptr, 0);
            idb.Finish(kBlockInterface);
        }
        return Flush() ? std::nullopt : std::optional<std::string>(mFile.Failure("Cannot write the file", mFailed));
    }

    void AppendStatistics(std::optional<std::uint64_t> kernelDrops) {
        BlockBuilder isb(mBuffer);
        isb.U32(0);  // interface
        isb.Timestamp(mFirstTime ? mLastTime : 0);
        if (mFirstTime) {
            isb.U16(kOptIsbStartTime);
            isb.U16(8);
            isb.Timestamp(*mFirstTime);
            isb.U16(kOptIsbEndTime);
            isb.U16(8);
            isb.Timestamp(mLastTime);
        }
        if (kernelDrops) isb.Option(kOptIsbIfDrop, &*kernelDrops, sizeof *kernelDrops);
        isb.Option(kOptEnd, nullptr, 0);
        isb.Finish(kBlockStatistics);
    }

    bool Flush() {
        if (mFailed != 0) return false;
        if (!mFile.WriteAll(std::string_view(reinterpret_cast<const char*>(mBuffer.data()), mBuffer.size()))) {
            mFailed = errno != 0 ? errno : EIO;
            return false;
        }
        mBuffer.clear();
        return true;
    }

    void ClosePcap() {
        if (mDumper) pcap_dump_close(mDumper);  // closes the stream's own descriptor
        mDumper = nullptr;
        if (mDead) pcap_close(mDead);
        mDead = nullptr;
    }

    AtomicFile mFile;
    CaptureFileFormat mFormat = CaptureFileFormat::PcapNg;
    CaptureFileInfo mInfo;
    bool mOpen = false;
    int mFailed = 0;  // errno of the first failed write
    std::uint64_t mPackets = 0;
    std::optional<std::uint64_t> mFirstTime;
    std::uint64_t mLastTime = 0;
    std::vector<std::uint8_t> mBuffer;  // pcapng blocks not yet written
    pcap_t* mDead = nullptr;
    pcap_dumper_t* mDumper = nullptr;
};

CaptureFileWriter::CaptureFileWriter() : mImpl(std::make_unique<Impl>()) {}
CaptureFileWriter::~CaptureFileWriter() = default;

std::optional<std::string> CaptureFileWriter::Open(const std::string& path, CaptureFileFormat format,
                                                   const CaptureFileInfo& info) {
    return mImpl->Open(path, format, info);
}
bool CaptureFileWriter::Write(const CapturePacket& packet) { return mImpl->Write(packet); }
std::optional<std::string> CaptureFileWriter::Commit(std::optional<std::uint64_t> kernelDrops) {
    return mImpl->Commit(kernelDrops);
}
void CaptureFileWriter::Abort() { mImpl->Abort(); }
std::uint64_t CaptureFileWriter::PacketCount() const { return mImpl->PacketCount(); }

std::optional<std::string> WriteCaptureFile(const std::string& path, CaptureFileFormat format,
                                            const CaptureFileInfo& info, std::size_t count,
                                            const std::function<CapturePacket(std::size_t)>& packetAt) {
    CaptureFileWriter writer;
    if (auto why = writer.Open(path, format, info)) return why;
    for (std::size_t i = 0; i < count; ++i) {
        if (!writer.Write(packetAt(i))) break;
    }
    return writer.Commit();
}

}  // namespace wirelens
