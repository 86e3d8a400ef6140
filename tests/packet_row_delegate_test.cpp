// The packet list's own delegate must draw exactly what Qt's delegate draws:
// each case paints the same cells both ways and compares the pixels.
#include <QFontMetrics>
#include <QGlyphRun>
#include <QApplication>
#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>
#include <functional>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTableView>
#include <QTextLayout>
#include <cmath>
#include <gtest/gtest.h>

#include "packets/capture_session.h"
#include "packets/capture_time.h"
#include "packets/packet_list_model.h"
#include "tests/dissect_fixtures.h"
#include "ui/ascii_text_layout.h"
#include "ui/glyph_masks.h"
#include "ui/packet_row_delegate.h"
#include "ui/packet_table_view.h"

namespace wirelens {
namespace {

using namespace wirelens::testing;

QIcon SolidIcon(QColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// Exposes the options a table view gives its delegate for a cell.
class ListView : public QTableView {
public:
    QStyleOptionViewItem CellOption(const QModelIndex& index) {
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.rect = visualRect(index);
        return option;
    }
};

class PacketRowDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<ByteVector> mix = {TcpData(), DnsQuery(), TcpSack(), DnsResponse(), IcmpEchoRequest(),
                                             TcpSynAck(), IcmpPortUnreachable(), NtpClient(), DhcpDiscover()};
        for (std::size_t i = 0; i < mix.size(); ++i)
            session.Ingest(mix[i], PacketTime{1700000000 + static_cast<std::int64_t>(i), 250000000},
                           static_cast<std::uint32_t>(mix[i].size()));
        model.SetRowIcons(SolidIcon(QColor(255, 0, 0)), SolidIcon(QColor(0, 0, 255)));
        model.ReplaceRows(session.RebuildRows());
        for (ListView* view : {&qtView, &ownView}) {
            view->setModel(&model);
            view->setShowGrid(false);
            view->setWordWrap(false);
            view->setSelectionBehavior(QAbstractItemView::SelectRows);
            view->setIconSize(QSize(16, 16));
            view->verticalHeader()->hide();
            view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
            view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
            view->resize(1400, 300);
        }
        ownView.setItemDelegate(delegate);
    }

    void SetColumnWidths(int info, int others) {
        for (ListView* view : {&qtView, &ownView}) {
            for (int c = 0; c < PacketListModel::kColumnCount; ++c) view->setColumnWidth(c, others);
            view->setColumnWidth(PacketListModel::kColInfo, info);
        }
    }

    // One cell painted by `paintWith` into an image the size of the cell.
    QImage PaintCell(QAbstractItemDelegate& paintWith, const QStyleOptionViewItem& option, const QModelIndex& index) {
        QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.translate(-option.rect.topLeft());
        paintWith.paint(&painter, option, index);
        return image;
    }

    CaptureSession session;
    PacketListModel model{session};
    ListView qtView;
    ListView ownView;
    PacketRowDelegate* delegate = new PacketRowDelegate(model, &ownView);
    QStyledItemDelegate qtDelegate;
};

struct ViewCase {
    const char* name;
    int infoWidth;
    int otherWidth;
    int selectedRow;    // -1 for none
    int rowHeight = 0;  // 0 for the list's own
    bool leftToQt = false;  // text that would leave its cell goes to Qt's delegate
};
void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

class RowsLookTheSame : public PacketRowDelegateTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(RowsLookTheSame, AsQtDrawsThem) {
    const ViewCase& c = GetParam();
    SetColumnWidths(c.infoWidth, c.otherWidth);
    for (ListView* view : {&qtView, &ownView}) {
        if (c.selectedRow >= 0) view->selectRow(c.selectedRow);
        if (c.rowHeight > 0) {
            view->verticalHeader()->setMinimumSectionSize(1);
            view->verticalHeader()->setDefaultSectionSize(c.rowHeight);
        }
    }
    const QImage expected = qtView.viewport()->grab().toImage();
    delegate->ResetPaintCounts();
    const QImage actual = ownView.viewport()->grab().toImage();
    const PacketRowDelegate::Counts counts = delegate->PaintCounts();
    EXPECT_GE(c.leftToQt ? counts.fallback : counts.fast, model.rowCount() * (PacketListModel::kColumnCount - 1));
    // Text that fits its cell is written straight into the image.
    if (!c.leftToQt && c.otherWidth >= 90) {
        EXPECT_GE(counts.direct, model.rowCount() * (PacketListModel::kColumnCount - 1));
    }
    ASSERT_EQ(expected.size(), actual.size());
    EXPECT_TRUE(expected == actual) << "the list differs from Qt's drawing";
}

INSTANTIATE_TEST_SUITE_P(
    PacketRowDelegate, RowsLookTheSame,
    ::testing::Values(ViewCase{"WideColumns", 700, 140, -1}, ViewCase{"NarrowColumnsElide", 180, 45, -1},
                      ViewCase{"TooNarrowForTheEllipsis", 6, 9, -1}, ViewCase{"SelectedRow", 300, 90, 3},
                      ViewCase{"OnePixelInfo", 1, 100, 2},
                      ViewCase{"RowsLowerThanTheText", 300, 90, 1, 9, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketRowDelegateTest, InfoCutAtEveryWidthAsQtCutsIt) {
    SetColumnWidths(100, 60);
    for (int width = 1; width < 420; width += 7) {
        SetColumnWidths(width, 60);
        const QModelIndex index = model.index(0, PacketListModel::kColInfo);
        const QStyleOptionViewItem option = ownView.CellOption(index);
        ASSERT_TRUE(PaintCell(qtDelegate, option, index) == PaintCell(*delegate, option, index))
            << "Info column " << width << " pixels wide";
    }
}

struct StateCase {
    const char* name;
    QStyle::State set;
    QStyle::State cleared;
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class CellStates : public PacketRowDelegateTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(CellStates, LookAsQtDrawsThem) {
    SetColumnWidths(400, 110);
    delegate->ResetPaintCounts();
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < PacketListModel::kColumnCount; ++column) {
            const QModelIndex index = model.index(row, column);
            QStyleOptionViewItem option = ownView.CellOption(index);
            option.state |= GetParam().set;
            option.state &= ~GetParam().cleared;
            ASSERT_TRUE(PaintCell(qtDelegate, option, index) == PaintCell(*delegate, option, index))
                << "row " << row << " column " << column;
        }
    }
    if (!(GetParam().set & QStyle::State_HasFocus)) {
        EXPECT_GT(delegate->PaintCounts().direct, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    PacketRowDelegate, CellStates,
    ::testing::Values(StateCase{"Plain", QStyle::State_Enabled | QStyle::State_Active, QStyle::State_Selected},
                      StateCase{"SelectedActive", QStyle::State_Selected | QStyle::State_Active, {}},
                      StateCase{"SelectedInactive", QStyle::State_Selected, QStyle::State_Active},
                      StateCase{"Disabled", QStyle::State_Selected, QStyle::State_Enabled},
                      StateCase{"Focused", QStyle::State_HasFocus | QStyle::State_Selected, {}}),
    [](const auto& info) { return std::string(info.param.name); });

bool HasColour(const QImage& image, QColor colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour) return true;
    return false;
}

TEST_F(PacketRowDelegateTest, SelectedCellsUseTheHighlightColours) {
    SetColumnWidths(400, 110);
    QPalette palette = ownView.palette();
    const QColor highlight(0, 160, 0), highlightedText(250, 250, 0), text(0, 0, 0);
    palette.setColor(QPalette::Active, QPalette::Highlight, highlight);
    palette.setColor(QPalette::Active, QPalette::HighlightedText, highlightedText);
    palette.setColor(QPalette::Active, QPalette::Text, text);
    palette.setColor(QPalette::Inactive, QPalette::Highlight, QColor(90, 90, 200));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText, QColor(255, 255, 255));
    const QModelIndex index = model.index(0, PacketListModel::kColInfo);
    QStyleOptionViewItem option = ownView.CellOption(index);
    option.palette = palette;
    option.state |= QStyle::State_Selected | QStyle::State_Active | QStyle::State_Enabled;
    const QImage active = PaintCell(*delegate, option, index);
    EXPECT_EQ(active.pixelColor(0, 0), highlight);
    EXPECT_TRUE(HasColour(active, highlightedText));
    EXPECT_FALSE(HasColour(active, text));
    option.state &= ~QStyle::State_Active;
    const QImage inactive = PaintCell(*delegate, option, index);
    EXPECT_EQ(inactive.pixelColor(0, 0), QColor(90, 90, 200));
    EXPECT_TRUE(HasColour(inactive, QColor(255, 255, 255)));
}

TEST_F(PacketRowDelegateTest, ProtocolColumnKeepsTheRowIcon) {
    SetColumnWidths(400, 110);
    // The fixtures are all incoming; an outgoing row shows the other image.
    model.AppendRow(model.KeyAt(0), true);
    model.FlushPending();
    const QModelIndex incoming = model.index(0, PacketListModel::kColProtocol);
    const QModelIndex outgoing = model.index(model.rowCount() - 1, PacketListModel::kColProtocol);
    const QImage in = PaintCell(*delegate, ownView.CellOption(incoming), incoming);
    const QImage out = PaintCell(*delegate, ownView.CellOption(outgoing), outgoing);
    EXPECT_TRUE(HasColour(in, QColor(255, 0, 0)));
    EXPECT_FALSE(HasColour(in, QColor(0, 0, 255)));
    EXPECT_TRUE(HasColour(out, QColor(0, 0, 255)));
    EXPECT_FALSE(HasColour(out, QColor(255, 0, 0)));
    EXPECT_TRUE(PaintCell(qtDelegate, ownView.CellOption(outgoing), outgoing) == out);
}

TEST_F(PacketRowDelegateTest, NonAsciiTextIsDrawnByQt) {
    SetColumnWidths(400, 110);
    const std::string separator = DecimalSeparator();
    SetDecimalSeparator("\xd9\xab");  // Arabic decimal separator, two bytes in UTF-8
    const QImage expected = qtView.viewport()->grab().toImage();
    delegate->ResetPaintCounts();
    const QImage actual = ownView.viewport()->grab().toImage();
    const PacketRowDelegate::Counts counts = delegate->PaintCounts();
    SetDecimalSeparator(separator);
    EXPECT_EQ(counts.fallback, model.rowCount());  // the time column of each row
    EXPECT_EQ(counts.fast, model.rowCount() * (PacketListModel::kColumnCount - 1));
    EXPECT_TRUE(expected == actual);
}

TEST_F(PacketRowDelegateTest, CellTextIsTheDisplayText) {
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < PacketListModel::kColumnCount; ++column) {
            std::string text;
            ASSERT_TRUE(model.AppendCellText(row, column, text));
            EXPECT_EQ(QString::fromStdString(text), model.index(row, column).data().toString())
                << "row " << row << " column " << column;
        }
    }
    std::string text;
    EXPECT_FALSE(model.AppendCellText(model.rowCount(), 0, text));
    EXPECT_FALSE(model.AppendCellText(0, PacketListModel::kColumnCount, text));
    EXPECT_TRUE(text.empty());
}

// The list as the window shows it, its own table and delegate beside Qt's,
// compared as painted into their windows: there the text is written into the
// window's image, under the clip of each repaint, and a scroll repaints only
// the strip it uncovers.
class PacketListInAWindow : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { GlyphMasks::AllowWideSteps(GetParam()); }
    void TearDown() override { GlyphMasks::AllowWideSteps(true); }
};

TEST_P(PacketListInAWindow, LooksAsQtsTableThroughScrollsAndSelections) {
    CaptureSession session;
    const std::vector<ByteVector> mix = {TcpData(), DnsQuery(), TcpSack(), IcmpEchoRequest(), TcpSynAck(),
                                         IcmpPortUnreachable(), NtpClient()};
    for (int i = 0; i < 400; ++i) {
        const ByteVector& d = mix[static_cast<std::size_t>(i) % mix.size()];
        session.Ingest(d, PacketTime{1700000000 + i, 0}, static_cast<std::uint32_t>(d.size()));
    }
    PacketListModel model(session);
    model.ReplaceRows(session.RebuildRows());
    QTableView qtTable;
    PacketTableView ownTable;
    auto* delegate = new PacketRowDelegate(model, &ownTable);
    ownTable.setItemDelegate(delegate);
    for (QTableView* view : {static_cast<QTableView*>(&qtTable), static_cast<QTableView*>(&ownTable)}) {
        view->setModel(&model);
        view->setShowGrid(false);
        view->setWordWrap(false);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        view->verticalHeader()->hide();
        view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
        for (int c = 0; c < PacketListModel::kColumnCount; ++c) view->setColumnWidth(c, 100);
        view->setColumnWidth(PacketListModel::kColInfo, 500);
        view->resize(900, 320);
        view->show();
    }
    const auto settle = [] {
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    };
    const auto shown = [](QTableView& view) {
        const QRect area(view.viewport()->mapTo(view.window(), QPoint(0, 0)), view.viewport()->size());
        return view.screen()->grabWindow(view.window()->winId()).toImage().copy(area);
    };
    const auto onBoth = [&](const std::function<void(QTableView&)>& change) {
        change(qtTable);
        change(ownTable);
        settle();
    };
    settle();
    const int rowHeight = ownTable.verticalHeader()->defaultSectionSize();
    struct Step {
        const char* what;
        std::function<void(QTableView&)> change;
    };
    const Step steps[] = {
        {"shown", [](QTableView&) {}},
        {"a row down", [&](QTableView& v) { v.verticalScrollBar()->setValue(rowHeight); }},
        {"seven rows down", [&](QTableView& v) { v.verticalScrollBar()->setValue(8 * rowHeight); }},
        // Selecting brings the row into view, which the list's table does on a whole row.
        {"a row selected", [](QTableView& v) { v.selectRow(10); }},
        {"three pixels up", [&](QTableView& v) { v.verticalScrollBar()->setValue(8 * rowHeight - 3); }},
        {"sideways", [](QTableView& v) { v.horizontalScrollBar()->setValue(37); }},
        {"a region of two rectangles",
         [](QTableView& v) { v.viewport()->update(QRegion(10, 5, 300, 40) + QRegion(200, 100, 400, 30)); }},
        {"the end", [](QTableView& v) { v.scrollToBottom(); }},
    };
    for (const Step& step : steps) {
        delegate->ResetPaintCounts();
        onBoth(step.change);
        EXPECT_TRUE(shown(ownTable) == shown(qtTable)) << step.what;
    }
    // The last step repainted a screenful, nearly all of it written directly.
    EXPECT_GT(delegate->PaintCounts().direct, 5 * PacketListModel::kColumnCount);
}

// The blend in the widest steps the processor has, and in 128-bit steps.
INSTANTIATE_TEST_SUITE_P(PacketRowDelegate, PacketListInAWindow, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "WideSteps" : "NarrowSteps"); });

// Fonts with and without kerning pairs, and a fixed-pitch one.
class AsciiLayoutFonts : public ::testing::TestWithParam<const char*> {
protected:
    QFont Font() const {
        QFont font(QString::fromLatin1(GetParam()));
        font.setPixelSize(13);
        return font;
    }
};

const char* const kSamples[] = {
    "198.51.100.1.53 > 203.0.113.9.40000: 4660+ A? example.com. (29)",
    "AVATAR To Ty Yo LT P. F, r. y, \"quoted\" {braces} [x] ~`^_|\\",
    "Flags [S.], seq 0, ack 1, win 65535, options [mss 1460,sackOK,TS val 1 ecr 0], length 0",
    "ICMP echo request, id 1, seq 1, length 64",
    "W",
    " leading space",
};

TEST_P(AsciiLayoutFonts, GlyphsStandWhereQtPutsThem) {
    AsciiTextLayout layout(Font());
    ASSERT_TRUE(layout.Usable());
    AsciiLine line;
    for (const char* sample : kSamples) {
        ASSERT_TRUE(layout.Layout(sample, 100000, line)) << sample;
        EXPECT_FALSE(line.elided);
        QTextLayout qt(QString::fromLatin1(sample), Font());
        qt.beginLayout();
        qt.createLine();
        qt.endLayout();
        const QList<QGlyphRun> runs = qt.glyphRuns();
        ASSERT_EQ(runs.size(), 1);
        const QList<quint32> glyphs = runs[0].glyphIndexes();
        const QList<QPointF> positions = runs[0].positions();
        ASSERT_EQ(std::vector<quint32>(glyphs.begin(), glyphs.end()), line.glyphs) << sample;
        for (qsizetype i = 0; i < positions.size(); ++i)
            ASSERT_EQ(positions[i].x() - positions[0].x(), line.positions[static_cast<std::size_t>(i)].x())
                << sample << " glyph " << i;
        EXPECT_EQ(QFontMetricsF(Font()).horizontalAdvance(QString::fromLatin1(sample)), line.advance / 64.0) << sample;
    }
}

TEST_P(AsciiLayoutFonts, ElisionKeepsWhatQFontMetricsKeeps) {
    AsciiTextLayout layout(Font());
    ASSERT_TRUE(layout.Usable());
    const QFontMetrics metrics(Font());
    AsciiLine line;
    for (const char* sample : kSamples) {
        const QString text = QString::fromLatin1(sample);
        for (int width = 0; width <= metrics.horizontalAdvance(text) + 2; ++width) {
            ASSERT_TRUE(layout.Layout(sample, width, line));
            const QString shown =
                line.elided ? text.left(line.keptCharacters) + (line.glyphs.empty() ? QString() : QStringLiteral("\u2026"))
                            : text;
            ASSERT_EQ(shown, metrics.elidedText(text, Qt::ElideRight, width)) << sample << " in " << width;
            if (!line.glyphs.empty()) {
                EXPECT_EQ(line.advance / 64.0, QFontMetricsF(Font()).horizontalAdvance(shown));
            }
        }
    }
}

// Every printable character, at every sub-pixel position a line can give it,
// drawn from the masks as Qt draws it; in 256- and 128-bit steps.
TEST_P(AsciiLayoutFonts, MasksDrawEveryGlyphAtEveryPositionAsQtDoes) {
    AsciiTextLayout layout(Font());
    GlyphMasks masks(layout);
    ASSERT_TRUE(masks.Usable());
    std::string text;
    for (char c = 0x20; c <= 0x7e; ++c) text += c;
    AsciiLine line;
    ASSERT_TRUE(layout.Layout(text, 100000, line));
    const int baseline = 20;
    const qreal ascentFraction = layout.Ascent() - std::floor(layout.Ascent());
    for (bool wide : {true, false}) {
        GlyphMasks::AllowWideSteps(wide);
        for (int phase = 0; phase < 64; ++phase) {
            QImage byQt(line.advance / 64 + 40, 32, QImage::Format_RGB32);
            byQt.fill(QColor(250, 250, 245));
            QImage byMasks = byQt.copy();
            {
                QPainter painter(&byQt);
                painter.setPen(QColor(20, 20, 30));
                QGlyphRun run;
                run.setRawFont(layout.RawFont());
                run.setRawData(line.glyphs.data(), line.positions.data(), static_cast<int>(line.glyphs.size()));
                painter.drawGlyphRun(QPointF(10 + phase / 64.0, baseline + ascentFraction), run);
            }
            {
                QPainter painter(&byMasks);
                const ImageTarget target = ImageTarget::Of(painter, byMasks.rect());
                ASSERT_TRUE(masks.Draw(target, 10 * 64 + phase, baseline, line, QColor(20, 20, 30).rgba()));
            }
            ASSERT_TRUE(byQt == byMasks) << "at " << phase << "/64 of a pixel, " << (wide ? "wide" : "narrow")
                                         << " steps";
        }
    }
    GlyphMasks::AllowWideSteps(true);
}

INSTANTIATE_TEST_SUITE_P(PacketRowDelegate, AsciiLayoutFonts,
                         ::testing::Values("DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, ' ');
                             return name;
                         });

// Text is written into an image only where the painter maps pixels one to one
// onto a plain image; every other painter state is left to Qt.
struct TargetCase {
    const char* name;
    QImage::Format format;
    std::function<void(QPainter&)> set;
    bool direct;
};
void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class ImageTargets : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ImageTargets, OnlyPlainPaintsWriteDirectly) {
    const TargetCase& c = GetParam();
    QImage image(200, 100, c.format);
    image.fill(Qt::white);
    QPainter painter(&image);
    c.set(painter);
    const ImageTarget target = ImageTarget::Of(painter, QRect(10, 10, 50, 20));
    EXPECT_EQ(target.image != nullptr, c.direct);
    if (c.direct) {
        EXPECT_EQ(target.writable, QRect(10, 10, 50, 20).translated(target.offset));
    }
}

INSTANTIATE_TEST_SUITE_P(
    PacketRowDelegate, ImageTargets,
    ::testing::Values(
        TargetCase{"Plain", QImage::Format_RGB32, [](QPainter&) {}, true},
        TargetCase{"PremultipliedAlpha", QImage::Format_ARGB32_Premultiplied, [](QPainter&) {}, true},
        TargetCase{"WholePixelTranslation", QImage::Format_RGB32, [](QPainter& p) { p.translate(7, 3); }, true},
        TargetCase{"StraightAlpha", QImage::Format_ARGB32, [](QPainter&) {}, false},
        TargetCase{"SixteenBits", QImage::Format_RGB16, [](QPainter&) {}, false},
        TargetCase{"Scaled", QImage::Format_RGB32, [](QPainter& p) { p.scale(2, 2); }, false},
        TargetCase{"FractionalTranslation", QImage::Format_RGB32, [](QPainter& p) { p.translate(0.5, 0); }, false},
        TargetCase{"Clipped", QImage::Format_RGB32, [](QPainter& p) { p.setClipRect(0, 0, 30, 30); }, false},
        TargetCase{"HalfOpaque", QImage::Format_RGB32, [](QPainter& p) { p.setOpacity(0.5); }, false},
        TargetCase{"OtherComposition", QImage::Format_RGB32,
                   [](QPainter& p) { p.setCompositionMode(QPainter::CompositionMode_Multiply); }, false},
        TargetCase{"TextNotAntialiased", QImage::Format_RGB32,
                   [](QPainter& p) { p.setRenderHint(QPainter::TextAntialiasing, false); }, false},
        TargetCase{"AreaOutsideTheImage", QImage::Format_RGB32, [](QPainter& p) { p.translate(0, 500); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsciiTextLayout, PrintableAsciiOnly) {
    EXPECT_TRUE(AsciiTextLayout::IsPrintableAscii(" ~azAZ09"));
    EXPECT_TRUE(AsciiTextLayout::IsPrintableAscii(""));
    EXPECT_FALSE(AsciiTextLayout::IsPrintableAscii("tab\there"));
    EXPECT_FALSE(AsciiTextLayout::IsPrintableAscii("del\x7f"));
    EXPECT_FALSE(AsciiTextLayout::IsPrintableAscii("caf\xc3\xa9"));
}

}  // namespace
}  // namespace wirelens
