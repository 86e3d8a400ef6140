#pragma once
// Which stored packets the packet list shows, and the texts that go with it.
#include <cstdint>
#include <string>

#include "capture/local_addresses.h"
#include "packets/clv.h"

namespace wirelens {

enum ListViewMode : std::int32_t {
    kModeAll = 0,
    kModeReceived = 1,
    kModeSent = 2,
    kModeTcp = 3,
    kModeUdp = 4,
    kModeIcmp = 5,
};
inline constexpr int kListViewModeCount = 6;

bool IsValidListViewMode(std::int32_t mode);

// Test for a packet as it arrives. Received and Sent exclude by the other side:
// a packet with no local address passes both, one between two local addresses neither.
bool PassesLiveTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr);
// Test for a stored packet when the list is rebuilt. Received and Sent include by
// their own side: a packet with no local address passes neither, one between two
// local addresses both. The two tests agree when exactly one address is local.
bool PassesRebuildTest(std::int32_t mode, const clV& record, const LocalAddressSet& dicAddr);

// "All", "Received", ... : the menu captions and the toolbar entry tags.
const char* ListViewModeName(std::int32_t mode);
// "List view -> All", ...
std::string ListViewModeStatusText(std::int32_t mode);

// "0 packet", "1 packet", "2 packets", ...
std::string PacketCountText(std::int64_t rows);

}  // namespace wirelens
