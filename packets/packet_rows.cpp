// The main window's packet routines: filing each packet, its list row, the
// count text, clearing, and the list view modes.
#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "packets/list_view_mode.h"
#include "packets/packet_list_model.h"
#include "ui/form_main.h"
#include "views/packet_views_qt.h"

namespace wirelens {

void FormMain::IngestDatagram(std::span<const std::uint8_t> bytes, std::int64_t seconds,
                              std::uint32_t microseconds) {
    const std::span<const std::uint8_t> kept = bytes.first(std::min(bytes.size(), kReceiveBufferSize));
    const DecodedDatagram d = DecodeDatagram(kept);
    const std::uint32_t position = mRawStore.Append(kept);
    std::optional<std::uint16_t> srcPort, destPort;
    if (d.hasPorts) {
        srcPort = d.srcPort;
        destPort = d.dstPort;
    }
    AddPacket(d.protocol, d.srcAddr, d.dstAddr, srcPort, destPort, position, d.size,
              CaptureTimeOf(seconds, microseconds));
}

void FormMain::AddPacket(std::uint8_t Proto, std::uint32_t SrcAddr, std::uint32_t DestAddr,
                         std::optional<std::uint16_t> SrcPort, std::optional<std::uint16_t> DestPort,
                         std::uint32_t Data, std::int32_t Size, CaptureTime Hora) {
    clV record;
    record.add(Proto, SrcAddr, SrcPort, DestAddr, DestPort, Size, Data, Hora);
    if (mPackets.Count() == 0) {
        mSequence = 1;
    } else if (mSequence < PacketStore::kMaxKey) {
        ++mSequence;
    } else {
        return;  // the store is full; nothing more can be keyed
    }
    if (!mPackets.Put(mSequence, record)) return;
    if (!PassesLiveTest(mListViewMode, record, dicAddr)) return;
    // The count text follows when the row is inserted, in the same event-loop turn.
    AddPacketRow(mSequence, record);
}

void FormMain::AddPacketRow(std::int32_t key, const clV& record) {
    // Icon 8 when the packet left this machine, 7 otherwise; the row's Tag is
    // the record's datagram position, read back through the model.
    mModel->AppendRow(key, dicAddr.ContainsAddress(record.SrcAddress()));
}

void FormMain::UpdateCountText() {
    SetPanelText(2, QString::fromStdString(PacketCountText(mModel->TotalRows())));
}

void FormMain::FlushPendingRows() {
    mModel->FlushPending();
}

void FormMain::ClearPackets() {
    mModel->RemoveAllRows();
    mRawStore.Clear();
    mPackets.Clear();
    ClearPacketViews(txtData, ListViewHEX);
    SetPanelText(2, QStringLiteral("0 packet"));
}

void FormMain::ChooseListViewMode(std::int32_t mode) {
    if (!IsValidListViewMode(mode) || mode == mListViewMode) return;
    mListViewMode = mode;
    SetListViewMode();
    RefreshPacketList();
}

void FormMain::SetListViewMode() {
    QAction* items[] = {Menu_All, Menu_Received, Menu_Sent, Menu_TCP, Menu_UDP, Menu_ICMP};
    for (QAction* item : items) item->setChecked(false);
    SetPanelText(3, QString::fromStdString(ListViewModeStatusText(mListViewMode)));
    items[mListViewMode]->setChecked(true);
    for (int entry = 1; entry <= kListViewModeCount; ++entry) {
        QAction* e = ButtonMenu(5, entry);
        e->setText(e->data().toString());
    }
    QAction* current = ButtonMenu(5, mListViewMode + 1);
    current->setText(current->data().toString() + QStringLiteral(" <-"));
}

void FormMain::RefreshPacketList() {
    mModel->RemoveAllRows();
    ClearPacketViews(txtData, ListViewHEX);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // One pass in capture order, then one model reset: never a signal per row.
    std::vector<std::uint32_t> rows;
    const std::int32_t n = mPackets.Count();
    for (std::int32_t key = 1; key <= n; ++key) {
        const clV* record = mPackets.Get(key);
        if (record == nullptr || !PassesRebuildTest(mListViewMode, *record, dicAddr)) continue;
        rows.push_back(PacketListModel::RowEntry(key, dicAddr.ContainsAddress(record->SrcAddress())));
    }
    mModel->ReplaceRows(std::move(rows));
    UpdateCountText();
    QApplication::restoreOverrideCursor();
}

}  // namespace wirelens
