#pragma once
// One-line layout of printable ASCII text in one font without shaping each
// text: glyph indexes and advances of the 95 characters and the ellipsis are
// read once, and the adjustment between two neighbours (kerning) is shaped
// once per pair the first time the pair is met. Positions are kept in 1/64
// pixel, the unit Qt's own layout works in, so a line comes out where
// QTextLayout would put it and is cut where QFontMetrics::elidedText cuts.
#include <QFont>
#include <QMargins>
#include <QPointF>
#include <QRawFont>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace wirelens {

// A laid-out line: glyph origins relative to the start of the line, on its baseline.
struct AsciiLine {
    std::vector<quint32> glyphs;
    std::vector<QPointF> positions;
    std::vector<std::uint8_t> characters;  // each glyph's slot (see AsciiTextLayout::kSlots)
    std::vector<std::int32_t> x64;         // each glyph's position in 1/64 pixel
    std::int32_t advance = 0;              // width of the line in 1/64 pixel
    int keptCharacters = 0;                // characters of the text shown before the ellipsis, if any
    bool elided = false;
};

class AsciiTextLayout {
public:
    explicit AsciiTextLayout(const QFont& font);

    const QFont& Font() const { return mFont; }
    const QRawFont& RawFont() const { return mRawFont; }
    // False when the font cannot show every printable character and the
    // ellipsis itself; such a font is left to Qt's own text drawing.
    bool Usable() const { return mUsable; }
    // A line of this font as QTextLayout makes it: its height and where its baseline lies.
    qreal LineHeight() const { return mLineHeight; }
    qreal Ascent() const { return mAscent; }
    // Where the ink of any of its glyphs can reach, around a line's origin on the
    // baseline: left and right beyond the line's ends, top and bottom from the baseline.
    const QMarginsF& InkReach() const { return mInkReach; }

    // Characters 0x20..0x7e only.
    static bool IsPrintableAscii(std::string_view text);

    // Slots number the characters 0x20..0x7e from 0, then the ellipsis.
    static constexpr int kSlots = 96;
    static int SlotOf(char c) { return static_cast<unsigned char>(c) - 0x20; }  // a printable character's slot
    quint32 GlyphOf(int slot) const { return mGlyph[static_cast<std::size_t>(slot)]; }
    // A slot's advance, in 1/64 pixel.
    std::int32_t AdvanceOf(int slot) const { return mAdvance[static_cast<std::size_t>(slot)]; }

    // Lays out `text` (printable ASCII) in `width` pixels, ending it with an
    // ellipsis where it does not fit. False when two of its characters form a
    // ligature or change each other's glyphs: that text needs real shaping.
    bool Layout(std::string_view text, int width, AsciiLine& line);

private:
    static constexpr int kCharacters = kSlots;
    static constexpr int kEllipsis = kCharacters - 1;
    static constexpr std::int16_t kUnknown = INT16_MIN;
    static constexpr std::int16_t kShaped = INT16_MIN + 1;  // the pair needs shaping

    static QChar CharacterOf(int slot);
    // The advance adjustment of the first of a pair, in 1/64 pixel, or kShaped.
    std::int16_t Pair(int first, int second);
    std::int16_t ShapePair(int first, int second) const;
    void Emit(int slot, std::int32_t x, AsciiLine& line) const;

    QFont mFont;
    QRawFont mRawFont;
    bool mUsable = false;
    qreal mLineHeight = 0;
    qreal mAscent = 0;
    QMarginsF mInkReach;
    std::array<quint32, kCharacters> mGlyph{};
    std::array<std::int32_t, kCharacters> mAdvance{};  // 1/64 pixel
    std::vector<std::int16_t> mPairs;                  // kCharacters x kCharacters, filled as met
    std::vector<std::int32_t> mWidths;                 // scratch: each character's width in the line
};

}  // namespace wirelens
