// The main window's handlers for the detail views: a click on a packet row,
// and saving the selected packet's report.
#include <QItemSelectionModel>
#include <QTableView>

#include "packets/packet_list_model.h"
#include "ui/form_main.h"
#include "views/packet_views_qt.h"

namespace wirelens {

void FormMain::lv_ItemClick(int row) {
    const QModelIndex protocol = mModel->index(row, PacketListModel::kColProtocol);
    if (!protocol.isValid()) return;
    ShowClickedPacket(protocol.data().toString(),
                      mModel->index(row, PacketListModel::kColSize).data().toString(),
                      protocol.data(PacketListModel::kTagRole).toString(), mSession.Raw(), txtData, ListViewHEX);
}

void FormMain::Menu_Save_Click() {
    const QModelIndex current = lv->selectionModel() != nullptr ? lv->selectionModel()->currentIndex() : QModelIndex();
    if (!current.isValid() || !lv->selectionModel()->isRowSelected(current.row(), QModelIndex())) return;
    QStringList texts;
    for (int c = 0; c < PacketListModel::kColumnCount; ++c) texts << mModel->index(current.row(), c).data().toString();
    const PacketRowTexts row = RowTextsFromList(texts);
    SaveReport(this, row, txtData, ListViewHEX, AppFolder,
               [this](QWidget* parent, const QString& folder) { return chooseSaveFileName(parent, folder); });
}

}  // namespace wirelens
