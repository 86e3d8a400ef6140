#include "ui/packet_row_delegate.h"

#include <QApplication>
#include <QGlyphRun>
#include <QIcon>
#include <QPainter>
#include <cmath>

#include "packets/packet_list_model.h"
#include "ui/glyph_masks.h"

namespace wirelens {

PacketRowDelegate::PacketRowDelegate(const PacketListModel& model, QObject* parent)
    : QStyledItemDelegate(parent), mModel(model) {}

PacketRowDelegate::~PacketRowDelegate() = default;

AsciiTextLayout& PacketRowDelegate::LayoutFor(const QFont& font) const {
    if (!mLayout || mLayout->Font() != font) {
        mMasks.reset();
        mLayout = std::make_unique<AsciiTextLayout>(font);
        mMasks = std::make_unique<GlyphMasks>(*mLayout);
    }
    return *mLayout;
}

void PacketRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (PaintAscii(painter, option, index)) {
        ++mCounts.fast;
        return;
    }
    ++mCounts.fallback;
    QStyledItemDelegate::paint(painter, option, index);
}

// Draws what QCommonStyle draws for an item of a table view (background, icon
// at the left, text between the frame margins, centred vertically) with the
// same geometry; false, having drawn nothing, for what it does not cover.
bool PacketRowDelegate::PaintAscii(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    if (index.model() != &mModel || option.direction != Qt::LeftToRight) return false;
    if (option.state & (QStyle::State_HasFocus | QStyle::State_Editing)) return false;
    mText.clear();
    if (!mModel.AppendCellText(index.row(), index.column(), mText)) return false;
    if (!AsciiTextLayout::IsPrintableAscii(mText) || (!mText.empty() && mText.back() == ' ')) return false;
    AsciiTextLayout& layout = LayoutFor(option.font);
    if (!layout.Usable()) return false;

    const QWidget* widget = option.widget;
    const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QVariant decoration = mModel.data(index, Qt::DecorationRole);
    const QIcon icon = decoration.isValid() ? decoration.value<QIcon>() : QIcon();
    const QIcon::Mode iconMode = !(option.state & QStyle::State_Enabled) ? QIcon::Disabled
                                 : (option.state & QStyle::State_Selected) ? QIcon::Selected
                                                                            : QIcon::Normal;
    QRect textRect = option.rect;
    QRect iconRect;
    if (!icon.isNull()) {
        const QSize iconSize = icon.actualSize(option.decorationSize, iconMode, QIcon::Off);
        const QRect cell(option.rect.x(), option.rect.y(), iconSize.width() + 2 * margin, option.rect.height());
        iconRect = QStyle::alignedRect(option.direction, option.decorationAlignment, iconSize, cell);
        textRect.setLeft(cell.right() + 1);
    }
    textRect.adjust(margin, 0, -margin, 0);
    if (!layout.Layout(mText, textRect.width(), mLine)) return false;

    const Qt::Alignment alignment = mModel.data(index, Qt::TextAlignmentRole).value<Qt::Alignment>();
    const std::int32_t spare = textRect.width() * 64 - mLine.advance;
    std::int32_t offset = 0;
    if (alignment & Qt::AlignRight) offset = spare;
    else if (alignment & Qt::AlignHCenter) offset = spare / 2;
    const int lineHeight = static_cast<int>(std::ceil(layout.LineHeight()));
    const int top = textRect.y() + (textRect.height() - lineHeight) / 2;

    // Qt clips an item to its cell. Text whose ink could leave the cell (a row
    // lower than the font, a glyph reaching past the margins) is left to Qt: a
    // clip per cell would cost about as much as drawing the text.
    const QPointF origin(textRect.x() + offset / 64.0, top + layout.Ascent());
    const QMarginsF& reach = layout.InkReach();
    const QRectF ink(origin.x() - reach.left() - 1, origin.y() - reach.top() - 1,
                     mLine.advance / 64.0 + reach.left() + reach.right() + 2, reach.top() + reach.bottom() + 2);
    if ((!mLine.glyphs.empty() && !QRectF(option.rect).contains(ink)) ||
        (!iconRect.isNull() && !option.rect.contains(iconRect)))
        return false;

    // Styles draw an item's panel for its selection, the mouse over it or a brush of its own.
    if ((option.state & (QStyle::State_Selected | QStyle::State_MouseOver)) ||
        option.backgroundBrush.style() != Qt::NoBrush)
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, painter, widget);
    if (!iconRect.isNull()) icon.paint(painter, iconRect, option.decorationAlignment, iconMode, QIcon::Off);
    if (!mLine.glyphs.empty()) {
        QPalette::ColorGroup group = (option.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
        if (group == QPalette::Normal && !(option.state & QStyle::State_Active)) group = QPalette::Inactive;
        const QColor& colour = option.palette.color(
            group, (option.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text);
        const ImageTarget target = ImageTarget::Of(*painter, option.rect);
        const int baseline = top + static_cast<int>(std::floor(layout.Ascent())) + target.offset.y();
        const std::int32_t x64 = (textRect.x() + target.offset.x()) * 64 + offset;
        if (mMasks->Draw(target, x64, baseline, mLine, colour.rgba())) {
            ++mCounts.direct;
            return true;
        }
        if (mTextPen.color() != colour) mTextPen = QPen(colour);
        const QPen before = painter->pen();
        painter->setPen(mTextPen);
        if (mRun.rawFont() != layout.RawFont()) mRun.setRawFont(layout.RawFont());
        mRun.setRawData(mLine.glyphs.data(), mLine.positions.data(), static_cast<int>(mLine.glyphs.size()));
        painter->drawGlyphRun(origin, mRun);
        painter->setPen(before);
    }
    return true;
}

}  // namespace wirelens
