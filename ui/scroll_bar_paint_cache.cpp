#include "ui/scroll_bar_paint_cache.h"

#include <QAbstractScrollArea>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <algorithm>

namespace wirelens {

ScrollBarPaintCache::ScrollBarPaintCache(QStyle* base) : QProxyStyle(base) {}

ScrollBarPaintCache* ScrollBarPaintCache::Install(QAbstractScrollArea& area) {
    // A style of its own, made like the application's, which the proxy owns.
    QStyle* base = QStyleFactory::create(area.style()->name());
    if (base == nullptr) return nullptr;
    // A child made after the scroll bars, so deleted after them.
    auto* cache = new ScrollBarPaintCache(base);
    cache->setParent(&area);
    area.verticalScrollBar()->setStyle(cache);
    area.horizontalScrollBar()->setStyle(cache);
    return cache;
}

void ScrollBarPaintCache::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                             QPainter* painter, const QWidget* widget) const {
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || bar == nullptr || bar->rect.isEmpty() ||
        baseStyle()->styleHint(SH_ScrollBar_Transient, option, widget) != 0) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }

    Key key;
    key.size = bar->rect.size();
    key.orientation = bar->orientation;
    key.state = static_cast<int>(bar->state);
    key.direction = bar->direction;
    key.subControls = static_cast<int>(bar->subControls);
    key.activeSubControls = static_cast<int>(bar->activeSubControls);
    key.palette = bar->palette.cacheKey();
    key.pixelRatio = painter->device()->devicePixelRatio();
    key.atMinimum = bar->sliderValue <= bar->minimum;
    key.atMaximum = bar->sliderValue >= bar->maximum;
    constexpr std::array<SubControl, 5> kParts = {SC_ScrollBarSlider, SC_ScrollBarGroove, SC_ScrollBarAddLine,
                                                  SC_ScrollBarSubLine, SC_ScrollBarAddPage};
    for (std::size_t i = 0; i < kParts.size(); ++i)
        key.parts[i] = baseStyle()->subControlRect(CC_ScrollBar, bar, kParts[i], widget);

    auto hit = std::find_if(mEntries.begin(), mEntries.end(), [&](const Entry& e) { return e.key == key; });
    if (hit != mEntries.end()) {
        std::rotate(mEntries.begin(), hit, hit + 1);
        ++mCounts.reused;
    } else {
        // Drawn at the origin of a transparent image of the device's pixel ratio,
        // then laid over the bar as the style would have drawn it.
        QImage image(bar->rect.size() * key.pixelRatio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(key.pixelRatio);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setPen(painter->pen());
            p.setBrush(painter->brush());
            p.setFont(painter->font());
            p.setRenderHints(painter->renderHints());
            p.translate(-bar->rect.topLeft());
            baseStyle()->drawComplexControl(control, bar, &p, widget);
        }
        // A drawing with no see-through pixel is kept without alpha: the raster
        // engine copies such a pixmap's lines, where blending one hands a bar a
        // screen high to its thread pool again.
        bool opaque = true;
        for (int y = 0; y < image.height() && opaque; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            opaque = std::all_of(line, line + image.width(), [](QRgb px) { return qAlpha(px) == 255; });
        }
        QPixmap pixmap = QPixmap::fromImage(opaque ? image.convertToFormat(QImage::Format_RGB32) : image);
        if (mEntries.size() == kCapacity) mEntries.pop_back();
        mEntries.insert(mEntries.begin(), Entry{key, std::move(pixmap)});
        ++mCounts.drawn;
    }
    painter->drawPixmap(bar->rect.topLeft(), mEntries.front().pixmap);
}

}  // namespace wirelens
