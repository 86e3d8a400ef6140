#include "packets/list_view_mode.h"

#include "capture/decode.h"

namespace wirelens {

namespace {
constexpr const char* kNames[kListViewModeCount] = {"All", "Received", "Sent", "TCP", "UDP", "ICMP"};

// The test of the protocol modes (and All), the same on arrival and on rebuild.
bool PassesProtocolTest(std::int32_t mode, const clV& record) {
    switch (mode) {
        case kModeAll: return true;
        case kModeTcp: return record.Protocol() == kProtocolTcp;
        case kModeUdp: return record.Protocol() == kProtocolUdp;
        case kModeIcmp: return record.Protocol() == kProtocolIcmp;
        default: return false;
    }
}
}  // namespace

bool IsValidListViewMode(std::int32_t mode) { return mode >= 0 && mode < kListViewModeCount; }

bool PassesLiveTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr) {
    switch (mode) {
        case kModeReceived: return !dicAddr.ContainsAddress(record.SrcAddress());
        case kModeSent: return !dicAddr.ContainsAddress(record.DestAddress());
        default: return PassesProtocolTest(mode, record);
    }
}

bool PassesRebuildTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr) {
    switch (mode) {
        case kModeReceived: return dicAddr.ContainsAddress(record.DestAddress());
        case kModeSent: return dicAddr.ContainsAddress(record.SrcAddress());
        default: return PassesProtocolTest(mode, record);
    }
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
