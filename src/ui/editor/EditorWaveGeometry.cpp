#include "ui/editor/EditorWaveGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ui/widgets/Style.h"

namespace qm::editorwave {

namespace {

// Rectangles reach far outside the view when zoomed in: keep their edges
// within a margin, so that the rasteriser never sees coordinates it cannot
// hold; what lies beyond the margin is not seen anyway.
double limitX(double x, double width) { return std::clamp(x, -64.0, width + 64.0); }

}  // namespace

int64_t Span::frameAt(double px, int64_t frames) const {
    const double p = ppf();
    int64_t f = viewStart;
    if (p > 0 && std::isfinite(px)) {
        const double offset = std::trunc(px / p);
        // Far outside the view the offset no longer fits a frame count.
        const double limit = static_cast<double>(std::numeric_limits<int64_t>::max() / 4);
        f += static_cast<int64_t>(std::clamp(offset, -limit, limit));
    }
    return std::clamp<int64_t>(f, 0, std::max<int64_t>(frames, 0));
}

Lane lane(double viewHeight, int lanes, int index) {
    Lane l;
    l.height = lanes > 0 ? std::max(viewHeight - kRuler, 0.0) / lanes : 0;
    l.top = kRuler + index * l.height;
    l.centre = l.top + l.height / 2;
    l.amplitude = 0.45 * l.height;
    return l;
}

Extremes extremes(const float* x, size_t n) {
    size_t i = 0;
    Extremes e;
#if defined(__SSE2__)
    // maxps(v, hi) answers hi when v is NaN: NaN samples are passed over.
    __m128 lo4 = _mm_setzero_ps(), hi4 = _mm_setzero_ps();
    for (; i + 4 <= n; i += 4) {
        const __m128 v = _mm_loadu_ps(x + i);
        lo4 = _mm_min_ps(v, lo4);
        hi4 = _mm_max_ps(v, hi4);
    }
    alignas(16) float l[4], h[4];
    _mm_store_ps(l, lo4);
    _mm_store_ps(h, hi4);
    e.lo = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
    e.hi = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
#endif
    for (; i < n; ++i) {
        const float v = x[i];
        if (v < e.lo) e.lo = v;
        if (v > e.hi) e.hi = v;
    }
    return e;
}

Extremes extremes(const float* mins, const float* maxs, size_t n) {
    Extremes e;
    for (size_t i = 0; i < n; ++i) {
        if (mins[i] < e.lo) e.lo = mins[i];
        if (maxs[i] > e.hi) e.hi = maxs[i];
    }
    return e;
}

void laneColumns(const std::vector<float>& samples, const std::vector<float>* mins,
                 const std::vector<float>* maxs, const Span& span, const Lane& box, std::vector<QRectF>& out) {
    const double w = span.width;
    if (!(w > 0)) return;
    const double fpp = static_cast<double>(std::max<int64_t>(span.viewLength, 1)) / std::max(w, 1.0);
    const int64_t count = static_cast<int64_t>(samples.size());
    const bool usePeaks = mins && maxs && fpp >= 256;
    const int64_t blocks = usePeaks ? static_cast<int64_t>(std::min(mins->size(), maxs->size())) : 0;
    const int columns = static_cast<int>(std::ceil(w));
    out.reserve(out.size() + static_cast<size_t>(columns));
    for (int p = 0; p < columns; ++p) {
        int64_t a = span.viewStart + static_cast<int64_t>(fpp * p);
        int64_t b = span.viewStart + static_cast<int64_t>(fpp * (p + 1));
        if (a >= b) b = a + 1;
        if (a >= count) break;
        if (b <= 0) continue;  // a view that starts before the audio
        a = std::max<int64_t>(a, 0);
        Extremes e;
        if (usePeaks) {
            const int64_t first = a / PeakCache::block;
            const int64_t last = std::min(std::max(b / PeakCache::block, first + 1), blocks);
            if (last > first)
                e = extremes(mins->data() + first, maxs->data() + first, static_cast<size_t>(last - first));
        } else {
            const int64_t end = std::min(b, count);
            if (end > a) e = extremes(samples.data() + a, static_cast<size_t>(end - a));
        }
        const double hi = std::min(static_cast<double>(e.hi), 1.0);
        const double lo = std::max(static_cast<double>(e.lo), -1.0);
        out.emplace_back(p, box.centre - box.amplitude * hi, 1, std::max(box.amplitude * (hi - lo), 0.75));
    }
}

std::optional<QRectF> regionTint(int64_t lo, int64_t hi, const Span& span, double height) {
    const double x0 = std::max(span.x(lo), 0.0);
    const double x1 = std::min(span.x(hi), span.width);
    if (!(x0 < x1)) return std::nullopt;
    return QRectF(x0, kRuler, x1 - x0, height - kRuler);
}

std::vector<QRectF> beatLines(const std::vector<int64_t>& beats, const Span& span, double height) {
    std::vector<QRectF> out;
    if (beats.size() < 2 || static_cast<double>(beats[1] - beats[0]) * span.ppf() < 6) return out;
    for (int64_t b : beats)
        if (span.inView(b)) out.emplace_back(span.x(b), kRuler, 0.5, height - kRuler);
    return out;
}

std::vector<QRectF> barLines(const std::vector<int64_t>& downbeats, const Span& span, double height) {
    std::vector<QRectF> out;
    for (int64_t d : downbeats)
        if (span.inView(d)) out.emplace_back(span.x(d), kRuler, 1, height - kRuler);
    return out;
}

int barNumberStep(const std::vector<int64_t>& downbeats, const Span& span) {
    const double barWidth =
        downbeats.size() < 2 ? 100.0 : std::max(static_cast<double>(downbeats[1] - downbeats[0]) * span.ppf(), 1.0);
    return std::max(static_cast<int>(std::ceil(28.0 / barWidth)), 1);
}

std::vector<BarNumber> barNumbers(const std::vector<int64_t>& downbeats, const Span& span, double rh) {
    std::vector<BarNumber> out;
    const size_t step = static_cast<size_t>(barNumberStep(downbeats, span));
    for (size_t i = 0; i < downbeats.size(); i += step) {
        if (!span.inView(downbeats[i])) continue;
        const double x = span.x(downbeats[i]);
        out.push_back({static_cast<int>(i + 1), QRectF(x, rh - 7, 1, 7), QPointF(x + 2, rh - 13)});
    }
    return out;
}

std::optional<QRectF> loopBar(const std::optional<FrameRange>& loop, const Span& span, double rh) {
    if (!loop) return std::nullopt;
    const double x0 = limitX(span.x(loop->lower), span.width);
    const double x1 = limitX(span.x(loop->upper), span.width);
    return QRectF(x0, rh - 3, std::max(x1 - x0, 1.0), 2);
}

double flagLabelX(PinKind kind, double x, double tw, double w) {
    double at = kind == PinKind::introEnd ? x - tw - 6 : x + 6;
    if (at + tw > w - 2) at = x - tw - 6;
    if (at < 2) at = x + 6;
    return at;
}

QColor pinColour(PinKind kind) {
    switch (kind) {
        case PinKind::introEnd: return style::introColor();
        case PinKind::loopEnd: return style::loopColor();
        case PinKind::endingStart: return style::endingColor();
    }
    return style::loopColor();
}

QString pinLabel(PinKind kind) {
    switch (kind) {
        case PinKind::introEnd: return QStringLiteral("INTRO");
        case PinKind::loopEnd: return QStringLiteral("LOOP");
        case PinKind::endingStart: return QStringLiteral("ENDING");
    }
    return {};
}

std::vector<Flag> flags(const std::map<PinKind, int64_t>& pins, const Span& span,
                        const std::function<double(const QString&)>& textWidth) {
    std::vector<Flag> out;
    for (const auto& [kind, frame] : pins) {
        const double x = span.x(frame);
        if (!(x > -40 && x < span.width + 40)) continue;
        Flag f{kind, x, QPolygonF({QPointF(x - 5, 0), QPointF(x + 5, 0), QPointF(x, 8)}), {}};
        f.labelTopLeft = QPointF(flagLabelX(kind, x, textWidth(pinLabel(kind)), span.width), 0);
        out.push_back(f);
    }
    return out;
}

std::optional<PinKind> flagAt(double x, const std::map<PinKind, int64_t>& pins, const Span& span) {
    std::optional<PinKind> best;
    double bestDistance = 0;
    for (const auto& [kind, frame] : pins) {
        const double d = std::abs(x - span.x(frame));
        if (!best || d < bestDistance) {
            best = kind;
            bestDistance = d;
        }
    }
    if (best && bestDistance < 9) return best;
    return std::nullopt;
}

std::optional<QRectF> selectionRect(const std::optional<FrameRange>& selection, const Span& span, double height) {
    if (!selection) return std::nullopt;
    const double x0 = limitX(span.x(selection->lower), span.width);
    const double x1 = limitX(span.x(selection->upper), span.width);
    return QRectF(x0, kRuler, std::max(x1 - x0, 1.0), height - kRuler);
}

QRectF cursorRect(int64_t cursor, const Span& span, double height) {
    return QRectF(limitX(span.x(cursor), span.width), kRuler, 1, height - kRuler);
}

std::optional<QRectF> playheadRect(double playhead, bool show, const Span& span, double height) {
    const double x = span.x(playhead);
    if (!show || !(x >= 0 && x <= span.width)) return std::nullopt;
    return QRectF(std::round(x) - 0.5, 0, 1.5, height);
}

}  // namespace qm::editorwave
