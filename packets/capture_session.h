#pragma once
// The packet state of one capture: the raw datagram store, the packet store and
// its sequence, the list view mode and the tests that decide which packets the
// list shows. Live capture, capture files, pipes and the command line all feed
// it through Ingest; the window is a view of it. No Qt.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/local_addresses.h"
#include "capture/raw_datagram_store.h"
#include "packets/capture_time.h"
#include "packets/clv.h"
#include "packets/packet_store.h"
#include "packets/row_array.h"

namespace wirelens {

// Where the packets came from, as a capture file records it.
struct CaptureSource {
    std::string interfaceName;     // "eth0", or "eth0,lo"; empty when unknown
    std::string captureAddress;    // dotted text of the capture address; empty when unknown
    std::uint64_t kernelDrops = 0; // datagrams the kernel dropped before the helper read them
    bool nanosecond = false;       // timestamps carry nanoseconds, not just microseconds
};

enum class IngestStatus {
    Listed,   // filed, and the list shows it
    Hidden,   // filed, but the list view mode or filter hides it
    Refused,  // not filed: no key is left, memory runs short or the disk is full (nothing of it is kept)
};

// Why the session files no more packets.
enum class FilingStop {
    None,
    NoKeyLeft,  // the packet store holds as many packets as it can key
    MemoryLow,  // the machine's available memory fell below the guard's margin
    DiskFull,   // the datagram store could not write its file (Raw().WriteError() says why)
};

// Looks at the machine's memory every `checkEvery` packets filed; filing stops
// while `availableBytes` says less than `marginBytes` is left (nothing: unknown,
// filing goes on).
struct MemoryGuard {
    std::function<std::optional<std::uint64_t>()> availableBytes;
    std::uint64_t marginBytes = 0;
    std::uint32_t checkEvery = 1;
};

struct IngestResult {
    IngestStatus status = IngestStatus::Refused;
    std::int32_t key = 0;  // 0 when refused
};

class CaptureSession {
public:
    CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // One datagram from any source: decodes it, keeps at most kReceiveBufferSize
    // of its bytes, files its record and offers it to the list. `wireLength` is
    // its length before truncation (0: the bytes are the whole datagram).
    IngestResult Ingest(std::span<const std::uint8_t> bytes, PacketTime time, std::uint32_t wireLength = 0);

    // Files a record under the next sequence number and, when the live test
    // passes, hands it to onRowAdmitted. Returns the key, or 0 when no key is left.
    std::int32_t AddPacket(std::uint8_t Proto, std::uint32_t SrcAddr, std::uint32_t DestAddr,
                           std::optional<std::uint16_t> SrcPort, std::optional<std::uint16_t> DestPort,
                           std::uint32_t Data, std::int32_t Size, PacketTime Hora);
    // Called for each packet the list shows as it arrives.
    std::function<void(std::int32_t key, const clV& record)> onRowAdmitted;

    // Whether another packet can be keyed.
    bool CanFileAnother() const;
    // Why the last Ingest refused its packet; None after one that was filed.
    FilingStop LastRefusal() const { return mLastRefusal; }
    // Fewer keys than the store's own limit (1 .. PacketStore::kMaxKey).
    void SetPacketLimit(std::int32_t limit);
    std::int32_t PacketLimit() const { return mPacketLimit; }
    // Replaces the guard; the default reads MemAvailable with a margin of kMemoryMargin.
    void SetMemoryGuard(MemoryGuard guard) { mMemoryGuard = std::move(guard); }
    const MemoryGuard& Guard() const { return mMemoryGuard; }
    static constexpr std::uint64_t kMemoryMargin = 256ull << 20;
    static constexpr std::uint32_t kMemoryCheckEvery = 4096;

    // The list view mode (0 All .. 5 ICMP).
    std::int32_t ListViewMode() const { return mListViewMode; }
    void SetListViewMode(std::int32_t mode);

    // Received and Sent are judged against these addresses: the machine's own
    // (set by the owner; the session does not copy them) or, for a capture
    // file that records its capture address, that address alone.
    void SetMachineAddresses(const LocalAddressSet* addresses);
    void JudgeDirectionBy(std::optional<std::string> recordedAddress);
    const LocalAddressSet& DirectionAddresses() const;

    // A second test every listed packet must pass besides the list view mode;
    // empty: none. Takes the kept bytes and the wire length.
    using PacketFilter = std::function<bool(std::span<const std::uint8_t> bytes, std::uint32_t wireLength)>;
    void SetDisplayFilter(PacketFilter filter) { mDisplayFilter = std::move(filter); }
    bool HasDisplayFilter() const { return static_cast<bool>(mDisplayFilter); }

    // The test on arrival and the test of a rebuild (they differ for Received and Sent).
    bool PassesLiveTest(const clV& record) const;
    bool PassesRebuildTest(const clV& record) const;
    bool IsOutgoing(const clV& record) const;

    // A row of the list: the store key, with the outgoing flag in the top bit.
    static constexpr std::uint32_t kOutgoingBit = 0x80000000u;
    static std::uint32_t RowEntry(std::int32_t key, bool outgoing) {
        return static_cast<std::uint32_t>(key) | (outgoing ? kOutgoingBit : 0u);
    }
    // Every stored packet that passes the rebuild test, in capture order.
    RowArray RebuildRows() const;

    // Empties both stores; the mode, addresses and filter stay.
    void Clear();
    // Before packets are expected to come quickly (a capture starting): the
    // stores' first memory is made ready off this thread.
    void PrepareForPackets();
    // The store writes its bytes out behind the packets filed, so a full disk
    // may show only after the last packet of a burst or a file: owners ask
    // here when no packet comes. Takes the finished writes without waiting;
    // false once one failed, and LastRefusal() then says DiskFull.
    bool CheckStoreWrites();
    // Whether filed bytes are still on their way to the store's file.
    bool StoreWritesPending() const { return mRaw.WritesPending(); }
    // Whether filing a datagram now could wait for the store's disk.
    bool StoreWriterFull() const { return mRaw.WriterFull(); }

    const PacketStore& Packets() const { return mPackets; }
    const RawDatagramStore& Raw() const { return mRaw; }
    std::int32_t Count() const { return mPackets.Count(); }
    std::span<const std::uint8_t> Bytes(const clV& record) const { return mRaw.Get(record.DataPosition()); }
    // A pass that reads packets' bytes in order asks for those kPrefetchAhead
    // packets on: from memory or from the disk, they then come without a wait.
    static constexpr std::int32_t kPrefetchAhead = 8;
    void PrefetchBytes(std::int32_t key) const;  // no such key: nothing
    std::uint32_t WireLength(const clV& record) const { return mRaw.WireLength(record.DataPosition()); }

    CaptureSource& Source() { return mSource; }
    const CaptureSource& Source() const { return mSource; }

    // Packets stored that no capture file holds yet: captured, and neither
    // opened from a file nor saved since.
    bool HasUnsavedPackets() const { return mUnsaved && mPackets.Count() > 0; }
    void MarkSaved() { mUnsaved = false; }

private:
    PacketStore mPackets;
    RawDatagramStore mRaw;
    std::int32_t mSequence = 0;
    std::int32_t mListViewMode = 0;
    const LocalAddressSet* mMachineAddresses = nullptr;
    LocalAddressSet mOwnAddresses;  // empty, or the recorded capture address
    bool mJudgeByRecorded = false;
    PacketFilter mDisplayFilter;
    CaptureSource mSource;
    bool mUnsaved = false;
    bool mLastListed = false;  // the last AddPacket passed the live test
    std::int32_t mPacketLimit = PacketStore::kMaxKey;
    MemoryGuard mMemoryGuard;
    bool mMemoryLow = false;  // the last look found too little: look at every packet
    FilingStop mLastRefusal = FilingStop::None;

    bool MemoryRunsShort();
};

}  // namespace wirelens
