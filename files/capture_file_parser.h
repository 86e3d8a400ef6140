#pragma once
// Incremental reader of pcap and pcapng capture files. The caller feeds bytes
// as it has them (a regular file read in slices, or a pipe as data arrives)
// and takes packets out; the parser never reads a descriptor and never blocks.
// Every field is read bounds-checked, and a record is only decoded once all of
// its bytes are buffered.
//
//   CaptureFileParser parser;
//   parser.Feed(slice);                  // as often as bytes come
//   CapturePacket packet;
//   while (parser.Next(packet) == CaptureFileParser::Status::Packet) use(packet);
//   ...
//   parser.Finish();                     // end of input: a partial record is now damage
//   while (parser.Next(packet) == CaptureFileParser::Status::Packet) use(packet);
//
// pcap: magics a1b2c3d4 (microseconds), a1b23c4d (nanoseconds) and the
// modified a1b2cd34 format, in either byte order. pcapng: any number of
// sections in either byte order; interface blocks with if_tsresol,
// if_tsoffset, if_name and if_IPv4addr; enhanced, simple and obsolete packet
// blocks; interface statistics (isb_ifdrop); other blocks are skipped.
// Every frame goes through StripLinkLayer; frames that do not carry IPv4 are
// skipped and counted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/link_layer.h"
#include "files/capture_file.h"

namespace wirelens {

struct CaptureFileError {
    std::string message;       // a sentence for the user, naming the byte offset
    std::uint64_t offset = 0;  // file offset of the first byte not read as whole records
};

class CaptureFileParser {
public:
    enum class Status {
        Packet,    // `packet` holds the next datagram
        NeedMore,  // every buffered whole record is used; feed more bytes (or Finish)
        End,       // after Finish: the input ended cleanly
        Error,     // Error() says why; every packet before the damage was handed out
    };

    CaptureFileParser();

    // Appends bytes of the file. Invalidates the view of the last packet.
    void Feed(std::span<const std::uint8_t> bytes);
    // The input has ended: Next hands out what is still buffered, then End, or
    // Error when the input stopped inside a record or before a file header.
    void Finish();
    // The next IPv4 datagram. Invalidates the view of the previous one.
    Status Next(CapturePacket& packet);

    const std::optional<CaptureFileError>& Error() const { return mError; }
    // Known once the file header is read.
    std::optional<CaptureFileFormat> Format() const { return mFormat; }
    // Some interface (or the pcap header) records time finer than a microsecond.
    bool NanosecondResolution() const { return mAnyNanosecond; }
    // The first interface block's if_name and if_IPv4addr, and the kernel
    // drop count of the last statistics block seen (first interface only).
    const CaptureFileInfo& Info() const { return mInfo; }
    std::uint64_t PacketCount() const { return mPackets; }
    std::uint64_t SkippedFrames() const { return mSkippedFrames; }
    // File offset of the first byte not yet read as a whole record.
    std::uint64_t Consumed() const { return mConsumedBase + mBegin; }

private:
    struct Interface {
        std::optional<LinkType> link;
        std::uint64_t unitsPerSecond = 1000000;  // 0: 2^-shift resolution
        int binaryShift = 0;
        std::int64_t offsetSeconds = 0;
        std::uint32_t snapLength = 0;
        bool nanosecond = false;  // resolution finer than a microsecond
    };

    enum class Step { Packet, Continue, NeedMore, Failed };

    Step Fail(std::string message);
    Step ReadFileHeader();
    Step ReadPcapRecord(CapturePacket& packet);
    Step ReadSectionHeader();
    Step ReadPcapngBlock(CapturePacket& packet);
    std::optional<std::string> ReadInterfaceBlock(std::span<const std::uint8_t> body);
    void ReadStatisticsBlock(std::span<const std::uint8_t> body);
    // Packet when the frame carries IPv4 (packet filled), else Continue.
    Step DeliverFrame(const Interface& iface, std::span<const std::uint8_t> frame,
                      std::uint32_t frameWireLength, std::int64_t seconds,
                      std::uint32_t nanoseconds, CapturePacket& packet);
    std::span<const std::uint8_t> Buffered() const;

    std::vector<std::uint8_t> mBuffer;
    std::size_t mBegin = 0;  // first unread byte in mBuffer
    std::size_t mEnd = 0;    // one past the last fed byte
    std::uint64_t mConsumedBase = 0;  // file offset of mBuffer[0]
    bool mFinished = false;
    std::optional<CaptureFileError> mError;

    std::optional<CaptureFileFormat> mFormat;
    bool mBigEndian = false;  // the byte order of the file (pcap) or section (pcapng)
    // pcap
    Interface mPcapInterface;
    std::size_t mPcapRecordHeader = 16;
    // pcapng: the current section's interfaces
    std::vector<Interface> mInterfaces;
    bool mSawInterface = false;

    bool mAnyNanosecond = false;
    CaptureFileInfo mInfo;
    std::uint64_t mPackets = 0;
    std::uint64_t mSkippedFrames = 0;
};

}  // namespace wirelens
