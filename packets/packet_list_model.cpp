#include "packets/packet_list_model.h"

#include <algorithm>
#include <unordered_map>

#include "capture/decode.h"
#include "dissect/dissect.h"

namespace wirelens {

static_assert(RowArray::kOutgoingBit == CaptureSession::kOutgoingBit && RowArray::kOutgoingBit == kRowOutgoingBit);

namespace {
const char* const kHeaders[PacketListModel::kColumnCount] = {
    "Protocol", "Source IP", "Source Port", "Destination IP", "Destination Port", "Length (Bytes)", "Start Time",
    "Info"};

QString AddressText(std::uint32_t address) {
    char buf[16];
    const std::size_t n = AddressToText(address, buf);
    return QString::fromLatin1(buf, static_cast<qsizetype>(n));
}

// Painting asks for one cell at a time on the GUI thread; one buffer serves them all.
QString SummaryText(std::span<const std::uint8_t> bytes, std::uint32_t wireLength) {
    static std::string buffer;
    buffer.clear();
    dissect::AppendDatagramSummary(bytes, wireLength, buffer);
    return QString::fromLatin1(buffer.data(), static_cast<qsizetype>(buffer.size()));
}
}  // namespace

PacketListModel::PacketListModel(const CaptureSession& session, QObject* parent)
    : QAbstractTableModel(parent), mSession(session) {
    mFlushTimer.setSingleShot(true);
    connect(&mFlushTimer, &QTimer::timeout, this, &PacketListModel::FlushPending);
}

void PacketListModel::SetRowIcons(QIcon incoming, QIcon outgoing) {
    mIncoming = std::move(incoming);
    mOutgoing = std::move(outgoing);
}

void PacketListModel::AppendRow(std::int32_t key, bool outgoing) {
    mPending.push_back(RowEntry(key, outgoing));
    if (mPending.size() > 1) return;  // the first row waiting set the timer
    const qint64 since = mSinceFlush.isValid() ? mSinceFlush.elapsed() : kFlushIntervalMs;
    mFlushTimer.start(static_cast<int>(std::max<qint64>(kFlushIntervalMs - since, 0)));  // 0: at the next turn
}

void PacketListModel::FlushPending() {
    mFlushTimer.stop();
    if (mPending.empty()) return;
    mSinceFlush.start();
    if (mOrder) {
        InsertSortedPending();
    } else {
        const int first = static_cast<int>(mRows.size());
        const int last = first + static_cast<int>(mPending.size()) - 1;
        beginInsertRows(QModelIndex(), first, last);
        mRows.append(mPending);
        mPending.clear();
        endInsertRows();
    }
    emit RowsFlushed(static_cast<qint64>(mRows.size()));
}

template <typename Arrange, typename Follow>
void PacketListModel::ChangeLayout(Arrange arrange, Follow follow) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> rows;
    std::vector<std::uint32_t> entries;
    rows.reserve(static_cast<std::size_t>(before.size()));
    entries.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        rows.push_back(index.row());
        entries.push_back(mRows.At(static_cast<std::size_t>(index.row())));
    }
    arrange();
    const std::vector<int> moved = follow(rows, entries);
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
        after.push_back(index(moved[static_cast<std::size_t>(i)], before[i].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

template <typename Arrange>
void PacketListModel::ChangeLayout(Arrange arrange) {
    ChangeLayout(arrange, [this](const std::vector<int>&, const std::vector<std::uint32_t>& entries) {
        // Few persistent indexes (the selection, the current row): find their rows by entry.
        std::unordered_map<std::uint32_t, int> wanted;
        for (const std::uint32_t entry : entries) wanted.emplace(entry, -1);
        std::size_t found = 0;
        for (std::size_t row = 0; row < mRows.size() && found < wanted.size(); ++row) {
            const auto it = wanted.find(mRows.At(row));
            if (it != wanted.end() && it->second < 0) {
                it->second = static_cast<int>(row);
                ++found;
            }
        }
        std::vector<int> moved;
        moved.reserve(entries.size());
        for (const std::uint32_t entry : entries) moved.push_back(wanted[entry]);
        return moved;
    });
}

void PacketListModel::InsertSortedPending() {
    // The batch enters at the end (one insert), then moves to its places (one layout change).
    const int first = static_cast<int>(mRows.size());
    const int last = first + static_cast<int>(mPending.size()) - 1;
    std::vector<std::uint32_t> batch;
    batch.swap(mPending);
    beginInsertRows(QModelIndex(), first, last);
    mRows.append(batch);
    endInsertRows();
    std::vector<std::size_t> taken;  // the merged rows the batch took, ascending
    ChangeLayout(
        [&] {
            mRows.resize(static_cast<std::size_t>(first));
            taken = InsertSortedRows(mRows, batch, *mOrder, mSession.Packets());
        },
        // Where the persistent indexes went follows from the batch's places, with
        // no pass over the list: an old row moves down by the batch entries
        // that went before it, and a row of the batch is among those places.
        [&](const std::vector<int>& rows, const std::vector<std::uint32_t>& entries) {
            std::vector<int> moved;
            moved.reserve(rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const auto row = static_cast<std::size_t>(rows[i]);
                if (row < static_cast<std::size_t>(first)) {
                    // Batch entry j has taken[j] - j old rows before it, rising with j.
                    std::size_t low = 0;
                    std::size_t high = taken.size();
                    while (low < high) {
                        const std::size_t mid = low + (high - low) / 2;
                        if (taken[mid] - mid <= row) low = mid + 1; else high = mid;
                    }
                    moved.push_back(static_cast<int>(row + low));
                } else {
                    const auto place = std::find_if(taken.begin(), taken.end(),
                                                    [&](std::size_t at) { return mRows.At(at) == entries[i]; });
                    moved.push_back(place != taken.end() ? static_cast<int>(*place) : -1);
                }
            }
            return moved;
        });
}

void PacketListModel::SetRowOrder(std::optional<RowOrder> order) {
    FlushPending();
    mOrder = order;
    ChangeLayout([this] {
        if (mOrder) {
            SortRows(mRows, *mOrder, mSession.Packets());
        } else {
            std::sort(mRows.begin(), mRows.end(),
                      [](std::uint32_t a, std::uint32_t b) { return RowKey(a) < RowKey(b); });
            mRows.Compact();  // capture order again: back to a run when the rows form one
        }
    });
}

void PacketListModel::RemoveAllRows() {
    beginResetModel();
    mRows.release();
    mPending.clear();
    endResetModel();
}

void PacketListModel::ReplaceRows(RowArray rows) {
    if (mOrder) SortRows(std::span(rows.data(), rows.size()), *mOrder, mSession.Packets());
    beginResetModel();
    mRows = std::move(rows);
    mPending.clear();
    endResetModel();
}

std::int32_t PacketListModel::KeyAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= mRows.size()) return 0;
    return static_cast<std::int32_t>(mRows.At(static_cast<std::size_t>(row)) & ~kOutgoingBit);
}

bool PacketListModel::OutgoingAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= mRows.size()) return false;
    return (mRows.At(static_cast<std::size_t>(row)) & kOutgoingBit) != 0;
}

bool PacketListModel::AppendCellText(int row, int column, std::string& out) const {
    if (row < 0 || static_cast<std::size_t>(row) >= mRows.size()) return false;
    const clV* record = mSession.Packets().Get(KeyAt(row));
    if (record == nullptr) return false;
    switch (column) {
        case kColProtocol: out += record->mProtocol(); return true;
        case kColSrcAddr:
        case kColDestAddr: {
            char buf[16];
            const auto address = column == kColSrcAddr ? record->SrcAddress() : record->DestAddress();
            out.append(buf, AddressToText(address, buf));
            return true;
        }
        case kColSrcPort: out += record->mSrcPort(); return true;
        case kColDestPort: out += record->mDestPort(); return true;
        case kColSize: out += std::to_string(record->Size()); return true;
        case kColTime: out += record->mHora(); return true;
        case kColInfo: dissect::AppendDatagramSummary(mSession.Bytes(*record), mSession.WireLength(*record), out); return true;
        default: return false;
    }
}

int PacketListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(mRows.size());
}

int PacketListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const clV* record = mSession.Packets().Get(KeyAt(index.row()));
    if (record == nullptr) return {};
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case kColProtocol: return QString::fromLatin1(record->mProtocol());
                case kColSrcAddr: return AddressText(record->SrcAddress());
                case kColSrcPort: return QString::fromLatin1(record->mSrcPort());
                case kColDestAddr: return AddressText(record->DestAddress());
                case kColDestPort: return QString::fromLatin1(record->mDestPort());
                case kColSize: return QString::number(record->Size());
                case kColTime: return QString::fromStdString(record->mHora());
                case kColInfo: return SummaryText(mSession.Bytes(*record), mSession.WireLength(*record));
                default: return {};
            }
        case Qt::DecorationRole:
            if (index.column() != kColProtocol) return {};
            return OutgoingAt(index.row()) ? mOutgoing : mIncoming;
        case Qt::TextAlignmentRole:
            switch (index.column()) {
                case kColSrcPort:
                case kColDestPort: return QVariant::fromValue(Qt::AlignHCenter | Qt::AlignVCenter);
                case kColSize: return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
                default: return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
            }
        case kTagRole: return QString::number(record->DataPosition());
        default: return {};
    }
}

QVariant PacketListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(kHeaders[section]);
    if (role == Qt::TextAlignmentRole) {
        if (section == kColSrcPort || section == kColDestPort) return QVariant::fromValue(Qt::AlignHCenter | Qt::AlignVCenter);
        if (section == kColSize) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

}  // namespace wirelens
