#include "views/packet_details_qt.h"

#include <QTreeWidget>
#include <algorithm>

namespace wirelens {
namespace {

constexpr int kOffsetRole = Qt::UserRole;
constexpr int kLengthRole = Qt::UserRole + 1;
constexpr int kHexBytesPerRow = 16;

QTreeWidgetItem* MakeItem(const QString& text, std::uint32_t offset, std::uint32_t length) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    if (length != 0) {
        item->setData(0, kOffsetRole, offset);
        item->setData(0, kLengthRole, length);
    }
    return item;
}

}  // namespace

void ShowPacketDetails(QTreeWidget* treeDetails, const dissect::DissectTree& tree) {
    if (treeDetails == nullptr) return;
    treeDetails->setUpdatesEnabled(false);
    treeDetails->clear();
    for (const auto& layer : tree.layers) {
        auto* layerItem = MakeItem(QString::fromStdString(layer.title), layer.offset, layer.length);
        QTreeWidgetItem* parent = layerItem;  // of the next depth-1 field
        for (const auto& field : layer.fields) {
            auto* item = MakeItem(QString::fromStdString(field.name + ": " + field.value), field.offset, field.length);
            if (field.depth == 0) {
                layerItem->addChild(item);
                parent = item;
            } else {
                parent->addChild(item);
            }
        }
        treeDetails->addTopLevelItem(layerItem);
        layerItem->setExpanded(true);
    }
    treeDetails->setUpdatesEnabled(true);
}

void ClearPacketDetails(QTreeWidget* treeDetails) {
    if (treeDetails != nullptr) treeDetails->clear();
}

std::optional<ByteRange> DetailItemRange(const QTreeWidgetItem* item) {
    if (item == nullptr) return std::nullopt;
    const QVariant offset = item->data(0, kOffsetRole);
    const QVariant length = item->data(0, kLengthRole);
    if (!offset.isValid() || !length.isValid()) return std::nullopt;
    return ByteRange{offset.toUInt(), length.toUInt()};
}

std::optional<HexRows> HexRowsOfRange(int viewOffset, int viewLength, ByteRange range) {
    if (viewOffset < 0 || viewLength <= 0 || range.length == 0) return std::nullopt;
    const std::int64_t viewEnd = std::int64_t{viewOffset} + viewLength;
    const std::int64_t first = std::max<std::int64_t>(range.offset, viewOffset);
    const std::int64_t end = std::min<std::int64_t>(std::int64_t{range.offset} + range.length, viewEnd);
    if (first >= end) return std::nullopt;
    return HexRows{static_cast<int>((first - viewOffset) / kHexBytesPerRow),
                   static_cast<int>((end - 1 - viewOffset) / kHexBytesPerRow)};
}

void SelectHexBytes(QTreeWidget* listViewHex, int viewOffset, int viewLength, ByteRange range) {
    if (listViewHex == nullptr) return;
    listViewHex->clearSelection();
    const auto rows = HexRowsOfRange(viewOffset, viewLength, range);
    if (!rows) return;
    const int last = std::min(rows->last, listViewHex->topLevelItemCount() - 1);
    for (int r = rows->first; r <= last; ++r) listViewHex->topLevelItem(r)->setSelected(true);
    if (rows->first <= last) listViewHex->scrollToItem(listViewHex->topLevelItem(rows->first));
}

}  // namespace wirelens
