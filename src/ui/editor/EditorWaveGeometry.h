// Where everything of the editor's waveform goes: pure functions from the
// view's fields (frames, the visible range, the grid, pins, selection) to
// rectangles, points and label positions in logical pixels. The view fills
// what these return; the tests check them directly.
//
// The view is flipped (y grows downwards); its top 24 px are the ruler (the
// time and the pin flags along its top line, bar numbers along its bottom
// one) and the lanes share the rest. Frame f lies at
// x = (f - viewStart) * ppf with ppf = width / max(viewLength, 1) pixels per
// frame; a frame is in view when viewStart <= f <= viewStart + viewLength.
//
// Any thread (no Qt object is touched), though only the view calls them.
#pragma once

#include <QPolygonF>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "app/editor/EditorModel.h"

namespace qm::editorwave {

inline constexpr double kRuler = 24;

// The horizontal mapping of the view.
struct Span {
    double width = 0;
    int64_t viewStart = 0;
    int64_t viewLength = 1;

    double ppf() const { return width / static_cast<double>(std::max<int64_t>(viewLength, 1)); }
    double x(int64_t frame) const { return static_cast<double>(frame - viewStart) * ppf(); }
    double x(double frame) const { return (frame - static_cast<double>(viewStart)) * ppf(); }
    bool inView(int64_t frame) const { return frame >= viewStart && frame - viewStart <= viewLength; }
    // The frame under x: viewStart plus x / ppf cut towards zero, limited to
    // 0 ... frames. A view without width answers viewStart (so limited).
    int64_t frameAt(double x, int64_t frames) const;
};

// One lane's box: lanes share the height under the ruler equally.
struct Lane {
    double top = 0;
    double height = 0;
    double centre = 0;
    double amplitude = 0;  // 0.45 of the height: full scale fills 0.9 of it
};
Lane lane(double viewHeight, int lanes, int index);

// The smallest and largest value of n floats, starting from 0 both (so lo
// <= 0 <= hi); NaN values are passed over.
struct Extremes {
    float lo = 0;
    float hi = 0;
};
Extremes extremes(const float* samples, size_t n);
Extremes extremes(const float* mins, const float* maxs, size_t n);

// One column per logical pixel, for pixel columns 0 ... ceil(width) - 1,
// appended to `out`: (p, centre - A * hi, 1, max(A * (hi - lo), 0.75)) with
// hi and lo limited to +-1. Columns come from the peak rows (one min and max
// per 256 frames) when given and the view shows 256 frames a pixel or more,
// else from the samples; the lane ends where its samples end.
void laneColumns(const std::vector<float>& samples, const std::vector<float>* mins,
                 const std::vector<float>* maxs, const Span& span, const Lane& lane, std::vector<QRectF>& out);

// The tint of a region lo ..< hi under the ruler, when any of it shows.
std::optional<QRectF> regionTint(int64_t lo, int64_t hi, const Span& span, double height);
// Beat lines 0.5 px wide, only when the first two beats lie 6 px apart or more.
std::vector<QRectF> beatLines(const std::vector<int64_t>& beats, const Span& span, double height);
// Bar lines 1 px wide, always.
std::vector<QRectF> barLines(const std::vector<int64_t>& downbeats, const Span& span, double height);

// Bar numbers: every step-th downbeat (step = ceil(28 / bar width), at least
// 1; a bar is 100 px wide with fewer than two downbeats) that is in view.
int barNumberStep(const std::vector<int64_t>& downbeats, const Span& span);
struct BarNumber {
    int number = 0;     // from 1
    QRectF tick;        // (x, rh - 7, 1, 7)
    QPointF textTopLeft;  // (x + 2, rh - 13)
};
std::vector<BarNumber> barNumbers(const std::vector<int64_t>& downbeats, const Span& span, double rulerHeight);

std::optional<QRectF> loopBar(const std::optional<FrameRange>& loop, const Span& span, double rulerHeight);

// Where a pin's label goes, given the flag's x and the label's width: left
// of the flag for the intro, right of it for the others; left when that
// would run past width - 2, then right when it would start below 2.
double flagLabelX(PinKind kind, double x, double textWidth, double width);
QColor pinColour(PinKind kind);
QString pinLabel(PinKind kind);  // "INTRO", "LOOP", "ENDING"
struct Flag {
    PinKind kind;
    double x = 0;
    QPolygonF triangle;  // (x - 5, 0), (x + 5, 0), (x, 8)
    QPointF labelTopLeft;
    QRectF label;        // the label's box
    bool stacked = false;  // moved down a line: neither side was free
};
// The labels' line height, and where a stacked label goes.
inline constexpr double kFlagLabelHeight = 10;
inline constexpr double kStackedLabelTop = 12;
// Flags of the pins whose x lies strictly within -40 ... width + 40, in the
// map's order; `textWidth` measures a label. Labels that would meet another
// label or flag take the other side of their flag (within the view), and
// when neither side is free the later one goes a line down.
std::vector<Flag> flags(const std::map<PinKind, int64_t>& pins, const Span& span,
                        const std::function<double(const QString&)>& textWidth);

// The time along the top line of the ruler, at every zoom: a tick and the
// time at every multiple of the step (1, 2 or 5 times a power of ten of
// seconds, or 15 s, 30 s and whole minutes) that keeps labels `gap` pixels
// apart, written with as many decimals as the step needs ("1:05", "0:04.5",
// "0:00.250"). Nothing without a sample rate.
struct TimeMark {
    int64_t millis = 0;
    QRectF tick;          // (x, 0, 1, 5)
    QPointF textTopLeft;  // (x + 3, 0)
    QString text;
};
double timeStep(double pixelsPerSecond, double gap);
QString timeMarkText(int64_t millis, double step);
std::vector<TimeMark> timeMarks(const Span& span, double sampleRate, double gap);

// The pin whose flag is nearest to x and less than 9 px away.
std::optional<PinKind> flagAt(double x, const std::map<PinKind, int64_t>& pins, const Span& span);

std::optional<QRectF> selectionRect(const std::optional<FrameRange>& selection, const Span& span, double height);
QRectF cursorRect(int64_t cursor, const Span& span, double height);
// The playhead line over the whole height, or none while stopped or when it
// lies outside 0 ... width.
std::optional<QRectF> playheadRect(double playhead, bool show, const Span& span, double height);

}  // namespace qm::editorwave
