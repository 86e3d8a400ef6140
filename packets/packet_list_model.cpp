#include "packets/packet_list_model.h"

#include <QMetaObject>

#include "capture/decode.h"
#include "dissect/dissect.h"

namespace wirelens {

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
    : QAbstractTableModel(parent), mSession(session) {}

void PacketListModel::SetRowIcons(QIcon incoming, QIcon outgoing) {
    mIncoming = std::move(incoming);
    mOutgoing = std::move(outgoing);
}

void PacketListModel::AppendRow(std::int32_t key, bool outgoing) {
    mPending.push_back(RowEntry(key, outgoing));
    if (!mFlushQueued) {
        mFlushQueued = true;
        QMetaObject::invokeMethod(this, &PacketListModel::FlushPending, Qt::QueuedConnection);
    }
}

void PacketListModel::FlushPending() {
    mFlushQueued = false;
    if (mPending.empty()) return;
    const int first = static_cast<int>(mRows.size());
    const int last = first + static_cast<int>(mPending.size()) - 1;
    beginInsertRows(QModelIndex(), first, last);
    mRows.insert(mRows.end(), mPending.begin(), mPending.end());
    mPending.clear();
    endInsertRows();
    emit RowsFlushed(static_cast<qint64>(mRows.size()));
}

void PacketListModel::RemoveAllRows() {
    beginResetModel();
    mRows.clear();
    mRows.shrink_to_fit();
    mPending.clear();
    endResetModel();
}

void PacketListModel::ReplaceRows(std::vector<std::uint32_t> rows) {
    beginResetModel();
    mRows.assign(rows.begin(), rows.end());
    mPending.clear();
    endResetModel();
}

std::int32_t PacketListModel::KeyAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= mRows.size()) return 0;
    return static_cast<std::int32_t>(mRows[static_cast<std::size_t>(row)] & ~kOutgoingBit);
}

bool PacketListModel::OutgoingAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= mRows.size()) return false;
    return (mRows[static_cast<std::size_t>(row)] & kOutgoingBit) != 0;
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
