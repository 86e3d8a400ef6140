#pragma once
// The packet list's table. Every row of the list has the same height and none
// is hidden, so a row's place is its number times that height. Qt's table asks
// its row header instead, and the header places every row again after each
// insertion: at ten million rows that pass cost 13 ms of each insertion and
// repaint during a capture, most of a frame, and it grows with the list.
// This table paints from the uniform height, drawing each cell exactly as
// Qt's table does, and scrolls by pixels (Qt's table scrolled by rows asks the
// header where the top row starts) in whole rows: steps of a row, a slider
// let go at a row, a row brought into view at a row. Anything else (a
// grid, alternating colours, right-to-left, rows of their own height) is left
// to Qt's table. The list spans no cells, and this table would not draw spans.
//
// The row header also looks at every row at each of the model's layout
// changes, for rows of their own height, hidden or moved, to keep them so
// across the change; a sorted list has a layout change at each insertion,
// and at ten million rows that look took most of a frame. While every row is
// a default row there is nothing to keep, and the header is not asked.
#include <QPersistentModelIndex>
#include <QTableView>
#include <vector>

namespace wirelens {

class PacketTableView : public QTableView {
    Q_OBJECT
public:
    explicit PacketTableView(QWidget* parent = nullptr);

    // True while rows are placed by their number rather than by the row header.
    bool PlacesRowsByNumber() const;
    // True while every row is a default row: the default height, shown, in its place.
    bool AllRowsAreDefault() const;
    // Whether the row header is asked about layout changes only when a row is
    // not a default row (false when Qt's header could not be told apart from
    // the model, and it is asked each time).
    bool RowHeaderSkipsDefaultLayouts() const { return !mLayoutForwards.isEmpty(); }

    void setModel(QAbstractItemModel* model) override;

    // Brings the row into view with a whole row at the top, as a table
    // scrolled by rows does (at the very end, the last row sits on the bottom).
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void updateGeometries() override;
    bool viewportEvent(QEvent* event) override;

private:
    // A row's height while the list scrolls by pixels in steps of whole rows; else 0.
    int WholeRowPixels() const;
    // Moves the list on to the next offset of whole rows, the end excepted.
    void AlignToRow();
    // Whether the style draws a row panel under a cell with this option.
    bool RowPanelShows(const QStyleOptionViewItem& option) const;
    void FillBackground(QPainter& painter, const QRect& area) const;
    void DrawCell(QPainter& painter, QStyleOptionViewItem& option, const QModelIndex& index) const;

    // The cell under the mouse, followed as Qt's view follows it for its own painting.
    QPersistentModelIndex mHover;
    QList<QMetaObject::Connection> mLayoutForwards;

    struct PanelKey {
        const QStyle* style = nullptr;
        qint64 palette = 0;
        int state = 0;
        int features = 0;
        QSize size;
        bool operator==(const PanelKey&) const = default;
    };
    struct PanelProbe {
        PanelKey key;
        bool shows = false;
    };
    static constexpr std::size_t kPanelProbes = 32;
    mutable std::vector<PanelProbe> mPanelProbes;  // oldest first
};

}  // namespace wirelens
