#pragma once
// The packet list's model: a thin map from row to packet store key. Rows
// appended during a capture wait in a pending batch that is inserted once per
// event-loop turn (one beginInsertRows for the batch); a rebuild replaces all
// rows with one reset. Only the Info column looks at a packet's bytes, through
// the decoder, when a view asks for that cell.
#include <QAbstractTableModel>
#include <QIcon>
#include <cstdint>
#include <deque>
#include <vector>

#include "packets/capture_session.h"

namespace wirelens {

class PacketListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        kColProtocol, kColSrcAddr, kColSrcPort, kColDestAddr, kColDestPort, kColSize, kColTime,
        kColInfo,  // the true decode's summary, computed when asked for, never stored
        kColumnCount
    };
    // The columns the report and the detail views read: all but Info.
    static constexpr int kRecordColumnCount = kColInfo;
    static constexpr int kTagRole = Qt::UserRole;  // the row's Tag: the datagram's store position

    explicit PacketListModel(const CaptureSession& session, QObject* parent = nullptr);

    // Images 7 (incoming) and 8 (outgoing) of the window's image list.
    void SetRowIcons(QIcon incoming, QIcon outgoing);

    // Queues a row for `key`; it becomes visible at the next flush.
    void AppendRow(std::int32_t key, bool outgoing);
    // Inserts the queued rows now. Runs by itself once per event-loop turn.
    void FlushPending();
    // Rows shown plus rows waiting for the next flush.
    std::int64_t TotalRows() const { return static_cast<std::int64_t>(mRows.size() + mPending.size()); }
    void RemoveAllRows();
    // Replaces every row in one reset (the list rebuild).
    void ReplaceRows(std::vector<std::uint32_t> rows);
    // A row entry: the store key, with the outgoing flag in the top bit.
    static std::uint32_t RowEntry(std::int32_t key, bool outgoing) { return CaptureSession::RowEntry(key, outgoing); }
    std::int32_t KeyAt(int row) const;
    bool OutgoingAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // After a flush inserted rows; `rows` is the new row count.
    void RowsFlushed(qint64 rows);

private:
    static constexpr std::uint32_t kOutgoingBit = CaptureSession::kOutgoingBit;
    const CaptureSession& mSession;
    // In fixed blocks: appending to millions of rows never copies them all.
    std::deque<std::uint32_t> mRows;
    std::vector<std::uint32_t> mPending;
    bool mFlushQueued = false;
    QIcon mIncoming;
    QIcon mOutgoing;
};

}  // namespace wirelens
