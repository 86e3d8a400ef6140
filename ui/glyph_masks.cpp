#include "ui/glyph_masks.h"

#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wirelens {

namespace {

// Each channel of `x` times `a` / 255, rounded as Qt's raster engine rounds it.
inline std::uint32_t ByteMul(std::uint32_t x, std::uint32_t a) {
    std::uint32_t t = (x & 0xff00ffu) * a;
    t = (t + ((t >> 8) & 0xff00ffu) + 0x800080u) >> 8;
    t &= 0xff00ffu;
    x = ((x >> 8) & 0xff00ffu) * a;
    x = x + ((x >> 8) & 0xff00ffu) + 0x800080u;
    x &= 0xff00ff00u;
    return x | t;
}

bool IsWhole(qreal v) { return v == std::floor(v); }

// Source over, the source being the opaque `colour` at each pixel's coverage,
// as Qt blends a glyph. A coverage of 0 leaves the pixel as it was and one of
// 255 gives the colour, so no pixel needs a branch.
inline std::uint32_t BlendPixel(std::uint32_t pixel, std::uint32_t coverage, std::uint32_t colour) {
    return ByteMul(colour, coverage) + ByteMul(pixel, 255 - coverage);
}

// Walks the rows of a line's glyphs: four pixels at a time through `step`
// (pixels, their coverage, and that coverage as one word: a step with none is
// passed over), the pixels left at a row's end one by one.
template <class Step>
[[gnu::always_inline]] inline void BlendRows(uchar* bits, const std::uint8_t* coverages,
                                             const std::vector<GlyphSpot>& spots, qsizetype stride, QRgb colour,
                                             Step step) {
    for (const GlyphSpot& spot : spots) {
        uchar* row = bits + spot.offset;
        const std::uint8_t* coverage = coverages + spot.coverage;
        for (int y = 0; y < spot.height; ++y, row += stride, coverage += spot.width) {
            auto* pixels = reinterpret_cast<QRgb*>(row);
            int c = 0;
            for (; c + 4 <= spot.width; c += 4) {
                std::uint32_t four;
                std::memcpy(&four, coverage + c, sizeof four);
                if (four != 0) step(pixels + c, coverage + c, four);
            }
            for (; c < spot.width; ++c)
                if (coverage[c] != 0) pixels[c] = BlendPixel(pixels[c], coverage[c], colour);
        }
    }
}

// The vector steps: each channel in 16 bits, the same products and rounding
// as ByteMul, lane by lane (no sum leaves its 16 bits).
#if defined(__x86_64__)
__attribute__((target("avx2"))) inline __m256i ByteMulAvx2(__m256i v, __m256i a, __m256i half) {
    const __m256i t = _mm256_mullo_epi16(v, a);
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(t, 8)), half), 8);
}

// Four pixels in one 256-bit register.
__attribute__((target("avx2"))) void BlendGlyphsAvx2(uchar* bits, const std::uint8_t* coverages,
                                                     const std::vector<GlyphSpot>& spots, qsizetype stride,
                                                     QRgb colour) {
    const __m256i full = _mm256_set1_epi16(255);
    const __m256i half = _mm256_set1_epi16(0x80);
    const __m256i source = _mm256_cvtepu8_epi16(_mm_set1_epi32(static_cast<int>(colour)));
    const __m128i spread = _mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
    BlendRows(bits, coverages, spots, stride, colour,
              [&](QRgb* pixels, const std::uint8_t*, std::uint32_t four) __attribute__((target("avx2"))) {
                  const __m256i a =
                      _mm256_cvtepu8_epi16(_mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(four)), spread));
                  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
                  const __m256i blended =
                      _mm256_add_epi16(ByteMulAvx2(source, a, half),
                                       ByteMulAvx2(_mm256_cvtepu8_epi16(d), _mm256_sub_epi16(full, a), half));
                  const __m256i packed = _mm256_packus_epi16(blended, blended);
                  _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels),
                                   _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
              });
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

bool gWideSteps = true;

void BlendGlyphs(uchar* bits, const std::uint8_t* coverages, const std::vector<GlyphSpot>& spots, qsizetype stride,
                 QRgb colour) {
#if defined(__x86_64__)
    if (gWideSteps && HasAvx2()) {
        BlendGlyphsAvx2(bits, coverages, spots, stride, colour);
        return;
    }
#endif
#if defined(__SSE2__)
    // Four pixels in two 128-bit registers.
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi16(255);
    const __m128i half = _mm_set1_epi16(0x80);
    const __m128i source = _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(colour)), zero);
    const auto byteMul = [&](__m128i v, __m128i a) {
        const __m128i t = _mm_mullo_epi16(v, a);
        return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), half), 8);
    };
    BlendRows(bits, coverages, spots, stride, colour, [&](QRgb* pixels, const std::uint8_t*, std::uint32_t four) {
        __m128i a = _mm_cvtsi32_si128(static_cast<int>(four));
        a = _mm_unpacklo_epi8(a, a);
        a = _mm_unpacklo_epi16(a, a);  // each pixel's coverage in its four channels
        const __m128i aLow = _mm_unpacklo_epi8(a, zero);
        const __m128i aHigh = _mm_unpackhi_epi8(a, zero);
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i low =
            _mm_add_epi16(byteMul(source, aLow), byteMul(_mm_unpacklo_epi8(d, zero), _mm_sub_epi16(full, aLow)));
        const __m128i high =
            _mm_add_epi16(byteMul(source, aHigh), byteMul(_mm_unpackhi_epi8(d, zero), _mm_sub_epi16(full, aHigh)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), _mm_packus_epi16(low, high));
    });
#else
    BlendRows(bits, coverages, spots, stride, colour, [&](QRgb* pixels, const std::uint8_t* coverage, std::uint32_t) {
        for (int c = 0; c < 4; ++c)
            if (coverage[c] != 0) pixels[c] = BlendPixel(pixels[c], coverage[c], colour);
    });
#endif
}

}  // namespace

void GlyphMasks::AllowWideSteps(bool allowed) { gWideSteps = allowed; }

ImageTarget ImageTarget::Of(QPainter& painter, const QRect& logicalArea) {
    ImageTarget target;
    QPaintEngine* engine = painter.paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster) return target;
    QPaintDevice* device = engine->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image) return target;
    auto* image = static_cast<QImage*>(device);
    // Qt copies an image being painted rather than share it, so its pixels are
    // the painter's own; a shared one would be copied before its next write,
    // and what was written here lost.
    if ((image->format() != QImage::Format_RGB32 && image->format() != QImage::Format_ARGB32_Premultiplied) ||
        !image->isDetached())
        return target;
    const QTransform& transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxTranslate || !IsWhole(transform.dx()) || !IsWhole(transform.dy()))
        return target;
    if (painter.hasClipping() || painter.compositionMode() != QPainter::CompositionMode_SourceOver ||
        painter.opacity() != 1.0 ||
        (painter.renderHints() & (QPainter::TextAntialiasing | QPainter::VerticalSubpixelPositioning)) !=
            QPainter::TextAntialiasing)
        return target;
    target.offset = QPoint(static_cast<int>(transform.dx()), static_cast<int>(transform.dy()));
    // The engine's own clip is the region being painted, in device pixels; only
    // one of its rectangles holding the whole area is taken.
    const QRect area = logicalArea.translated(target.offset) & image->rect();
    const QRegion clip = engine->systemClip();
    if (clip.isEmpty()) {
        target.writable = area;
    } else {
        for (const QRect& r : clip) {
            if (r.contains(area)) {
                target.writable = area;
                break;
            }
        }
    }
    if (!target.writable.isEmpty()) target.image = image;
    return target;
}

GlyphMasks::GlyphMasks(AsciiTextLayout& layout)
    : mLayout(layout),
      mMasks(static_cast<std::size_t>(AsciiTextLayout::kSlots) * kPhases),
      mSlots(AsciiTextLayout::kSlots, SlotState::Unmade) {
    if (!layout.Usable()) return;
    const QMarginsF& reach = layout.InkReach();
    // Lines of the check's sample: room for any glyph's ink above and below.
    mLineBaseline = static_cast<int>(std::ceil(reach.top())) + 4;
    mLineHeight = mLineBaseline + static_cast<int>(std::ceil(reach.bottom())) + 6;
    mAscentFraction = layout.Ascent() - std::floor(layout.Ascent());
    mUsable = FindPhaseClasses() && SameAsQt();
}

// Draws `slot`'s glyph with Qt at each of `phases` (1/64 pixel), side by side
// in one run, and keeps each one's ink: its box from the glyph's whole-pixel
// origin and its coverage. False when ink reaches the edge of its sample.
bool GlyphMasks::RenderPhases(int slot, const std::vector<int>& phases, std::vector<Sample>& samples) const {
    // A sample cell holds the glyph's ink as the font gives it, with room
    // around it for what hinting and antialiasing add.
    const QRectF ink = mLayout.RawFont().boundingRect(mLayout.GlyphOf(slot));
    const auto pixels = [](qreal v) { return std::max(0, static_cast<int>(std::ceil(v))); };
    const int cellLeft = pixels(-ink.left()) + 3;
    const int cellWidth = cellLeft + pixels(ink.right()) + 5;  // a pixel more for the sub-pixel position
    const int baseline = pixels(-ink.top()) + 3;
    const int cellHeight = baseline + pixels(ink.bottom()) + 4;
    const int count = static_cast<int>(phases.size());
    // One image for every slot's sample, grown as needed: a new one for each
    // would be mapped and faulted in afresh.
    if (mSample.width() < cellWidth * count || mSample.height() < cellHeight)
        mSample = QImage(std::max(mSample.width(), cellWidth * count), std::max(mSample.height(), cellHeight),
                         QImage::Format_ARGB32_Premultiplied);
    mSample.fill(Qt::transparent);
    {
        QPainter painter(&mSample);
        painter.setPen(QColor(0, 0, 0));
        const std::vector<quint32> glyphs(phases.size(), mLayout.GlyphOf(slot));
        std::vector<QPointF> positions;
        for (int i = 0; i < count; ++i)
            positions.emplace_back(i * cellWidth + cellLeft + phases[static_cast<std::size_t>(i)] / 64.0, 0.0);
        QGlyphRun run;
        run.setRawFont(mLayout.RawFont());
        run.setRawData(glyphs.data(), positions.data(), count);
        painter.drawGlyphRun(QPointF(0, baseline + mAscentFraction), run);
    }
    // Opaque black over transparent leaves a pixel zero where it has no coverage.
    const QImage& sample = mSample;
    samples.assign(phases.size(), Sample{});
    std::vector<std::array<int, 4>> boxes(phases.size(), {cellWidth, -1, cellHeight, -1});  // left right top bottom
    for (int y = 0; y < cellHeight; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(sample.constScanLine(y));
        for (int i = 0; i < count; ++i, line += cellWidth) {
            int first = 0;
            while (first < cellWidth && line[first] == 0) ++first;
            if (first == cellWidth) continue;
            int last = cellWidth - 1;
            while (line[last] == 0) --last;
            auto& box = boxes[static_cast<std::size_t>(i)];
            box = {std::min(box[0], first), std::max(box[1], last), std::min(box[2], y), y};
        }
    }
    for (int i = 0; i < count; ++i) {
        const auto [left, right, top, bottom] = boxes[static_cast<std::size_t>(i)];
        if (right < 0) continue;
        if (left == 0 || top == 0 || right == cellWidth - 1 || bottom == cellHeight - 1) return false;
        Sample& out = samples[static_cast<std::size_t>(i)];
        out.mask.left = static_cast<std::int16_t>(left - cellLeft);
        out.mask.top = static_cast<std::int16_t>(top - baseline);
        out.mask.width = static_cast<std::uint16_t>(right - left + 1);
        out.mask.height = static_cast<std::uint16_t>(bottom - top + 1);
        for (int y = top; y <= bottom; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(sample.constScanLine(y)) + i * cellWidth;
            for (int x = left; x <= right; ++x) out.coverage.push_back(static_cast<std::uint8_t>(qAlpha(line[x])));
        }
    }
    return true;
}

// Qt draws a glyph at a few sub-pixel positions, a range of the 64 each: the
// ranges are where the drawings of a few glyphs change as the position moves.
// A slot is then drawn once a range, not 64 times.
bool GlyphMasks::FindPhaseClasses() {
    std::vector<int> all(kPhases);
    for (int phase = 0; phase < kPhases; ++phase) all[static_cast<std::size_t>(phase)] = phase;
    std::vector<bool> starts(kPhases, false);
    starts[0] = true;
    std::vector<Sample> samples;
    for (const char probe : {'o', 'W', '1', 'e'}) {
        if (!RenderPhases(AsciiTextLayout::SlotOf(probe), all, samples)) return false;
        for (std::size_t phase = 1; phase < kPhases; ++phase)
            if (samples[phase] != samples[phase - 1]) starts[phase] = true;
    }
    mClassStarts.clear();
    for (int phase = 0; phase < kPhases; ++phase)
        if (starts[static_cast<std::size_t>(phase)]) mClassStarts.push_back(phase);
    return true;
}

bool GlyphMasks::MakeSlot(int slot) const {
    const auto made = static_cast<std::size_t>(slot);
    if (mSlots[made] != SlotState::Unmade) return mSlots[made] == SlotState::Made;
    std::vector<Sample> samples;
    if (!RenderPhases(slot, mClassStarts, samples)) {
        mSlots[made] = SlotState::Broken;
        return false;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        Mask mask = samples[i].mask;
        mask.offset = static_cast<std::uint32_t>(mCoverage.size());
        mCoverage.insert(mCoverage.end(), samples[i].coverage.begin(), samples[i].coverage.end());
        const int end = i + 1 < samples.size() ? mClassStarts[i + 1] : kPhases;
        for (int phase = mClassStarts[i]; phase < end; ++phase)
            mMasks[made * kPhases + static_cast<std::size_t>(phase)] = mask;
    }
    mSlots[made] = SlotState::Made;
    return true;
}

bool GlyphMasks::Draw(const ImageTarget& target, std::int32_t originX64, int baselineTop, const AsciiLine& line,
                      QRgb colour) const {
    return mUsable && Blit(target, originX64, baselineTop, line, colour);
}

bool GlyphMasks::Blit(const ImageTarget& target, std::int32_t originX64, int baselineTop, const AsciiLine& line,
                      QRgb colour) const {
    // A colour that is not opaque is blended by Qt from 16 bits a channel.
    if (target.image == nullptr || qAlpha(colour) != 255) return false;
    QImage& image = *target.image;
    // The image is not shared (checked by ImageTarget), so its pixels are the painter's own.
    auto* bits = const_cast<uchar*>(image.constBits());
    const qsizetype stride = image.bytesPerLine();
    // Every glyph's ink must lie in the writable part, or none is drawn.
    int left = INT_MAX, right = INT_MIN, top = INT_MAX, bottom = INT_MIN;
    mSpots.clear();
    for (std::size_t i = 0; i < line.characters.size(); ++i) {
        const int slot = line.characters[i];
        if (mSlots[static_cast<std::size_t>(slot)] != SlotState::Made && !MakeSlot(slot)) return false;
        const std::int32_t x64 = originX64 + line.x64[i];
        const Mask& mask = MaskOf(slot, x64 & (kPhases - 1));
        if (mask.width == 0) continue;
        const int x = (x64 >> 6) + mask.left;
        const int y = baselineTop + mask.top;
        left = std::min(left, x);
        right = std::max(right, x + mask.width - 1);
        top = std::min(top, y);
        bottom = std::max(bottom, y + mask.height - 1);
        // Coverage by offset: making a later glyph's masks may move mCoverage.
        mSpots.push_back({y * stride + x * static_cast<qsizetype>(sizeof(QRgb)), mask.offset, mask.width, mask.height});
    }
    if (mSpots.empty()) return true;
    if (!target.writable.contains(QRect(QPoint(left, top), QPoint(right, bottom)))) return false;
    BlendGlyphs(bits, mCoverage.data(), mSpots, stride, colour);
    return true;
}

bool GlyphMasks::SameAsQt() {
    // Wide, narrow, tall and low glyphs; the last line is cut with an ellipsis.
    const std::string sample = "Wg0.[|y,:A?m";
    AsciiLine line;
    struct Case {
        QImage::Format format;
        QColor background;
        QColor text;
    };
    const Case cases[] = {{QImage::Format_RGB32, QColor(255, 255, 255), QColor(0, 0, 0)},
                          {QImage::Format_ARGB32_Premultiplied, QColor(48, 140, 198), QColor(255, 255, 255)},
                          {QImage::Format_RGB32, QColor(239, 239, 239), QColor(190, 190, 190)}};
    const int lineHeight = mLineHeight;
    for (const Case& test : cases) {
        // Three lines: whole-pixel start, two fractions; the last one cut with an ellipsis.
        const int widths[] = {100000, 100000, 50};
        const int fractions[] = {0, 23, 50};
        QImage byQt(300, lineHeight * 3, test.format);
        byQt.fill(test.background);
        QImage byMasks = byQt.copy();
        QPainter qt(&byQt);
        qt.setPen(test.text);
        QPainter own(&byMasks);
        for (int i = 0; i < 3; ++i) {
            if (!mLayout.Layout(sample, widths[i], line)) return false;
            const int top = i * lineHeight + mLineBaseline;
            QGlyphRun run;
            run.setRawFont(mLayout.RawFont());
            run.setRawData(line.glyphs.data(), line.positions.data(), static_cast<int>(line.glyphs.size()));
            qt.drawGlyphRun(QPointF(10 + fractions[i] / 64.0, top + mAscentFraction), run);
            const ImageTarget target = ImageTarget::Of(own, byMasks.rect());
            if (!Blit(target, 10 * 64 + fractions[i], top, line, test.text.rgba())) return false;
        }
        qt.end();
        own.end();
        if (byQt != byMasks) return false;
    }
    return true;
}

}  // namespace wirelens
