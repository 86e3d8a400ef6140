// Painting a screenful of the packet list (60 rows) with the Info column,
// whose summaries are decoded as the rows are painted; and the same screen
// with Info hidden, for what the column adds. CPU time is the figure to read:
// the wall time also counts waiting for a busy machine.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QTableView>
#include <memory>

#include "packets/capture_session.h"
#include "packets/packet_list_model.h"
#include "tests/dissect_fixtures.h"
#include "ui/packet_row_delegate.h"
#include "ui/packet_table_view.h"
#include "ui/scroll_bar_paint_cache.h"

namespace {

using namespace wirelens;

constexpr int kScreenRows = 60;
constexpr int kRowHeight = 18;

void FillSession(CaptureSession& session, int screens) {
    using namespace wirelens::testing;
    const std::vector<ByteVector> mix = {TcpData(), TcpSack(), TcpData(),       DnsQuery(),    DnsResponse(),
                                         TcpData(), TcpSack(), IcmpEchoRequest(), TcpSynAck(), IcmpPortUnreachable(),
                                         NtpClient(), TcpData()};
    for (int i = 0; i < kScreenRows * screens; ++i) {
        const auto& d = mix[static_cast<std::size_t>(i) % mix.size()];
        session.Ingest(d, PacketTime{1700000000 + i, 0}, static_cast<std::uint32_t>(d.size()));
    }
}

// The row settings the window gives its list.
void SetUpAsTheList(QTableView& view) {
    view.setShowGrid(false);
    view.setWordWrap(false);
    view.verticalHeader()->hide();
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(kRowHeight);
}

// The list as the window sets it up: 60 rows, the window's own delegate and
// scroll bars. Paints go round the list's first screens-1 screenfuls: with 4,
// the slider stands at one of three places, as in a long list, where a
// screenful moves it by less than a pixel; with 40 it is somewhere new at
// every paint.
class Screen {
public:
    explicit Screen(bool withInfo, int screens = 4) : mModel(mSession), mScreens(screens) {
        FillSession(mSession, screens);
        mModel.ReplaceRows(mSession.RebuildRows());
        mView.setModel(&mModel);
        mView.setItemDelegate(new PacketRowDelegate(mModel, &mView));
        mScrollBar = ScrollBarPaintCache::Install(mView);
        SetUpAsTheList(mView);
        for (int c = 0; c < PacketListModel::kColumnCount; ++c) mView.setColumnWidth(c, 110);
        mView.setColumnWidth(PacketListModel::kColInfo, 600);
        mView.setColumnHidden(PacketListModel::kColInfo, !withInfo);
        mView.resize(1500, kRowHeight * kScreenRows + mView.horizontalHeader()->sizeHint().height() + 4);
        mView.show();
        QApplication::processEvents();
    }

    // A different screenful each time, so no cell is painted from what the last paint left.
    void PaintNext() {
        mView.scrollTo(mModel.index(mTop, 0), QAbstractItemView::PositionAtTop);
        mView.viewport()->repaint();
        mTop = (mTop + kScreenRows) % (kScreenRows * (mScreens - 1));
    }
    // A delegate that has painted nothing yet: no glyph tables for the font.
    void FreshDelegate() {
        QAbstractItemDelegate* old = mView.itemDelegate();
        mView.setItemDelegate(new PacketRowDelegate(mModel, &mView));
        delete old;
    }
    // Scroll bar drawings made and reused since the screen was set up.
    ScrollBarPaintCache::Counts ScrollBarPaints() const {
        return mScrollBar != nullptr ? mScrollBar->PaintCounts() : ScrollBarPaintCache::Counts{};
    }
    long CellsDrawnDirect() const {
        return static_cast<const PacketRowDelegate*>(mView.itemDelegate())->PaintCounts().direct;
    }
    int RowsPainted() const { return mView.rowAt(mView.viewport()->height() - 1) - mView.rowAt(0) + 1; }

private:
    CaptureSession mSession;
    PacketListModel mModel;
    PacketTableView mView;
    ScrollBarPaintCache* mScrollBar = nullptr;
    int mScreens;
    int mTop = 0;
};

void BM_PaintScreenful(benchmark::State& state) {
    Screen screen(state.range(0) != 0, static_cast<int>(state.range(1)));
    for (auto _ : state) screen.PaintNext();
    state.counters["rows_painted"] = screen.RowsPainted();
    state.counters["bar_drawn"] = static_cast<double>(screen.ScrollBarPaints().drawn);
    state.counters["bar_reused"] = static_cast<double>(screen.ScrollBarPaints().reused);
    state.counters["direct"] = static_cast<double>(screen.CellsDrawnDirect());
}
BENCHMARK(BM_PaintScreenful)
    ->Args({1, 4})
    ->Args({0, 4})
    ->Args({1, 40})
    ->ArgNames({"info", "screens"})
    ->Unit(benchmark::kMicrosecond);

// The first paint after the font's glyph tables are made: what the first
// screen after start-up, or after a font change, costs.
void BM_PaintFirstScreenful(benchmark::State& state) {
    Screen screen(true);
    for (auto _ : state) {
        state.PauseTiming();
        screen.FreshDelegate();
        state.ResumeTiming();
        screen.PaintNext();
    }
    state.counters["rows_painted"] = screen.RowsPainted();
}
BENCHMARK(BM_PaintFirstScreenful)->Unit(benchmark::kMicrosecond);

// A list that only grows, with cells as short as the list's own, so that what
// is measured is the table.
class GrowingModel : public QAbstractTableModel {
public:
    explicit GrowingModel(int rows) : mRows(rows) {}
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : mRows; }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : PacketListModel::kColumnCount;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        return role == Qt::DisplayRole ? QVariant(QString::number(index.row())) : QVariant();
    }
    void Append(int rows) {
        beginInsertRows(QModelIndex(), mRows, mRows + rows - 1);
        mRows += rows;
        endInsertRows();
    }

private:
    int mRows;
};

// One insertion into a long list during a capture: rows appended at the end,
// the list following them, and the repaint, in Qt's table (table:0) and in the
// packet list's table (table:1), at 1 and 10 million rows.
void BM_InsertAndRepaint(benchmark::State& state) {
    GrowingModel model(static_cast<int>(state.range(1)));
    std::unique_ptr<QTableView> view(state.range(0) != 0 ? new PacketTableView : new QTableView);
    view->setModel(&model);
    SetUpAsTheList(*view);
    view->resize(1500, kRowHeight * kScreenRows);
    view->show();
    QApplication::processEvents();
    view->scrollToBottom();
    QApplication::processEvents();
    for (auto _ : state) {
        model.Append(1000);
        view->scrollToBottom();
        view->viewport()->repaint();
    }
    state.counters["rows"] = model.rowCount();
}
BENCHMARK(BM_InsertAndRepaint)
    ->Args({0, 1000000})
    ->Args({1, 1000000})
    ->Args({0, 10000000})
    ->Args({1, 10000000})
    ->ArgNames({"table", "rows"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
