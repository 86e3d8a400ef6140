#pragma once
// Draws a scroll bar from a small cache of its earlier drawings. The packet
// list's scroll bar is redrawn each time the list scrolls or grows, and the
// usual styles draw its groove and slider with gradients: for a bar a screen
// high, Qt's raster engine splits such a fill across its thread pool, so each
// redraw costs about half a millisecond and wakes other threads. In a long list
// the slider rarely moves by a pixel (a screenful of a million rows moves it by
// less than one), so nearly every redraw is one already made.
//
// What a style draws for a scroll bar follows from the bar's size, its states
// and palette, and where its parts lie; the key holds exactly those. Styles whose
// scroll bars animate (transient bars) are drawn directly, as is anything else
// the style draws.
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QRect>
#include <array>
#include <vector>

class QAbstractScrollArea;

namespace wirelens {

class ScrollBarPaintCache : public QProxyStyle {
    Q_OBJECT
public:
    // Draws as `base` does, taking ownership of it.
    explicit ScrollBarPaintCache(QStyle* base);
    // Gives both of `area`'s scroll bars a cache drawing as the area's style
    // does; null, changing nothing, when that style cannot be made again by name.
    static ScrollBarPaintCache* Install(QAbstractScrollArea& area);

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;

    // Drawings made and drawings reused, for tests and benchmarks.
    struct Counts {
        long drawn = 0;
        long reused = 0;
    };
    Counts PaintCounts() const { return mCounts; }

    static constexpr std::size_t kCapacity = 8;

private:
    struct Key {
        QSize size;
        int orientation = 0;
        int state = 0;
        int direction = 0;
        int subControls = 0;
        int activeSubControls = 0;
        qint64 palette = 0;
        qreal pixelRatio = 1;
        bool atMinimum = false;
        bool atMaximum = false;
        std::array<QRect, 5> parts;  // slider, groove, the two buttons, the page areas
        bool operator==(const Key&) const = default;
    };
    struct Entry {
        Key key;
        QPixmap pixmap;
    };

    mutable std::vector<Entry> mEntries;  // most recently used first
    mutable Counts mCounts;
};

}  // namespace wirelens
