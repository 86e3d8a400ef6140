// The packet list's table places rows by their number; what it shows must be
// exactly what Qt's table shows in the same state, pixel for pixel, for whole
// paints and for the strips a scroll leaves to paint.
#include <QApplication>
#include <QHeaderView>
#include <QHoverEvent>
#include <QImage>
#include <QPainter>
#include <QProxyStyle>
#include <QScreen>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QTableView>
#include <QTest>
#include <QWheelEvent>
#include <functional>
#include <gtest/gtest.h>

#include "ui/packet_table_view.h"

namespace wirelens {
namespace {

constexpr int kRows = 3000;
constexpr int kColumns = 5;

// Fusion draws nothing for the cell under the mouse; this style marks it, so
// that a table that lost track of the mouse shows it.
class MouseMarkingStyle : public QProxyStyle {
public:
    MouseMarkingStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (element == PE_PanelItemViewRow && (option->state & State_MouseOver))
            painter->fillRect(option->rect.adjusted(2, 2, -2, -2), QColor(250, 200, 0));
    }
};

class PacketTableViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int r = 0; r < kRows; ++r) {
            for (int c = 0; c < kColumns; ++c) {
                auto* item = new QStandardItem(QStringLiteral("row %1 column %2").arg(r).arg(c));
                // A few cells the model disables, drawn greyed.
                if ((r * kColumns + c) % 17 == 0) item->setEnabled(false);
                model.setItem(r, c, item);
            }
        }
        for (QTableView* view : Views()) {
            view->setModel(&model);
            view->setShowGrid(false);
            view->setWordWrap(false);
            view->setSelectionMode(QAbstractItemView::SingleSelection);
            view->setSelectionBehavior(QAbstractItemView::SelectRows);
            view->verticalHeader()->hide();
            view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
            view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
            view->resize(420, 300);
            // Scroll bar values in pixels in both.
            view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
            view->show();
        }
        QApplication::processEvents();
    }

    std::array<QTableView*, 2> Views() { return {&qtTable, &ownTable}; }
    void OnBoth(const std::function<void(QTableView&)>& change) {
        for (QTableView* view : Views()) change(*view);
        Settle();
    }
    // Resizes and scrolls repaint from a timer and posted events: a few turns let both finish.
    static void Settle() {
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    }
    // What each table last painted into its window, without painting again.
    static QImage Shown(QTableView& view) {
        const QRect area(view.viewport()->mapTo(view.window(), QPoint(0, 0)), view.viewport()->size());
        return view.screen()->grabWindow(view.window()->winId()).toImage().copy(area);
    }
    void ExpectSame(const char* what) {
        EXPECT_TRUE(ownTable.PlacesRowsByNumber()) << what;
        EXPECT_EQ(Shown(ownTable), Shown(qtTable)) << what << ": painted after a change";
        EXPECT_EQ(ownTable.viewport()->grab().toImage(), qtTable.viewport()->grab().toImage())
            << what << ": painted whole";
    }

    QStandardItemModel model;
    MouseMarkingStyle mouseMarking;  // made before the tables and gone after them
    QTableView qtTable;
    PacketTableView ownTable;
};

TEST_F(PacketTableViewTest, ScrolledRowsLookAsInQtsTable) {
    ExpectSame("top");
    const int rowHeight = ownTable.verticalHeader()->defaultSectionSize();
    // Steps of whole rows keep rows on the top edge; a dragged slider may not.
    EXPECT_EQ(ownTable.verticalScrollBar()->singleStep(), rowHeight);
    EXPECT_EQ(ownTable.verticalScrollBar()->pageStep() % rowHeight, 0);
    EXPECT_GT(ownTable.verticalScrollBar()->pageStep(), ownTable.viewport()->height() - rowHeight);
    for (int value : {1, 2, 40 * rowHeight, 39 * rowHeight + 7, 1500 * rowHeight, 1512 * rowHeight - 1, 1400}) {
        OnBoth([&](QTableView& v) { v.verticalScrollBar()->setValue(value); });
        EXPECT_EQ(ownTable.rowAt(0), value / rowHeight);
        ExpectSame(QStringLiteral("scrolled to %1").arg(value).toUtf8().constData());
    }
    OnBoth([](QTableView& v) { v.scrollToBottom(); });
    EXPECT_EQ(ownTable.rowAt(ownTable.viewport()->height() - 1), kRows - 1);
    ExpectSame("bottom");
    // The list brings a row in with a whole row at the top; Qt's table is put at the same place.
    ownTable.scrollTo(model.index(777, 0), QAbstractItemView::PositionAtCenter);
    EXPECT_EQ(ownTable.verticalScrollBar()->value() % rowHeight, 0);
    OnBoth([&](QTableView& v) { v.verticalScrollBar()->setValue(ownTable.verticalScrollBar()->value()); });
    EXPECT_TRUE(ownTable.viewport()->rect().contains(ownTable.visualRect(model.index(777, 0))));
    ExpectSame("a row brought to the centre");
}

// Wheel, keys and a slider let go leave a whole row at the top, as a list
// scrolled by rows would.
TEST_F(PacketTableViewTest, ScrollingStopsOnWholeRows) {
    const int rowHeight = ownTable.verticalHeader()->defaultSectionSize();
    QScrollBar& bar = *ownTable.verticalScrollBar();
    QWheelEvent wheel(QPointF(50, 50), ownTable.viewport()->mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(ownTable.viewport(), &wheel);
    Settle();
    EXPECT_EQ(bar.value(), QApplication::wheelScrollLines() * rowHeight);

    ownTable.activateWindow();
    ownTable.setFocus();
    ownTable.setCurrentIndex(model.index(0, 1));  // (0, 0) is disabled
    bar.setValue(0);
    const int rowsShown = ownTable.viewport()->height() / rowHeight;
    for (int i = 0; i < rowsShown + 5; ++i) QTest::keyClick(&ownTable, Qt::Key_Down);
    Settle();
    EXPECT_GE(ownTable.currentIndex().row(), rowsShown + 5);  // disabled cells are passed over
    EXPECT_GT(bar.value(), 0);
    EXPECT_EQ(bar.value() % rowHeight, 0) << "moved down past the bottom edge";
    EXPECT_TRUE(ownTable.viewport()->rect().contains(ownTable.visualRect(ownTable.currentIndex())));

    bar.setSliderDown(true);
    bar.setSliderPosition(40 * rowHeight + 7);
    bar.setSliderDown(false);
    Settle();
    EXPECT_EQ(bar.value(), 41 * rowHeight) << "a slider let go between two rows";
    bar.setValue(bar.maximum());
    Settle();
    EXPECT_EQ(ownTable.rowAt(ownTable.viewport()->height() - 1), kRows - 1) << "the end is the end";
}

TEST_F(PacketTableViewTest, SelectionAndFocusLookAsInQtsTable) {
    OnBoth([](QTableView& v) { v.selectRow(3); });
    ExpectSame("a row selected, focus elsewhere");
    // The two tables are windows of their own, and one window has the focus at a time.
    std::array<QImage, 2> focused;
    for (std::size_t i = 0; i < 2; ++i) {
        QTableView& view = *Views()[i];
        view.activateWindow();
        view.setFocus();
        Settle();
        ASSERT_TRUE(view.hasFocus());
        focused[i] = view.viewport()->grab().toImage();
    }
    EXPECT_EQ(focused[1], focused[0]) << "a row selected, focused";
}

TEST_F(PacketTableViewTest, MouseOverARowLooksAsInQtsTable) {
    OnBoth([&](QTableView& v) { v.setStyle(&mouseMarking); });
    OnBoth([](QTableView& v) {
        QHoverEvent enter(QEvent::HoverEnter, QPointF(30, 25), QPointF(30, 25), QPointF(-1, -1));
        QApplication::sendEvent(v.viewport(), &enter);
    });
    ExpectSame("the mouse over a row");
    OnBoth([](QTableView& v) {
        QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(-1, -1), QPointF(30, 25));
        QApplication::sendEvent(v.viewport(), &leave);
    });
    ExpectSame("the mouse gone");
}

TEST_F(PacketTableViewTest, ColumnsResizedHiddenAndScrolledLookAsInQtsTable) {
    OnBoth([](QTableView& v) { v.setColumnWidth(1, 260); });
    ExpectSame("a wide column");
    OnBoth([](QTableView& v) { v.horizontalScrollBar()->setValue(v.horizontalScrollBar()->maximum() / 2); });
    ExpectSame("scrolled sideways");
    OnBoth([](QTableView& v) { v.verticalScrollBar()->setValue(250); });
    ExpectSame("scrolled both ways");
    OnBoth([](QTableView& v) { v.setColumnHidden(2, true); });
    ExpectSame("a column hidden");
}

TEST_F(PacketTableViewTest, RegionsOfSeveralRectanglesArePaintedOnce) {
    OnBoth([](QTableView& v) {
        QRegion region(QRect(0, 10, 200, 40));
        region += QRect(100, 30, 200, 60);  // overlapping the first
        region += QRect(10, 200, 50, 50);
        v.viewport()->update(region);
    });
    ExpectSame("a region of three rectangles");
}

TEST_F(PacketTableViewTest, RowsComingAndGoingKeepTheirPlaces) {
    OnBoth([](QTableView& v) { v.scrollToBottom(); });
    model.appendRow(new QStandardItem(QStringLiteral("a new last row")));
    OnBoth([](QTableView& v) { v.scrollToBottom(); });
    ExpectSame("a row appended, followed");
    model.removeRows(0, 2000);
    Settle();
    ExpectSame("the first rows removed");
    model.removeRows(0, model.rowCount());
    Settle();
    ExpectSame("empty");
}

// A table whose rows are not all alike is painted by Qt's own code, and still alike.
TEST_F(PacketTableViewTest, RowsOfTheirOwnHeightAreLeftToQt) {
    OnBoth([](QTableView& v) { v.setRowHidden(4, true); });
    EXPECT_FALSE(ownTable.PlacesRowsByNumber());
    EXPECT_EQ(ownTable.viewport()->grab().toImage(), qtTable.viewport()->grab().toImage());
    OnBoth([](QTableView& v) {
        v.setRowHidden(4, false);
        v.setShowGrid(true);
    });
    EXPECT_FALSE(ownTable.PlacesRowsByNumber());
    OnBoth([](QTableView& v) { v.verticalScrollBar()->setValue(300); });
    EXPECT_EQ(ownTable.rowAt(0), qtTable.rowAt(0));
    EXPECT_EQ(ownTable.viewport()->grab().toImage(), qtTable.viewport()->grab().toImage());
}

// A layout change (a sort) moves a hidden row and a row of its own height
// with their items, as in Qt's table, though the row header is asked only
// when such rows exist; with only default rows it is not asked at all.
TEST_F(PacketTableViewTest, SortingKeepsRowsOfTheirOwnAsQtsTableDoes) {
    EXPECT_TRUE(ownTable.RowHeaderSkipsDefaultLayouts()) << "Qt's row header could not be told apart from the model";
    model.sort(0, Qt::DescendingOrder);
    Settle();
    ExpectSame("sorted, every row a default row");

    OnBoth([](QTableView& v) {
        v.setRowHidden(4, true);
        v.setRowHeight(10, 40);
    });
    const QString hidden = model.item(4, 0)->text();
    const QString tall = model.item(10, 0)->text();
    model.sort(0, Qt::AscendingOrder);
    Settle();
    int hiddenRows = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        ASSERT_EQ(ownTable.isRowHidden(row), qtTable.isRowHidden(row)) << "row " << row;
        ASSERT_EQ(ownTable.rowHeight(row), qtTable.rowHeight(row)) << "row " << row;
        hiddenRows += ownTable.isRowHidden(row) ? 1 : 0;
        if (model.item(row, 0)->text() == hidden) {
            EXPECT_TRUE(ownTable.isRowHidden(row));
        }
        if (model.item(row, 0)->text() == tall) {
            EXPECT_EQ(ownTable.rowHeight(row), 40);
        }
    }
    EXPECT_EQ(hiddenRows, 1);
}

}  // namespace
}  // namespace wirelens
