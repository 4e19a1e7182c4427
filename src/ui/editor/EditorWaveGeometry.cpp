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
        Flag f{kind, x, QPolygonF({QPointF(x - 5, 0), QPointF(x + 5, 0), QPointF(x, 8)}), {}, {}, false};
        out.push_back(f);
    }
    // From left to right, each label takes the first side that meets no
    // label placed before it and no flag; failing both, it goes down a line.
    std::vector<size_t> order(out.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return out[a].x < out[b].x; });
    std::vector<QRectF> taken;
    for (const Flag& f : out) taken.push_back(QRectF(f.x - 5, 0, 10, 8));
    for (size_t i : order) {
        Flag& f = out[i];
        const double tw = textWidth(pinLabel(f.kind));
        const double first = flagLabelX(f.kind, f.x, tw, span.width);
        const double second = first > f.x ? f.x - tw - 6 : f.x + 6;
        auto box = [&](double at, double top) { return QRectF(at, top, tw, kFlagLabelHeight); };
        auto meets = [&](const QRectF& r) {
            for (size_t j = 0; j < taken.size(); ++j)
                if (j != i && taken[j].intersects(r)) return true;  // its own flag does not count
            return false;
        };
        const bool secondInside = second >= 2 && second + tw <= span.width - 2;
        if (!meets(box(first, 0))) {
            f.label = box(first, 0);
        } else if (secondInside && !meets(box(second, 0))) {
            f.label = box(second, 0);
        } else {
            f.label = box(first, kStackedLabelTop);
            f.stacked = true;
        }
        f.labelTopLeft = f.label.topLeft();
        taken.push_back(f.label);
    }
    return out;
}

double timeStep(double pps, double gap) {
    static constexpr double kSteps[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1,    2,    5,
                                        10,    15,    30,    60,   120,  300,  600, 1200, 1800, 3600, 7200};
    for (double step : kSteps)
        if (step * pps >= gap) return step;
    return 0;
}

QString timeMarkText(int64_t millis, double step) {
    const int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
    const int64_t ms = std::max<int64_t>(millis, 0);
    const int64_t rest = ms % 60000;
    QString text = QStringLiteral("%1:%2").arg(ms / 60000).arg(rest / 1000, 2, 10, QLatin1Char('0'));
    if (decimals > 0) {
        static constexpr int64_t kScale[] = {1, 100, 10, 1};
        text += QLatin1Char('.') + QStringLiteral("%1").arg((rest % 1000) / kScale[decimals], decimals, 10,
                                                            QLatin1Char('0'));
    }
    return text;
}

std::vector<TimeMark> timeMarks(const Span& span, double sampleRate, double gap) {
    std::vector<TimeMark> out;
    if (!(sampleRate > 0) || !(span.width > 0)) return out;
    const double pps = span.ppf() * sampleRate;
    const double step = timeStep(pps, gap);
    if (!(step > 0)) return out;
    const double from = static_cast<double>(span.viewStart) / sampleRate;
    const double to = static_cast<double>(span.viewStart + span.viewLength) / sampleRate;
    // Steps are whole milliseconds: counting in them keeps the times exact.
    const auto stepMs = static_cast<int64_t>(std::llround(step * 1000));
    const auto first = static_cast<int64_t>(std::ceil(from * 1000 / static_cast<double>(stepMs)));
    const auto last = static_cast<int64_t>(std::floor(to * 1000 / static_cast<double>(stepMs)));
    for (int64_t k = std::max<int64_t>(first, 0); k <= last && out.size() < 10000; ++k) {
        const int64_t ms = k * stepMs;
        const double x = span.x(static_cast<double>(ms) / 1000.0 * sampleRate);
        out.push_back({ms, QRectF(x, 0, 1, 5), QPointF(x + 3, 0), timeMarkText(ms, step)});
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
