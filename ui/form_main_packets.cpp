// The main window's packet routines: each delegates the packet state to the
// capture session and keeps the list, the views and the status texts in step.
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
    IngestDatagram(bytes, PacketTime{seconds, microseconds * 1000u}, 0);
}

void FormMain::IngestDatagram(std::span<const std::uint8_t> bytes, PacketTime time, std::uint32_t wireLength) {
    mSession.Ingest(bytes, time, wireLength);
}

void FormMain::AddPacket(std::uint8_t Proto, std::uint32_t SrcAddr, std::uint32_t DestAddr,
                         std::optional<std::uint16_t> SrcPort, std::optional<std::uint16_t> DestPort,
                         std::uint32_t Data, std::int32_t Size, PacketTime Hora) {
    // The session files the record and, when the live test passes, calls AddPacketRow;
    // the count text follows when the row is inserted, in the same event-loop turn.
    mSession.AddPacket(Proto, SrcAddr, DestAddr, SrcPort, DestPort, Data, Size, Hora);
}

void FormMain::AddPacketRow(std::int32_t key, const clV& record) {
    // Icon 8 when the packet left this machine, 7 otherwise; the row's Tag is
    // the record's datagram position, read back through the model.
    mModel->AppendRow(key, mSession.IsOutgoing(record));
}

void FormMain::UpdateCountText() {
    SetPanelText(2, QString::fromStdString(PacketCountText(mModel->TotalRows())));
    UpdateListedText();
}

void FormMain::FlushPendingRows() {
    mModel->FlushPending();
}

void FormMain::ClearPackets() {
    mModel->RemoveAllRows();
    mSession.Clear();
    ClearPacketViews(txtData, ListViewHEX);
    ClearPacketDetailsPane();
    SetPanelText(2, QStringLiteral("0 packet"));
    UpdateListedText();
}

void FormMain::ChooseListViewMode(std::int32_t mode) {
    if (!IsValidListViewMode(mode) || mode == mSession.ListViewMode()) return;
    mSession.SetListViewMode(mode);
    SetListViewMode();
    RefreshPacketList();
}

void FormMain::SetListViewMode() {
    QAction* items[] = {Menu_All, Menu_Received, Menu_Sent, Menu_TCP, Menu_UDP, Menu_ICMP};
    for (QAction* item : items) item->setChecked(false);
    SetPanelText(3, QString::fromStdString(ListViewModeStatusText(mSession.ListViewMode())));
    items[mSession.ListViewMode()]->setChecked(true);
    for (int entry = 1; entry <= kListViewModeCount; ++entry) {
        QAction* e = ButtonMenu(5, entry);
        e->setText(e->data().toString());
    }
    QAction* current = ButtonMenu(5, mSession.ListViewMode() + 1);
    current->setText(current->data().toString() + QStringLiteral(" <-"));
}

void FormMain::RefreshPacketList() {
    mModel->RemoveAllRows();
    ClearPacketViews(txtData, ListViewHEX);
    ClearPacketDetailsPane();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // One pass in capture order, then one model reset: never a signal per row.
    mModel->ReplaceRows(mSession.RebuildRows());
    UpdateCountText();
    QApplication::restoreOverrideCursor();
}

}  // namespace wirelens
