#include "packets/capture_session.h"

#include <algorithm>

#include "capture/decode.h"
#include "packets/available_memory.h"
#include "packets/list_view_mode.h"

namespace wirelens {

CaptureSession::CaptureSession() : mMemoryGuard{AvailableMemoryBytes, kMemoryMargin, kMemoryCheckEvery} {}

bool CaptureSession::CanFileAnother() const {
    return mPackets.Count() < mPacketLimit && mRaw.Count() < UINT32_MAX;
}

void CaptureSession::SetPacketLimit(std::int32_t limit) {
    mPacketLimit = std::clamp(limit, 1, PacketStore::kMaxKey);
}

bool CaptureSession::MemoryRunsShort() {
    if (!mMemoryGuard.availableBytes) return false;
    const std::uint32_t every = std::max<std::uint32_t>(mMemoryGuard.checkEvery, 1);
    if (!mMemoryLow && static_cast<std::uint32_t>(mPackets.Count()) % every != 0) return false;
    const std::optional<std::uint64_t> available = mMemoryGuard.availableBytes();
    mMemoryLow = available && *available < mMemoryGuard.marginBytes;
    return mMemoryLow;
}

IngestResult CaptureSession::Ingest(std::span<const std::uint8_t> bytes, PacketTime time,
                                    std::uint32_t wireLength) {
    // A packet that cannot be filed keeps nothing, not even its bytes.
    if (!CanFileAnother()) {
        mLastRefusal = FilingStop::NoKeyLeft;
        return {};
    }
    if (MemoryRunsShort()) {
        mLastRefusal = FilingStop::MemoryLow;
        return {};
    }
    mLastRefusal = FilingStop::None;
    const std::span<const std::uint8_t> kept = bytes.first(std::min(bytes.size(), kReceiveBufferSize));
    const DecodedDatagram d = DecodeDatagram(kept);
    const std::uint32_t wire = wireLength != 0 ? wireLength : static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t position = mRaw.Append(kept, wire);
    if (position == 0) {
        // The store keeps all it had and takes nothing more until cleared.
        mLastRefusal = FilingStop::DiskFull;
        return {};
    }
    std::optional<std::uint16_t> srcPort, destPort;
    if (d.hasPorts) {
        srcPort = d.srcPort;
        destPort = d.dstPort;
    }
    const std::int32_t key = AddPacket(d.protocol, d.srcAddr, d.dstAddr, srcPort, destPort, position, d.size, time);
    if (key == 0) return {};
    return {mLastListed ? IngestStatus::Listed : IngestStatus::Hidden, key};
}

bool CaptureSession::CheckStoreWrites() {
    if (mRaw.TakeFinishedWrites()) return true;
    mLastRefusal = FilingStop::DiskFull;
    return false;
}

std::int32_t CaptureSession::AddPacket(std::uint8_t Proto, std::uint32_t SrcAddr, std::uint32_t DestAddr,
                                       std::optional<std::uint16_t> SrcPort,
                                       std::optional<std::uint16_t> DestPort, std::uint32_t Data,
                                       std::int32_t Size, PacketTime Hora) {
    mLastListed = false;
    clV record;
    record.add(Proto, SrcAddr, SrcPort, DestAddr, DestPort, Size, Data, CaptureTime{});
    record.SetTimestamp(Hora);
    if (mPackets.Count() == 0) {
        mSequence = 1;
    } else if (mSequence < mPacketLimit) {
        ++mSequence;
    } else {
        return 0;  // the store is full; nothing more can be keyed
    }
    if (!mPackets.Put(mSequence, record)) return 0;
    mUnsaved = true;
    if (!PassesLiveTest(record)) return mSequence;
    mLastListed = true;
    if (onRowAdmitted) onRowAdmitted(mSequence, record);
    return mSequence;
}

void CaptureSession::SetListViewMode(std::int32_t mode) {
    if (IsValidListViewMode(mode)) mListViewMode = mode;
}

void CaptureSession::SetMachineAddresses(const LocalAddressSet* addresses) { mMachineAddresses = addresses; }

void CaptureSession::JudgeDirectionBy(std::optional<std::string> recordedAddress) {
    mOwnAddresses.Clear();
    mJudgeByRecorded = recordedAddress.has_value();
    if (recordedAddress) mOwnAddresses.Set(*recordedAddress);
}

const LocalAddressSet& CaptureSession::DirectionAddresses() const {
    if (mJudgeByRecorded || mMachineAddresses == nullptr) return mOwnAddresses;
    return *mMachineAddresses;
}

bool CaptureSession::PassesLiveTest(const clV& record) const {
    if (!wirelens::PassesLiveTest(mListViewMode, record, DirectionAddresses())) return false;
    return !mDisplayFilter || mDisplayFilter(Bytes(record), WireLength(record));
}

bool CaptureSession::PassesRebuildTest(const clV& record) const {
    if (!wirelens::PassesRebuildTest(mListViewMode, record, DirectionAddresses())) return false;
    return !mDisplayFilter || mDisplayFilter(Bytes(record), WireLength(record));
}

bool CaptureSession::IsOutgoing(const clV& record) const {
    return DirectionAddresses().ContainsAddress(record.SrcAddress());
}

void CaptureSession::PrefetchBytes(std::int32_t key) const {
    if (const clV* record = mPackets.Get(key)) mRaw.Prefetch(record->DataPosition());
}

RowArray CaptureSession::RebuildRows() const {
    // Rows in capture order with no packet left out stay a run, a bit a row:
    // a whole capture is listed again without writing a key a row anywhere.
    RowArray rows;
    const std::int32_t n = mPackets.Count();
    for (std::int32_t key = 1; key <= n; ++key) {
        const clV* record = mPackets.Get(key);
        // A filter reads each datagram's bytes: ask for them a few packets ahead.
        if (mDisplayFilter && key <= n - kPrefetchAhead) PrefetchBytes(key + kPrefetchAhead);
        if (record == nullptr || !PassesRebuildTest(*record)) continue;
        rows.push_back(RowEntry(key, IsOutgoing(*record)));
    }
    return rows;
}

void CaptureSession::PrepareForPackets() {
    mPackets.PrepareFirstChunk();
    // The room for chunks behind a slow disk follows the memory the guard reads.
    mRaw.PrepareFirstChunks(mMemoryGuard.availableBytes ? mMemoryGuard.availableBytes() : std::nullopt);
}

void CaptureSession::Clear() {
    mRaw.Clear();
    mPackets.Clear();
    mUnsaved = false;
    mSource.kernelDrops = 0;
    mMemoryLow = false;
    mLastRefusal = FilingStop::None;
}

}  // namespace wirelens
