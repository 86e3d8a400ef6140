#include "ui/packet_table_view.h"

#include <QHeaderView>
#include <QHoverEvent>
#include <QItemSelectionModel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <vector>

namespace wirelens {

PacketTableView::PacketTableView(QWidget* parent) : QTableView(parent) {
    setVerticalScrollMode(ScrollPerPixel);
    connect(verticalScrollBar(), &QScrollBar::sliderReleased, this, [this] { AlignToRow(); });
}

void PacketTableView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    QTableView::scrollTo(index, hint);
    // Qt brings a row below the view up to the bottom edge, which can cut the
    // top row; the next whole row keeps the row brought in fully in view.
    AlignToRow();
}

int PacketTableView::WholeRowPixels() const {
    return verticalScrollMode() == ScrollPerPixel && PlacesRowsByNumber() ? verticalHeader()->defaultSectionSize() : 0;
}

void PacketTableView::AlignToRow() {
    const int rowHeight = WholeRowPixels();
    QScrollBar* bar = verticalScrollBar();
    const int value = bar->value();
    if (rowHeight == 0 || value == bar->maximum() || value % rowHeight == 0) return;
    bar->setValue(std::min((value / rowHeight + 1) * rowHeight, bar->maximum()));
}

void PacketTableView::updateGeometries() {
    QTableView::updateGeometries();
    // The wheel, the arrows and the page keys move by whole rows, as in a
    // table scrolled by rows, so rows stay aligned with the top edge.
    const int rowHeight = WholeRowPixels();
    if (rowHeight == 0) return;
    QScrollBar* bar = verticalScrollBar();
    bar->setSingleStep(rowHeight);
    bar->setPageStep(std::max(viewport()->height() / rowHeight, 1) * rowHeight);
}

bool PacketTableView::PlacesRowsByNumber() const {
    // The header keeps its total length as rows come and go, so this costs nothing.
    const QHeaderView* rows = verticalHeader();
    return model() != nullptr && !showGrid() && !alternatingRowColors() && !isRightToLeft() &&
           dragDropMode() == NoDragDrop && !rows->sectionsHidden() &&
           !rows->sectionsMoved() && rows->sectionResizeMode(0) == QHeaderView::Fixed &&
           static_cast<qint64>(rows->length()) == static_cast<qint64>(rows->count()) * rows->defaultSectionSize();
}

bool PacketTableView::viewportEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::HoverMove:
        case QEvent::HoverEnter:
            mHover = indexAt(static_cast<QHoverEvent*>(event)->position().toPoint());
            break;
        case QEvent::HoverLeave:
        case QEvent::Leave:
            mHover = QPersistentModelIndex();
            break;
        default:
            break;
    }
    return QTableView::viewportEvent(event);
}

// The cells of the rows in the region, as Qt's table paints them without a
// grid, spans or alternating colours.
void PacketTableView::paintEvent(QPaintEvent* event) {
    if (!PlacesRowsByNumber()) {
        QTableView::paintEvent(event);
        return;
    }
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    QPainter painter(viewport());
    const QHeaderView* columns = horizontalHeader();
    const QHeaderView* rowHeader = verticalHeader();
    const int rows = rowHeader->count();
    if (columns->count() == 0 || rows == 0 || itemDelegate() == nullptr) return;

    const int rowHeight = rowHeader->defaultSectionSize();
    const int top = rowHeader->offset();
    const int right = columns->length() - columns->offset() - 1;
    const int bottom = static_cast<int>(std::min<qint64>(static_cast<qint64>(rows) * rowHeight - top - 1, INT_MAX));
    const int firstRow = std::max(top / rowHeight, 0);
    const int lastRow = std::min((top + viewport()->height()) / rowHeight, rows - 1);
    int firstColumn = columns->visualIndexAt(0);
    int lastColumn = columns->visualIndexAt(columns->width());
    if (firstColumn == -1) firstColumn = 0;
    if (lastColumn == -1) lastColumn = columns->count() - 1;
    const int columnsShown = lastColumn - firstColumn + 1;
    // A cell under two rectangles of the region is painted once.
    std::vector<bool> drawn(static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0) * columnsShown));

    for (QRect dirty : event->region()) {
        dirty.setBottom(std::min(dirty.bottom(), bottom));
        dirty.setRight(std::min(dirty.right(), right));
        if (!dirty.isValid()) continue;
        int left = columns->visualIndexAt(dirty.left());
        int last = columns->visualIndexAt(dirty.right());
        if (left == -1) left = 0;
        if (last == -1) last = columns->count() - 1;
        const int fromRow = std::max((dirty.top() + top) / rowHeight, 0);
        const int toRow = std::min((dirty.bottom() + top) / rowHeight, rows - 1);
        for (int row = fromRow; row <= toRow; ++row) {
            const int rowY = row * rowHeight - top;
            for (int visual = left; visual <= last; ++visual) {
                const long bit = static_cast<long>(row - firstRow) * columnsShown + visual - firstColumn;
                if (bit < 0 || bit >= static_cast<long>(drawn.size()) || drawn[static_cast<std::size_t>(bit)]) continue;
                drawn[static_cast<std::size_t>(bit)] = true;
                const int column = columns->logicalIndex(visual);
                if (columns->isSectionHidden(column)) continue;
                const QModelIndex index = model()->index(row, column, rootIndex());
                if (!index.isValid()) continue;
                option.rect = QRect(columnViewportPosition(column), rowY, columnWidth(column), rowHeight);
                DrawCell(painter, option, index);
            }
        }
    }
}

void PacketTableView::DrawCell(QPainter& painter, QStyleOptionViewItem option, const QModelIndex& index) const {
    if (selectionModel() != nullptr && selectionModel()->isSelected(index)) option.state |= QStyle::State_Selected;
    if (index == mHover) option.state |= QStyle::State_MouseOver;
    if (option.state & QStyle::State_Enabled) {
        QPalette::ColorGroup group = QPalette::Normal;
        if (!(model()->flags(index) & Qt::ItemIsEnabled)) {
            option.state &= ~QStyle::State_Enabled;
            group = QPalette::Disabled;
        }
        option.palette.setCurrentColorGroup(group);
    }
    if (index == currentIndex() && (hasFocus() || viewport()->hasFocus())) option.state |= QStyle::State_HasFocus;
    style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &option, &painter, this);
    itemDelegateForIndex(index)->paint(&painter, option, index);
}

}  // namespace wirelens
