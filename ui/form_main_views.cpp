// The main window's handlers for the detail views: a click on a packet row,
// the details pane and its link to the hex view, and saving the selected
// packet's report.
#include <QItemSelectionModel>
#include <QTableView>

#include <QTreeWidget>
#include <algorithm>

#include "dissect/dissect.h"
#include "packets/packet_list_model.h"
#include "ui/form_main.h"
#include "views/packet_details_qt.h"
#include "views/packet_views_qt.h"

namespace wirelens {

void FormMain::lv_ItemClick(int row) {
    const QModelIndex protocol = mModel->index(row, PacketListModel::kColProtocol);
    if (!protocol.isValid()) return;
    ShowClickedPacket(protocol.data().toString(),
                      mModel->index(row, PacketListModel::kColSize).data().toString(),
                      protocol.data(PacketListModel::kTagRole).toString(), mSession.Raw(), txtData, ListViewHEX);
    ShowPacketDetailsOf(row);
}

void FormMain::ShowPacketDetailsOf(int row) {
    const clV* record = mSession.Packets().Get(mModel->KeyAt(row));
    if (record == nullptr) {
        ClearPacketDetailsPane();
        return;
    }
    // The hex view shows the record's Length from its protocol's data offset.
    mHexViewOffset = DataOffsetOfProtocolText(record->mProtocol());
    mHexViewLength = std::min<int>(record->Size(), static_cast<int>(kReceiveBufferSize) - mHexViewOffset);
    ShowPacketDetails(TreeDetails, dissect::DissectDatagram(mSession.Bytes(*record), mSession.WireLength(*record)));
}

void FormMain::ClearPacketDetailsPane() {
    ClearPacketDetails(TreeDetails);
    mHexViewOffset = 0;
    mHexViewLength = 0;
}

void FormMain::TreeDetails_ItemSelected() {
    const auto selected = TreeDetails->selectedItems();
    const auto range = selected.isEmpty() ? std::nullopt : DetailItemRange(selected.front());
    if (!range) {
        ListViewHEX->clearSelection();
        return;
    }
    SelectHexBytes(ListViewHEX, mHexViewOffset, mHexViewLength, *range);
}

void FormMain::Menu_Save_Click() {
    const QModelIndex current = lv->selectionModel() != nullptr ? lv->selectionModel()->currentIndex() : QModelIndex();
    if (!current.isValid() || !lv->selectionModel()->isRowSelected(current.row(), QModelIndex())) return;
    QStringList texts;
    for (int c = 0; c < PacketListModel::kRecordColumnCount; ++c) {
        texts << mModel->index(current.row(), c).data().toString();
    }
    const PacketRowTexts row = RowTextsFromList(texts);
    SaveReport(this, row, txtData, ListViewHEX, AppFolder,
               [this](QWidget* parent, const QString& folder) { return chooseSaveFileName(parent, folder); });
}

}  // namespace wirelens
