#include "ui/editor/EditorWaveView.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "ui/editor/EditorWaveGeometry.h"
#include "ui/widgets/PlayheadRepaint.h"
#include "ui/widgets/RectFill.h"
#include "ui/widgets/Style.h"

namespace qm {

using namespace editorwave;

namespace {

// Text whose box starts at `at`. The baseline form of drawText is the
// cheap one (no layout per call): rulers draw dozens of numbers.
void drawTopLeft(QPainter& p, const QPointF& at, const QString& text) {
    p.drawText(QPointF(at.x(), at.y() + QFontMetricsF(p.font()).ascent()), text);
}

}  // namespace

EditorWaveView::EditorWaveView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::ClickFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_AcceptTouchEvents);
}

void EditorWaveView::redraw() {
    dirty_ = true;
    update();
}

QRect EditorWaveView::playheadArea() const {
    const Span span{static_cast<double>(width()), viewStart, viewLength};
    const auto rect = playheadRect(playhead, showPlayhead, span, height());
    if (!rect) return {};
    // The line's own pixels and one more on each side for the rounding of
    // its half-pixel edges.
    return rect->toAlignedRect().adjusted(-1, 0, 1, 0);
}

void EditorWaveView::updatePlayhead() { widgets::movePlayhead(*this, shownPlayhead_, playheadArea()); }

void EditorWaveView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    dirty_ = true;
    updatePlayhead();
}

void EditorWaveView::paintEvent(QPaintEvent* event) {
    const double dpr = devicePixelRatioF();
    const QSize pixels(static_cast<int>(std::ceil(width() * dpr)), static_cast<int>(std::ceil(height() * dpr)));
    if (pixels.isEmpty()) return;
    if (dirty_ || cache_.size() != pixels || cache_.devicePixelRatio() != dpr) {
        if (cache_.size() != pixels) cache_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        cache_.setDevicePixelRatio(dpr);
        QPainter p(&cache_);
        render(p, width(), height());
        dirty_ = false;
        ++renderCount_;
    }
    QPainter p(this);
    p.setClipRegion(event->region());
    p.drawImage(QPointF(0, 0), cache_);
    const Span span{static_cast<double>(width()), viewStart, viewLength};
    if (auto line = playheadRect(playhead, showPlayhead, span, height())) p.fillRect(*line, style::playheadColor());
}

void EditorWaveView::renderTo(QImage& target) {
    QPainter p(&target);
    const double w = target.width() / target.devicePixelRatio();
    const double h = target.height() / target.devicePixelRatio();
    render(p, w, h);
    const Span span{w, viewStart, viewLength};
    if (auto line = playheadRect(playhead, showPlayhead, span, h)) p.fillRect(*line, style::playheadColor());
}

void EditorWaveView::render(QPainter& p, double w, double h) const {
    const QPalette& pal = palette();
    p.setRenderHint(QPainter::Antialiasing, false);
    if (frames < 1 || !channels || channels->empty()) {
        p.fillRect(QRectF(0, 0, w, h), style::textBackground(pal));
        return;
    }
    const Span span{w, viewStart, viewLength};

    // The background with the section tints over it, filled once per strip
    // in the colour the tints make together (the ruler covers the top).
    struct Tint {
        std::optional<QRectF> rect;
        QColor colour;
    };
    const Tint tints[] = {
        {introEnd ? regionTint(0, *introEnd, span, h) : std::nullopt, style::withAlpha(style::introColor(), 0.07)},
        {loopRange ? regionTint(loopRange->lower, loopRange->upper, span, h) : std::nullopt,
         style::withAlpha(style::loopColor(), 0.06)},
        {endingStart ? regionTint(*endingStart, frames, span, h) : std::nullopt,
         style::withAlpha(style::endingColor(), 0.07)},
    };
    std::vector<double> edges{0, w};
    for (const Tint& t : tints)
        if (t.rect) edges.insert(edges.end(), {t.rect->left(), t.rect->right()});
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        const double mid = (edges[i] + edges[i + 1]) / 2;
        QColor c = style::textBackground(pal);
        for (const Tint& t : tints)
            if (t.rect && t.rect->left() <= mid && mid < t.rect->right()) c = style::over(t.colour, c);
        p.fillRect(QRectF(edges[i], kRuler, edges[i + 1] - edges[i], h - kRuler), c);
    }

    widgets::fillRects(p, beatLines(beats, span, h), style::withAlpha(style::separator(pal), 0.35));
    widgets::fillRects(p, barLines(downbeats, span, h), style::separator(pal));

    const int n = static_cast<int>(channels->size());
    std::vector<QRectF> columns;
    p.setFont(style::font(9, QFont::Medium, true));
    for (int i = 0; i < n; ++i) {
        const Lane box = lane(h, n, i);
        if (i > 0) p.fillRect(QRectF(0, box.top, w, 0.5), style::separator(pal));
        const bool cached = peaks && static_cast<size_t>(i) < peaks->mins.size() &&
                            static_cast<size_t>(i) < peaks->maxs.size();
        columns.clear();
        laneColumns((*channels)[static_cast<size_t>(i)], cached ? &peaks->mins[static_cast<size_t>(i)] : nullptr,
                    cached ? &peaks->maxs[static_cast<size_t>(i)] : nullptr, span, box, columns);
        widgets::fillRects(p, columns, muted.count(i) ? style::tertiaryLabel(pal) : style::accent(pal));
        if (n >= 2 && static_cast<size_t>(i) < laneLabels.size()) {
            p.setPen(style::secondaryLabel(pal));
            drawTopLeft(p, QPointF(4, box.top + 2), laneLabels[static_cast<size_t>(i)]);
        }
    }

    if (auto r = selectionRect(liveSelection_ ? liveSelection_ : selection, span, h))
        p.fillRect(*r, style::withAlpha(style::accent(pal), 0.22));
    p.fillRect(cursorRect(cursor, span, h), style::withAlpha(style::label(pal), 0.8));
    drawRuler(p, w, kRuler);
}

void EditorWaveView::drawRuler(QPainter& p, double w, double rh) const {
    const QPalette& pal = palette();
    const Span span{w, viewStart, viewLength};
    p.fillRect(QRectF(0, 0, w, rh), style::windowBackground(pal));
    p.fillRect(QRectF(0, rh - 0.5, w, 0.5), style::separator(pal));

    // The flags first, since the times and bar numbers give way to them.
    const QFont labelFont = style::font(8, QFont::Bold);
    const QFontMetricsF labelMetrics(labelFont);
    const std::vector<Flag> shownFlags =
        flags(pins, span, [&](const QString& t) { return labelMetrics.horizontalAdvance(t); });
    auto underFlag = [&](const QRectF& r) {
        for (const Flag& f : shownFlags)
            if (f.label.intersects(r) || QRectF(f.x - 5, 0, 10, 8).intersects(r)) return true;
        return false;
    };

    const QFont numbers = style::font(9);
    const QFontMetricsF numberMetrics(numbers);
    p.setFont(numbers);
    const double gap = numberMetrics.horizontalAdvance(QStringLiteral("00:00.000")) + 12;
    for (const TimeMark& t : timeMarks(span, sampleRate, gap)) {
        const QRectF text(t.textTopLeft, QSizeF(numberMetrics.horizontalAdvance(t.text), numberMetrics.height()));
        if (underFlag(text) || underFlag(t.tick)) continue;
        p.fillRect(t.tick, style::tertiaryLabel(pal));
        p.setPen(style::secondaryLabel(pal));
        drawTopLeft(p, t.textTopLeft, t.text);
    }
    for (const BarNumber& b : barNumbers(downbeats, span, rh)) {
        const QString text = QString::number(b.number);
        if (underFlag(QRectF(b.textTopLeft, QSizeF(numberMetrics.horizontalAdvance(text), numberMetrics.height()))))
            continue;
        p.fillRect(b.tick, style::tertiaryLabel(pal));
        p.setPen(style::secondaryLabel(pal));
        drawTopLeft(p, b.textTopLeft, text);
    }
    if (auto bar = loopBar(loopRange, span, rh)) p.fillRect(*bar, style::loopColor());

    p.setFont(labelFont);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (const Flag& f : shownFlags) {
        const QColor colour = pinColour(f.kind);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPolygon(f.triangle);
        p.setPen(colour);
        drawTopLeft(p, f.labelTopLeft, pinLabel(f.kind));
    }
    p.setRenderHint(QPainter::Antialiasing, false);
}

// --- Gestures ---

int64_t EditorWaveView::frameAt(double x) const {
    return Span{static_cast<double>(width()), viewStart, viewLength}.frameAt(x, frames);
}

int64_t EditorWaveView::snapped(int64_t frame) const {
    return snap ? snap(frame, Span{static_cast<double>(width()), viewStart, viewLength}.ppf()) : frame;
}

void EditorWaveView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    const QPointF p = event->position();
    const Span span{static_cast<double>(width()), viewStart, viewLength};
    std::optional<PinKind> grabbed;
    if (p.y() < kRuler) grabbed = flagAt(p.x(), pins, span);
    if (grabbed)
        gesture_ = DraggingPin{*grabbed};
    else
        gesture_ = Pending{p};
}

void EditorWaveView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(event);
    setFocus(Qt::MouseFocusReason);
    if (onDoubleClick) onDoubleClick(frameAt(event->position().x()));
    gesture_ = Idle{};
}

void EditorWaveView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
    dragTo(event->position().x());
}

void EditorWaveView::dragTo(double x) {
    if (auto* pending = std::get_if<Pending>(&gesture_)) {
        // Vertical movement never turns a click into a selection.
        if (std::abs(x - pending->start.x()) <= 3) return;
        gesture_ = Selecting{snapped(frameAt(pending->start.x()))};
    }
    if (auto* selecting = std::get_if<Selecting>(&gesture_)) {
        const int64_t f = snapped(frameAt(x));
        liveSelection_ = FrameRange{std::min(f, selecting->anchor), std::max(f, selecting->anchor)};
        redraw();
    } else if (auto* pin = std::get_if<DraggingPin>(&gesture_)) {
        if (onPin) onPin(pin->kind, frameAt(x));
    }
}

void EditorWaveView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    if (std::holds_alternative<Selecting>(gesture_)) {
        const auto live = liveSelection_;
        liveSelection_.reset();
        // The model's selection may stay as it was (a tiny drag without one):
        // the live selection must not linger on screen.
        redraw();
        if (onSelect) onSelect(live && live->length() > 16 ? live : std::nullopt);
    } else if (std::holds_alternative<Pending>(gesture_)) {
        if (onSelect) onSelect(std::nullopt);
        if (onCursor) onCursor(frameAt(event->position().x()));
    }
    gesture_ = Idle{};
}

void EditorWaveView::wheelEvent(QWheelEvent* event) {
    event->accept();
    // Units of delta: a pixel delta counts one a pixel; a wheel notch as
    // many as the desktop scrolls lines for it.
    QPointF delta;
    if (!event->pixelDelta().isNull())
        delta = QPointF(event->pixelDelta());
    else
        delta = QPointF(event->angleDelta()) / 120.0 * QApplication::wheelScrollLines();
    const double x = event->position().x();
    const double w = width();
    if (event->modifiers() & Qt::ControlModifier) {
        // A wheel's notch zooms by a quarter, as waveform editors do; a
        // touchpad's pixels by 1 % each.
        const double factor = event->pixelDelta().isNull() ? std::pow(kZoomPerNotch, event->angleDelta().y() / 120.0)
                                                           : std::pow(1.01, delta.y());
        if (onZoom) onZoom(factor, frameAt(x), x / std::max(w, 1.0));
        return;
    }
    const double d = std::abs(delta.y()) >= std::abs(delta.x()) ? delta.y() : delta.x();
    const double ppf = Span{w, viewStart, viewLength}.ppf();
    if (!onScroll || !(ppf > 0)) return;
    // Close in, one event asks for less than a frame: what is cut off is
    // carried to the next event, so that small deltas still add up.
    if (viewLength != scrollCarryLength_) scrollCarry_ = 0;
    scrollCarryLength_ = viewLength;
    scrollCarry_ += d * -4.0 / ppf;
    const double whole = std::trunc(scrollCarry_);
    scrollCarry_ -= whole;
    if (whole != 0) onScroll(static_cast<int64_t>(whole));
}

bool EditorWaveView::event(QEvent* event) {
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture && onZoom) {
            const double x = gesture->position().x();
            onZoom(gesture->value() + 1, frameAt(x), x / std::max<double>(width(), 1.0));
        }
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

}  // namespace qm
