// A scroll bar drawn from the cache must look exactly as its style draws it,
// whether the drawing is made or reused, in every state a bar can be in.
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QStandardItemModel>
#include <QTableView>
#include <gtest/gtest.h>
#include <memory>

#include "ui/scroll_bar_paint_cache.h"

namespace wirelens {
namespace {

struct BarCase {
    const char* name;
    Qt::Orientation orientation;
    int position;  // of 0..1000, a page of 100
    QStyle::State state;
    QStyle::SubControls active;
    Qt::LayoutDirection direction = Qt::LeftToRight;
};

const BarCase kCases[] = {
    {"top", Qt::Vertical, 0, QStyle::State_Enabled, QStyle::SC_None},
    {"middle", Qt::Vertical, 500, QStyle::State_Enabled, QStyle::SC_None},
    {"bottom", Qt::Vertical, 1000, QStyle::State_Enabled, QStyle::SC_None},
    {"disabled", Qt::Vertical, 500, QStyle::State_None, QStyle::SC_None},
    {"slider under the mouse", Qt::Vertical, 500, QStyle::State_Enabled | QStyle::State_MouseOver,
     QStyle::SC_ScrollBarSlider},
    {"down button pressed", Qt::Vertical, 500, QStyle::State_Enabled | QStyle::State_Sunken,
     QStyle::SC_ScrollBarAddLine},
    {"up button pressed", Qt::Vertical, 500, QStyle::State_Enabled | QStyle::State_Sunken,
     QStyle::SC_ScrollBarSubLine},
    {"horizontal", Qt::Horizontal, 300, QStyle::State_Enabled | QStyle::State_Horizontal, QStyle::SC_None},
    {"horizontal right to left", Qt::Horizontal, 300, QStyle::State_Enabled | QStyle::State_Horizontal,
     QStyle::SC_None, Qt::RightToLeft},
};

QStyleOptionSlider BarOption(const BarCase& c, const QPalette& palette) {
    QStyleOptionSlider option;
    option.rect = c.orientation == Qt::Vertical ? QRect(0, 0, 16, 400) : QRect(0, 0, 400, 16);
    option.orientation = c.orientation;
    option.state = c.state;
    option.direction = c.direction;
    option.palette = palette;
    option.minimum = 0;
    option.maximum = 1000;
    option.pageStep = 100;
    option.singleStep = 1;
    option.sliderPosition = option.sliderValue = c.position;
    option.subControls = QStyle::SC_All;
    option.activeSubControls = c.active;
    return option;
}

// The bar drawn by `style` over a ground of its own colour, so that any pixel
// the bar leaves see-through shows.
QImage Draw(const QStyle& style, const QStyleOptionSlider& option) {
    QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(40, 160, 90));
    QPainter painter(&image);
    style.drawComplexControl(QStyle::CC_ScrollBar, &option, &painter);
    return image;
}

class ScrollBarPaintCacheTest : public ::testing::Test {
protected:
    std::unique_ptr<QStyle> direct{QStyleFactory::create(QStringLiteral("Fusion"))};
    ScrollBarPaintCache cache{QStyleFactory::create(QStringLiteral("Fusion"))};
};

TEST_F(ScrollBarPaintCacheTest, MadeAndReusedDrawingsEqualTheStyles) {
    const QPalette palette = direct->standardPalette();
    // Each case drawn twice, made then reused, right after a case that differs
    // in one thing: a key that missed the difference would show that case's drawing.
    for (const BarCase& c : kCases) {
        const QStyleOptionSlider option = BarOption(c, palette);
        const QImage expected = Draw(*direct, option);
        EXPECT_EQ(Draw(cache, option), expected) << c.name << ", made";
        EXPECT_EQ(Draw(cache, option), expected) << c.name << ", reused";
    }
    EXPECT_EQ(cache.PaintCounts().drawn, static_cast<long>(std::size(kCases)));
    EXPECT_EQ(cache.PaintCounts().reused, static_cast<long>(std::size(kCases)));
}

TEST_F(ScrollBarPaintCacheTest, ASliderThatStaysOnItsPixelsIsReused) {
    const QPalette palette = direct->standardPalette();
    // 1000 steps over a bar of a few hundred pixels: a step rarely moves the slider.
    QStyleOptionSlider option = BarOption(kCases[1], palette);
    const QImage first = Draw(cache, option);
    option.sliderPosition = option.sliderValue = 501;
    EXPECT_EQ(Draw(cache, option), Draw(*direct, option));
    EXPECT_EQ(cache.PaintCounts().reused, 1);
    option.sliderPosition = option.sliderValue = 700;
    EXPECT_NE(Draw(cache, option), first);
    EXPECT_EQ(cache.PaintCounts().drawn, 2);
}

TEST_F(ScrollBarPaintCacheTest, PaletteChangeAndEvictionDrawAgain) {
    QPalette palette = direct->standardPalette();
    const QStyleOptionSlider before = BarOption(kCases[1], palette);
    Draw(cache, before);
    palette.setColor(QPalette::Button, QColor(200, 40, 40));
    const QStyleOptionSlider after = BarOption(kCases[1], palette);
    EXPECT_EQ(Draw(cache, after), Draw(*direct, after));
    EXPECT_EQ(cache.PaintCounts().drawn, 2);

    // More bars than the cache holds: the oldest is drawn afresh, and still right.
    for (int i = 0; i < static_cast<int>(ScrollBarPaintCache::kCapacity); ++i) {
        QStyleOptionSlider other = before;
        other.rect.setHeight(300 + i);
        Draw(cache, other);
    }
    const long drawn = cache.PaintCounts().drawn;
    EXPECT_EQ(Draw(cache, before), Draw(*direct, before));
    EXPECT_EQ(cache.PaintCounts().drawn, drawn + 1);
}

TEST_F(ScrollBarPaintCacheTest, SeeThroughColoursShowWhatLiesBeneath) {
    QPalette palette = direct->standardPalette();
    for (QPalette::ColorRole role : {QPalette::Button, QPalette::Window, QPalette::Base, QPalette::Dark}) {
        QColor colour = palette.color(role);
        colour.setAlpha(90);
        palette.setColor(role, colour);
    }
    for (int round = 0; round < 2; ++round) {
        const QStyleOptionSlider option = BarOption(kCases[1], palette);
        EXPECT_EQ(Draw(cache, option), Draw(*direct, option)) << "round " << round;
    }
}

// In a view, the bars with the cache look as the bars of the same view without it.
TEST(ScrollBarPaintCacheInView, BarsLookAsWithoutTheCache) {
    QStandardItemModel model(500, 3);
    // Widgets do not own a style set on them: it outlives the views.
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    QTableView plain;
    QTableView cached;
    ScrollBarPaintCache* cache = nullptr;
    for (QTableView* view : {&plain, &cached}) {
        view->setStyle(fusion.get());
        view->setModel(&model);
        view->resize(200, 300);
        view->show();
    }
    cache = ScrollBarPaintCache::Install(cached);
    ASSERT_NE(cache, nullptr);
    for (int value : {0, 40, 41, 400, 0}) {
        plain.verticalScrollBar()->setValue(value);
        cached.verticalScrollBar()->setValue(value);
        QApplication::processEvents();
        EXPECT_EQ(cached.verticalScrollBar()->grab().toImage(), plain.verticalScrollBar()->grab().toImage())
            << "at " << value;
        EXPECT_EQ(cached.horizontalScrollBar()->grab().toImage(), plain.horizontalScrollBar()->grab().toImage());
    }
    EXPECT_GT(cache->PaintCounts().reused, 0);
}

}  // namespace
}  // namespace wirelens
