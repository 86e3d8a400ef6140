#include "packets/list_view_mode.h"

#include "capture/decode.h"

namespace wirelens {

namespace {
constexpr const char* kNames[kListViewModeCount] = {"All", "Received", "Sent", "TCP", "UDP", "ICMP"};

bool ProtocolTest(std::int32_t mode, const clV& record, bool& decided) {
    decided = true;
    switch (mode) {
        case kModeAll: return true;
        case kModeTcp: return record.Protocol() == kProtocolTcp;
        case kModeUdp: return record.Protocol() == kProtocolUdp;
        case kModeIcmp: return record.Protocol() == kProtocolIcmp;
        default: decided = false; return false;
    }
}
}  // namespace

bool IsValidListViewMode(std::int32_t mode) { return mode >= 0 && mode < kListViewModeCount; }

bool PassesLiveTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr) {
    bool decided = false;
    const bool pass = ProtocolTest(mode, record, decided);
    if (decided) return pass;
    if (mode == kModeReceived) return !dicAddr.ContainsAddress(record.SrcAddress());
    if (mode == kModeSent) return !dicAddr.ContainsAddress(record.DestAddress());
    return false;
}

bool PassesRebuildTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr) {
    bool decided = false;
    const bool pass = ProtocolTest(mode, record, decided);
    if (decided) return pass;
    if (mode == kModeReceived) return dicAddr.ContainsAddress(record.DestAddress());
    if (mode == kModeSent) return dicAddr.ContainsAddress(record.SrcAddress());
    return false;
}

const char* ListViewModeName(std::int32_t mode) {
    return IsValidListViewMode(mode) ? kNames[mode] : "";
}

std::string ListViewModeStatusText(std::int32_t mode) {
    return std::string("List view -> ") + ListViewModeName(mode);
}

std::string PacketCountText(std::int64_t rows) {
    return std::to_string(rows) + (rows < 2 ? " packet" : " packets");
}

}  // namespace wirelens
