#pragma once
// Draws a laid-out ASCII line by writing its pixels straight into the image a
// painter paints on. Qt's raster engine draws a glyph run glyph by glyph: each
// glyph is looked up in the font engine's cache by its sub-pixel position,
// mapped through the painter's transform and blended by a routine reached
// through two function pointers, which was half of what a screenful of the
// packet list cost to paint. Here a glyph's coverage at the sub-pixel
// positions a line can give it (1/64 pixel) is taken once from Qt itself (the
// glyph drawn by Qt in opaque black on a transparent image leaves its coverage
// as the alpha), and blended with the formula Qt's engine uses, so the pixels
// are Qt's own. A font whose text Qt draws otherwise (sub-pixel colour
// antialiasing, gamma-corrected blending) fails the check made when its masks
// are set up, and is left to Qt.
#include <QImage>
#include <QRect>
#include <QRgb>
#include <cstdint>
#include <vector>

#include "ui/ascii_text_layout.h"

class QPainter;

namespace wirelens {

// The image a painter paints on, where it may be written directly: a raster
// engine on a 32-bit image that is not shared, an integer translation, plain
// source-over blending, no clip of the painter's own.
struct ImageTarget {
    QImage* image = nullptr;
    QPoint offset;  // device position of the painter's origin
    QRect writable;  // device pixels the paint may change (image ∩ the engine's clip)

    // Null image when the painter's state does not allow it.
    static ImageTarget Of(QPainter& painter, const QRect& logicalArea);
};

// Where a glyph is blended: its first pixel's byte offset in the image, and
// where its coverage starts, a row of `width` bytes for each of its `height` lines.
struct GlyphSpot {
    qsizetype offset = 0;
    std::uint32_t coverage = 0;
    int width = 0;
    int height = 0;
};

class GlyphMasks {
public:
    // Masks of `layout`'s font, made and checked against Qt's own drawing.
    explicit GlyphMasks(AsciiTextLayout& layout);

    bool Usable() const { return mUsable; }

    // Whether glyphs may be blended in 256-bit steps where the processor has
    // them (the default); tests turn it off to check the 128-bit steps as well.
    static void AllowWideSteps(bool allowed);

    // Draws `line` in `colour` (opaque) with its origin at `originX64` (1/64
    // pixel) on the row `baselineTop` (the line's whole-pixel top plus the
    // whole part of the layout's ascent), in device pixels of `target`. Pixels
    // outside `target.writable` are never written: false, having written
    // nothing, when some ink would fall there, or for a colour that is not opaque.
    bool Draw(const ImageTarget& target, std::int32_t originX64, int baselineTop, const AsciiLine& line,
              QRgb colour) const;

private:
    struct Mask {
        std::int16_t left = 0;  // from the glyph's whole-pixel origin
        std::int16_t top = 0;
        std::uint16_t width = 0;
        std::uint16_t height = 0;
        std::uint32_t offset = 0;  // into mCoverage
        bool operator==(const Mask&) const = default;
    };
    static constexpr int kPhases = 64;

    bool Blit(const ImageTarget& target, std::int32_t originX64, int baselineTop, const AsciiLine& line,
              QRgb colour) const;
    // A glyph drawn by Qt at one sub-pixel position.
    struct Sample {
        Mask mask;  // offset unset
        std::vector<std::uint8_t> coverage;
        bool operator==(const Sample&) const = default;
    };
    bool RenderPhases(int slot, const std::vector<int>& phases, std::vector<Sample>& samples) const;
    bool FindPhaseClasses();
    const Mask& MaskOf(int slot, int phase) const {
        return mMasks[static_cast<std::size_t>(slot) * kPhases + static_cast<std::size_t>(phase)];
    }
    // Makes a slot's masks the first time it is drawn; false when it cannot be drawn here.
    bool MakeSlot(int slot) const;
    // Draws a sample of text with Qt and with the masks on the same images and compares them.
    bool SameAsQt();

    AsciiTextLayout& mLayout;
    bool mUsable = false;
    int mLineHeight = 0;    // of the check's sample lines
    int mLineBaseline = 0;  // the first line's baseline row, less the ascent's fraction
    qreal mAscentFraction = 0;
    // Made when a slot is first drawn: painting is const to Qt.
    std::vector<int> mClassStarts;     // the first sub-pixel position of each range Qt draws alike
    mutable std::vector<Mask> mMasks;  // slot * kPhases + phase
    // Broken: its ink left the sample cell; it is never drawn here.
    enum class SlotState : std::uint8_t { Unmade, Made, Broken };
    mutable std::vector<SlotState> mSlots;
    mutable std::vector<std::uint8_t> mCoverage;
    mutable QImage mSample;                 // scratch: a glyph at several sub-pixel positions
    mutable std::vector<GlyphSpot> mSpots;  // scratch: the glyphs of the line being drawn
};

}  // namespace wirelens
