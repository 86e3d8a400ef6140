#pragma once
// The packet list's model: a thin map from row to packet store key. Rows
// appended during a capture wait in a pending batch that is inserted at the
// next event-loop turn, or at most once a frame while rows keep coming (one
// beginInsertRows for the batch); a rebuild replaces all
// rows with one reset. A sorted list takes a batch at the end and then moves
// it to its places in one layout change. Only the Info column looks at a
// packet's bytes, through the decoder, when a view asks for that cell.
#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTimer>
#include <QIcon>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packets/capture_session.h"
#include "packets/packet_sort.h"
#include "packets/row_array.h"

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
    // Inserts the queued rows now. Runs by itself at the next event-loop turn,
    // or kFlushIntervalMs after the last insertion when that was sooner: rows
    // arriving faster than a screen refreshes cost one insertion and one
    // repaint a frame, not one per read. The window's table costs the same
    // per insertion however long the list (Qt's own table would not: its row
    // header places every row again after each insertion).
    void FlushPending();
    static constexpr int kFlushIntervalMs = 16;
    // Rows shown plus rows waiting for the next flush.
    std::int64_t TotalRows() const { return static_cast<std::int64_t>(mRows.size() + mPending.size()); }
    void RemoveAllRows();
    // Replaces every row in one reset (the list rebuild); rows come in capture
    // order and are sorted here when the list is sorted.
    void ReplaceRows(RowArray rows);
    // Sorts the rows by a column, or puts them back in capture order (nullopt).
    // A layout change: selection and current row stay on their packets.
    void SetRowOrder(std::optional<RowOrder> order);
    const std::optional<RowOrder>& CurrentRowOrder() const { return mOrder; }
    // The rows shown, as row entries.
    const RowArray& Rows() const { return mRows; }
    // A row entry: the store key, with the outgoing flag in the top bit.
    static std::uint32_t RowEntry(std::int32_t key, bool outgoing) { return CaptureSession::RowEntry(key, outgoing); }
    std::int32_t KeyAt(int row) const;
    bool OutgoingAt(int row) const;
    // Appends a cell's text as bytes, for painting without a QVariant; false when
    // there is no such cell. Text of printable ASCII alone is the DisplayRole text.
    bool AppendCellText(int row, int column, std::string& out) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // After a flush inserted rows; `rows` is the new row count.
    void RowsFlushed(qint64 rows);

private:
    static constexpr std::uint32_t kOutgoingBit = CaptureSession::kOutgoingBit;
    // Rearranges the rows with `arrange` as one layout change, moving every
    // persistent index (selection, current row) to its packet's new row:
    // `follow(rows, entries)` gives the new rows of the indexes that were at
    // `rows`, holding `entries`; the first form looks for them in the list.
    template <typename Arrange, typename Follow>
    void ChangeLayout(Arrange arrange, Follow follow);
    template <typename Arrange>
    void ChangeLayout(Arrange arrange);
    void InsertSortedPending();

    const CaptureSession& mSession;
    std::optional<RowOrder> mOrder;
    RowArray mRows;
    std::vector<std::uint32_t> mPending;
    QElapsedTimer mSinceFlush;  // since the last insertion of pending rows
    QTimer mFlushTimer;  // the next insertion, while rows wait
    QIcon mIncoming;
    QIcon mOutgoing;
};

}  // namespace wirelens
