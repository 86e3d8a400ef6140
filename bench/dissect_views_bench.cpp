// Painting a screenful of the packet list (60 rows) with the Info column,
// whose summaries are decoded as the rows are painted; and the same screen
// with Info hidden, for what the column adds. CPU time is the figure to read:
// the wall time also counts waiting for a busy machine.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QTableView>

#include "packets/capture_session.h"
#include "packets/packet_list_model.h"
#include "tests/dissect_fixtures.h"

namespace {

using namespace wirelens;

constexpr int kScreenRows = 60;
constexpr int kRowHeight = 18;

void FillSession(CaptureSession& session) {
    using namespace wirelens::testing;
    const std::vector<ByteVector> mix = {TcpData(), TcpSack(), TcpData(),       DnsQuery(),    DnsResponse(),
                                         TcpData(), TcpSack(), IcmpEchoRequest(), TcpSynAck(), IcmpPortUnreachable(),
                                         NtpClient(), TcpData()};
    for (int i = 0; i < kScreenRows * 4; ++i) {
        const auto& d = mix[static_cast<std::size_t>(i) % mix.size()];
        session.Ingest(d, PacketTime{1700000000 + i, 0}, static_cast<std::uint32_t>(d.size()));
    }
}

void BM_PaintScreenful(benchmark::State& state) {
    const bool withInfo = state.range(0) != 0;
    CaptureSession session;
    FillSession(session);
    PacketListModel model(session);
    model.ReplaceRows(session.RebuildRows());

    QTableView view;
    view.setModel(&model);
    view.setShowGrid(false);
    view.setWordWrap(false);
    view.verticalHeader()->hide();
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(kRowHeight);
    for (int c = 0; c < PacketListModel::kColumnCount; ++c) view.setColumnWidth(c, 110);
    view.setColumnWidth(PacketListModel::kColInfo, 600);
    view.setColumnHidden(PacketListModel::kColInfo, !withInfo);
    view.resize(1500, kRowHeight * kScreenRows + view.horizontalHeader()->sizeHint().height() + 4);
    view.show();
    QApplication::processEvents();

    int top = 0;
    for (auto _ : state) {
        // A different screenful each time, so no cell is painted from what the last paint left.
        view.scrollTo(model.index(top, 0), QAbstractItemView::PositionAtTop);
        view.viewport()->repaint();
        top = (top + kScreenRows) % (kScreenRows * 3);
    }
    state.counters["rows_painted"] = view.rowAt(view.viewport()->height() - 1) - view.rowAt(0) + 1;
}
BENCHMARK(BM_PaintScreenful)->Arg(1)->Arg(0)->ArgName("info")->Unit(benchmark::kMicrosecond);

}  // namespace
