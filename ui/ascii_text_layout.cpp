#include "ui/ascii_text_layout.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QTextLayout>
#include <cmath>

namespace wirelens {

namespace {
constexpr char16_t kEllipsisCharacter = u'\u2026';

std::int32_t ToFixed(qreal pixels) { return static_cast<std::int32_t>(std::lround(pixels * 64)); }
}  // namespace

AsciiTextLayout::AsciiTextLayout(const QFont& font)
    : mFont(font), mRawFont(QRawFont::fromFont(font)), mPairs(kCharacters * kCharacters, kUnknown) {
    if (!mRawFont.isValid()) return;
    QString characters;
    for (int slot = 0; slot < kCharacters; ++slot) characters += CharacterOf(slot);
    const QList<quint32> glyphs = mRawFont.glyphIndexesForString(characters);
    if (glyphs.size() != kCharacters) return;
    const QFontMetricsF metrics(mFont);
    for (int slot = 0; slot < kCharacters; ++slot) {
        if (glyphs[slot] == 0) return;
        mGlyph[static_cast<std::size_t>(slot)] = glyphs[slot];
        mAdvance[static_cast<std::size_t>(slot)] = ToFixed(metrics.horizontalAdvance(CharacterOf(slot)));
        const QRectF ink = mRawFont.boundingRect(glyphs[slot]);
        if (ink.isEmpty()) continue;
        mInkReach.setLeft(std::max(mInkReach.left(), -ink.left()));
        mInkReach.setRight(std::max(mInkReach.right(), ink.right() - mAdvance[static_cast<std::size_t>(slot)] / 64.0));
        mInkReach.setTop(std::max(mInkReach.top(), -ink.top()));
        mInkReach.setBottom(std::max(mInkReach.bottom(), ink.bottom()));
    }
    QTextLayout sample(QStringLiteral("x"), mFont);
    sample.beginLayout();
    const QTextLine line = sample.createLine();
    sample.endLayout();
    mLineHeight = line.height();
    mAscent = line.ascent();
    mUsable = true;
}

bool AsciiTextLayout::IsPrintableAscii(std::string_view text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

QChar AsciiTextLayout::CharacterOf(int slot) {
    return slot == kEllipsis ? QChar(kEllipsisCharacter) : QChar(static_cast<char16_t>(0x20 + slot));
}

std::int16_t AsciiTextLayout::Pair(int first, int second) {
    std::int16_t& pair = mPairs[static_cast<std::size_t>(first * kCharacters + second)];
    if (pair == kUnknown) pair = ShapePair(first, second);
    return pair;
}

// The pair as Qt lays it out: where the second glyph starts, less the first's
// own advance, is what the first's neighbour changes.
std::int16_t AsciiTextLayout::ShapePair(int first, int second) const {
    const QChar pair[2] = {CharacterOf(first), CharacterOf(second)};
    QTextLayout layout(QString(pair, 2), mFont);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (runs.size() != 1 || runs[0].rawFont() != mRawFont) return kShaped;
    const QList<quint32> glyphs = runs[0].glyphIndexes();
    const QList<QPointF> positions = runs[0].positions();
    if (glyphs.size() != 2 || positions.size() != 2 || glyphs[0] != mGlyph[static_cast<std::size_t>(first)] ||
        glyphs[1] != mGlyph[static_cast<std::size_t>(second)])
        return kShaped;
    const std::int32_t adjust =
        ToFixed(positions[1].x()) - ToFixed(positions[0].x()) - mAdvance[static_cast<std::size_t>(first)];
    if (adjust <= kShaped || adjust > INT16_MAX) return kShaped;
    return static_cast<std::int16_t>(adjust);
}

void AsciiTextLayout::Emit(int slot, std::int32_t x, AsciiLine& line) const {
    line.glyphs.push_back(mGlyph[static_cast<std::size_t>(slot)]);
    line.positions.emplace_back(x / 64.0, 0.0);
    line.characters.push_back(static_cast<std::uint8_t>(slot));
    line.x64.push_back(x);
}

bool AsciiTextLayout::Layout(std::string_view text, int width, AsciiLine& line) {
    line.glyphs.clear();
    line.positions.clear();
    line.characters.clear();
    line.x64.clear();
    line.advance = 0;
    line.keptCharacters = 0;
    line.elided = false;
    const std::size_t count = text.size();
    mWidths.resize(count);
    std::int32_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int slot = SlotOf(text[i]);
        std::int32_t w = mAdvance[static_cast<std::size_t>(slot)];
        if (i + 1 < count) {
            const std::int16_t adjust = Pair(slot, SlotOf(text[i + 1]));
            if (adjust == kShaped) return false;
            w += adjust;
        }
        mWidths[i] = w;
        total += w;
    }

    std::size_t kept = count;
    if (total > width * 64 && count > 1) {
        // Cut as Qt's right elision does: whole characters while the width
        // reached stays under what the ellipsis leaves. A single character is never cut.
        line.elided = true;
        const std::int32_t available = width * 64 - mAdvance[kEllipsis];
        if (available < 0) return true;
        std::size_t pos = 0;
        std::size_t next = 0;
        std::int32_t reached = 0;
        do {
            pos = next;
            ++next;
            reached += mWidths[pos];
        } while (next < count && reached < available);
        kept = pos;
    }

    line.glyphs.reserve(kept + 1);
    line.positions.reserve(kept + 1);
    line.characters.reserve(kept + 1);
    line.x64.reserve(kept + 1);
    std::int32_t x = 0;
    for (std::size_t i = 0; i < kept; ++i) {
        const int slot = SlotOf(text[i]);
        Emit(slot, x, line);
        if (line.elided && i + 1 == kept) {
            const std::int16_t adjust = Pair(slot, kEllipsis);
            if (adjust == kShaped) return false;
            x += mAdvance[static_cast<std::size_t>(slot)] + adjust;
        } else {
            x += mWidths[i];
        }
    }
    if (line.elided) {
        Emit(kEllipsis, x, line);
        x += mAdvance[kEllipsis];
    }
    line.advance = x;
    line.keptCharacters = static_cast<int>(kept);
    return true;
}

}  // namespace wirelens
