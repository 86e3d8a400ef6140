#pragma once
// Paints the packet list's cells. A screenful is mostly short ASCII texts, and
// Qt's item drawing lays out and shapes every one of them on every paint; here
// a cell asks the model once for its text, and ASCII text is drawn from a
// per-font table of glyphs and advances, cut with an ellipsis where it does not
// fit, as Qt would cut it. Any other text, the focused cell and text that would
// reach outside its cell are drawn by Qt's own delegate, so what the list shows
// does not change. The model gives no font, colour or background of its own to
// a cell; the fast path would not show them.
#include <QGlyphRun>
#include <QPen>
#include <QStyledItemDelegate>
#include <memory>
#include <string>

#include "ui/ascii_text_layout.h"

namespace wirelens {

class PacketListModel;
class GlyphMasks;

class PacketRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    PacketRowDelegate(const PacketListModel& model, QObject* parent = nullptr);
    ~PacketRowDelegate() override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Cells painted by the fast path and by Qt's delegate since the last reset;
    // of the fast ones, those whose text was written straight into the image.
    struct Counts {
        long fast = 0;
        long fallback = 0;
        long direct = 0;
    };
    Counts PaintCounts() const { return mCounts; }
    void ResetPaintCounts() { mCounts = {}; }

    // Builds the glyph tables of `font` (the view's) ahead of the paint that
    // needs them: a capture's first rows would otherwise wait tens of
    // milliseconds while they are built, the flood already running.
    void Prepare(const QFont& font) const { LayoutFor(font); }
    bool PreparedFor(const QFont& font) const { return mLayout && mLayout->Font() == font; }

private:
    bool PaintAscii(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    AsciiTextLayout& LayoutFor(const QFont& font) const;

    const PacketListModel& mModel;
    // Painting is const to Qt; these are caches and scratch space of the GUI thread.
    mutable std::unique_ptr<AsciiTextLayout> mLayout;
    mutable std::unique_ptr<GlyphMasks> mMasks;  // of mLayout's font
    mutable std::string mText;
    mutable AsciiLine mLine;
    mutable QGlyphRun mRun;
    mutable QPen mTextPen;
    mutable Counts mCounts;
};

}  // namespace wirelens
