#include "ui/packet_table_view.h"

#include <QHeaderView>
#include <QHoverEvent>
#include <QImage>
#include <QItemSelectionModel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

namespace wirelens {

PacketTableView::PacketTableView(QWidget* parent) : QTableView(parent) {
    setVerticalScrollMode(ScrollPerPixel);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
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

bool PacketTableView::AllRowsAreDefault() const {
    // The header keeps its total length as rows come and go, so this costs nothing.
    const QHeaderView* rows = verticalHeader();
    return !rows->sectionsHidden() && !rows->sectionsMoved() && rows->sectionResizeMode(0) == QHeaderView::Fixed &&
           static_cast<qint64>(rows->length()) == static_cast<qint64>(rows->count()) * rows->defaultSectionSize();
}

bool PacketTableView::PlacesRowsByNumber() const {
    return model() != nullptr && !showGrid() && !alternatingRowColors() && !isRightToLeft() &&
           dragDropMode() == NoDragDrop && AllRowsAreDefault();
}

void PacketTableView::setModel(QAbstractItemModel* newModel) {
    for (const QMetaObject::Connection& forward : std::as_const(mLayoutForwards)) disconnect(forward);
    mLayoutForwards.clear();
    QTableView::setModel(newModel);
    if (newModel == nullptr) return;
    // Qt's header takes the model's layout signals in two private slots; they
    // are called from here instead, only when a row is not a default row.
    // Should Qt name them otherwise, nothing is disconnected and the header
    // goes on taking every layout change itself.
    QHeaderView* rows = verticalHeader();
    const bool before = disconnect(
        newModel, SIGNAL(layoutAboutToBeChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)),
        rows, SLOT(_q_sectionsAboutToBeChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)));
    if (!before) return;
    if (!disconnect(newModel, SIGNAL(layoutChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)),
                    rows, SLOT(_q_sectionsChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)))) {
        connect(newModel, SIGNAL(layoutAboutToBeChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)),
                rows, SLOT(_q_sectionsAboutToBeChanged(QList<QPersistentModelIndex>, QAbstractItemModel::LayoutChangeHint)));
        return;
    }
    // What the header is told before a change, it is told after it too.
    auto told = std::make_shared<bool>(false);
    mLayoutForwards.append(connect(newModel, &QAbstractItemModel::layoutAboutToBeChanged, this,
                                   [this, rows, told](const QList<QPersistentModelIndex>& parents,
                                                      QAbstractItemModel::LayoutChangeHint hint) {
                                       *told = !AllRowsAreDefault();
                                       if (*told)
                                           QMetaObject::invokeMethod(rows, "_q_sectionsAboutToBeChanged",
                                                                     Qt::DirectConnection, Q_ARG(QList<QPersistentModelIndex>, parents),
                                                                     Q_ARG(QAbstractItemModel::LayoutChangeHint, hint));
                                   }));
    mLayoutForwards.append(connect(newModel, &QAbstractItemModel::layoutChanged, this,
                                   [rows, told](const QList<QPersistentModelIndex>& parents,
                                                QAbstractItemModel::LayoutChangeHint hint) {
                                       if (!std::exchange(*told, false)) return;
                                       QMetaObject::invokeMethod(rows, "_q_sectionsChanged", Qt::DirectConnection,
                                                                 Q_ARG(QList<QPersistentModelIndex>, parents),
                                                                 Q_ARG(QAbstractItemModel::LayoutChangeHint, hint));
                                   }));
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

// Fills the part of the region the painter is clipped to with the viewport's
// background, as Qt's widget painting does before a paint event.
void PacketTableView::FillBackground(QPainter& painter, const QRect& area) const {
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(area, viewport()->palette().brush(viewport()->backgroundRole()));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

// The cells of the rows in the region, as Qt's table paints them without a
// grid, spans or alternating colours. The viewport paints its own background
// (it is opaque to Qt): a row's strip is filled just before its cells are
// drawn, while the strip is still in the processor's cache. Qt would fill the
// whole region first, and for a region a screen high its raster engine hands
// that fill to its thread pool; the text drawn after it then reads the pixels
// back from memory.
void PacketTableView::paintEvent(QPaintEvent* event) {
    const QRegion& region = event->region();
    if (!PlacesRowsByNumber()) {
        {
            QPainter painter(viewport());
            for (const QRect& dirty : region) FillBackground(painter, dirty);
        }
        QTableView::paintEvent(event);
        return;
    }
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    QPainter painter(viewport());
    const QRect area = region.boundingRect();
    const QHeaderView* columns = horizontalHeader();
    const QHeaderView* rowHeader = verticalHeader();
    const int rows = rowHeader->count();
    if (columns->count() == 0 || rows == 0 || itemDelegate() == nullptr) {
        FillBackground(painter, area);
        return;
    }

    const int rowHeight = rowHeader->defaultSectionSize();
    const int top = rowHeader->offset();
    const int width = viewport()->width();
    const int right = columns->length() - columns->offset() - 1;
    const int bottom = static_cast<int>(std::min<qint64>(static_cast<qint64>(rows) * rowHeight - top - 1, INT_MAX));
    int firstColumn = columns->visualIndexAt(std::max(area.left(), 0));
    int lastColumn = columns->visualIndexAt(std::min(area.right(), right));
    if (firstColumn == -1) firstColumn = 0;
    if (lastColumn == -1) lastColumn = columns->count() - 1;
    const int fromRow = std::max((area.top() + top) / rowHeight, 0);
    const int toRow = std::min((std::min(area.bottom(), bottom) + top) / rowHeight, rows - 1);

    // The painter is clipped to the region: a strip or a cell outside it costs a test.
    for (int row = fromRow; row <= toRow && area.top() <= bottom; ++row) {
        const int rowY = row * rowHeight - top;
        const QRect strip(0, rowY, width, rowHeight);
        if (!region.intersects(strip)) continue;
        FillBackground(painter, strip);
        for (int visual = firstColumn; visual <= lastColumn; ++visual) {
            const int column = columns->logicalIndex(visual);
            if (columns->isSectionHidden(column)) continue;
            option.rect = QRect(columnViewportPosition(column), rowY, columnWidth(column), rowHeight);
            if (!region.intersects(option.rect)) continue;
            const QModelIndex index = model()->index(row, column, rootIndex());
            if (index.isValid()) DrawCell(painter, option, index);
        }
    }
    // The strips span the viewport's width; below the last row is left.
    if (area.bottom() > bottom) FillBackground(painter, QRect(0, bottom + 1, width, area.bottom() - bottom));
}

// Styles draw a row's panel for a selection or alternating colours, and most
// draw nothing for a plain row, yet Fusion works out its colours on every call,
// a tenth of a screenful's paint. Whether the style draws anything for a cell
// of this size, state and palette is found once, by drawing one into a
// transparent image.
bool PacketTableView::RowPanelShows(const QStyleOptionViewItem& option) const {
    const PanelKey key{style(), option.palette.cacheKey(), static_cast<int>(option.state),
                       static_cast<int>(option.features), option.rect.size()};
    for (const PanelProbe& probe : mPanelProbes)
        if (probe.key == key) return probe.shows;
    QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        QStyleOptionViewItem atOrigin = option;
        atOrigin.rect.moveTo(0, 0);
        style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &atOrigin, &painter, this);
    }
    bool shows = false;
    for (int y = 0; y < image.height() && !shows; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        shows = std::any_of(line, line + image.width(), [](QRgb px) { return px != 0; });
    }
    // A few sizes and states are met in a list; a style or palette change makes new ones.
    if (mPanelProbes.size() == kPanelProbes) mPanelProbes.erase(mPanelProbes.begin());
    mPanelProbes.push_back({key, shows});
    return shows;
}

// The option is the paint's own, set for the cell and put back after: a copy
// per cell (fonts, palette, locale, icon) cost more than some cells' drawing.
void PacketTableView::DrawCell(QPainter& painter, QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QStyle::State state = option.state;
    const QPalette::ColorGroup colourGroup = option.palette.currentColorGroup();
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
    if (RowPanelShows(option)) style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &option, &painter, this);
    itemDelegateForIndex(index)->paint(&painter, option, index);
    option.state = state;
    option.palette.setCurrentColorGroup(colourGroup);
}

}  // namespace wirelens
