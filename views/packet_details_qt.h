#pragma once
// The details pane: the true decode's field tree of the selected packet in a
// QTreeWidget (one top-level item per layer, its fields below), and the link
// from a field to its bytes in ListViewHEX.
#include <cstdint>
#include <optional>

#include "dissect/tree.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace wirelens {

struct ByteRange {
    std::uint32_t offset = 0;  // from the start of the IPv4 header
    std::uint32_t length = 0;
};

// Replaces the pane's content by `tree`; layers start expanded.
void ShowPacketDetails(QTreeWidget* treeDetails, const dissect::DissectTree& tree);
void ClearPacketDetails(QTreeWidget* treeDetails);

// The datagram bytes an item of the pane stands for; none for a remark.
std::optional<ByteRange> DetailItemRange(const QTreeWidgetItem* item);

// The rows of the hex view (16 bytes each) that hold `range`, when the view
// shows `viewLength` bytes of the datagram from `viewOffset` on: first and
// last row, or none when no byte of the range is shown.
struct HexRows {
    int first = 0;
    int last = 0;
};
std::optional<HexRows> HexRowsOfRange(int viewOffset, int viewLength, ByteRange range);

// Selects the rows of ListViewHEX holding `range` and brings the first into
// view; clears the selection when the view shows none of it.
void SelectHexBytes(QTreeWidget* listViewHex, int viewOffset, int viewLength, ByteRange range);

}  // namespace wirelens
