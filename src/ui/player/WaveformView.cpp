#include "ui/player/WaveformView.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPaintEvent>
#include <QPixmap>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "ui/widgets/FileDrag.h"
#include "ui/widgets/PlayheadRepaint.h"
#include "ui/widgets/RectFill.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace {

// Text whose box starts at `at` (the baseline form is the cheap one).
void drawTopLeft(QPainter& p, const QPointF& at, const QString& text) {
    p.drawText(QPointF(at.x(), at.y() + QFontMetricsF(p.font()).ascent()), text);
}

QColor white(double alpha) { return QColor::fromRgbF(1, 1, 1, static_cast<float>(alpha)); }

// The buckets that hold data: the loaded ones that every lane has.
int64_t usableBuckets(const WaveformData& data) {
    int64_t n = std::min(data.loadedBuckets, data.bucketCount);
    const size_t lanes = static_cast<size_t>(std::max(data.channels, 0));
    for (size_t k = 0; k < lanes && k < data.mins.size() && k < data.maxs.size(); ++k)
        n = std::min({n, static_cast<int64_t>(data.mins[k].size()), static_cast<int64_t>(data.maxs[k].size())});
    return std::max<int64_t>(n, 0);
}

}  // namespace

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

// --- Fields ---

void WaveformView::redraw() {
    dirty_ = true;
    update();
}

void WaveformView::setStyle(Style style) {
    if (style == style_) return;
    style_ = style;
    redraw();
    updatePlayhead();
}

void WaveformView::setData(std::shared_ptr<const WaveformData> data) {
    if (data == data_) return;
    data_ = std::move(data);
    redraw();
}

void WaveformView::setTotalFrames(int64_t frames) {
    if (frames == totalFrames_) return;
    totalFrames_ = frames;
    redraw();
    updatePlayhead();
}

void WaveformView::setLaneLabels(std::vector<QString> labels) {
    if (labels == laneLabels_) return;
    laneLabels_ = std::move(labels);
    redraw();
}

void WaveformView::setSelection(const std::optional<FrameRange>& selection) {
    if (selection == selection_) return;
    selection_ = selection;
    redraw();
}

void WaveformView::setPlayhead(double frame) {
    if (frame == playhead_) return;
    playhead_ = frame;
    updatePlayhead();
}

void WaveformView::setCornerRadius(double radius) {
    if (radius == cornerRadius_) return;
    cornerRadius_ = radius;
    update();
}

// --- Geometry ---

int64_t WaveformView::frameAt(double x) const {
    const double w = width();
    if (totalFrames_ < 1 || !(w > 0)) return 0;
    const double clamped = std::clamp(x, 0.0, w);
    // Multiplied first: a whole or half point lands on its exact frame.
    return static_cast<int64_t>(clamped * static_cast<double>(totalFrames_) / w);
}

std::optional<QRectF> WaveformView::playheadRect(double w, double h) const {
    if (totalFrames_ < 1) return std::nullopt;
    const double x = std::round(playhead_ / static_cast<double>(totalFrames_) * w);
    return QRectF(x - 0.5, 0, 1.5, h);
}

std::optional<QRectF> WaveformView::playheadRect() const { return playheadRect(width(), height()); }

QRect WaveformView::playheadArea() const {
    const auto rect = playheadRect();
    if (!rect) return {};
    // The line's pixels and one more each side for its half-pixel edges.
    return rect->toAlignedRect().adjusted(-1, 0, 1, 0);
}

void WaveformView::updatePlayhead() { widgets::movePlayhead(*this, shownPlayhead_, playheadArea()); }

// --- Gain ---

double WaveformView::displayGain(const WaveformData& data) {
    const int64_t loaded = usableBuckets(data);
    float peak = 0;
    const size_t lanes = std::min({static_cast<size_t>(std::max(data.channels, 0)), data.mins.size(), data.maxs.size()});
    for (size_t k = 0; k < lanes; ++k) {
        const float* mins = data.mins[k].data();
        const float* maxs = data.maxs[k].data();
        for (int64_t i = 0; i < loaded; ++i) {
            // NaN and infinities (a damaged float file) say nothing of the level.
            const float a = std::abs(mins[i]), b = std::abs(maxs[i]);
            if (std::isfinite(a)) peak = std::max(peak, a);
            if (std::isfinite(b)) peak = std::max(peak, b);
        }
    }
    if (peak > 0.000001f) return std::min(0.95 / static_cast<double>(peak), kMaxGain);
    return 1;
}

QString WaveformView::gainNote(double gain) {
    if (!(gain > kNotedGain)) return {};
    return QString::fromStdString(fmt::format("view +{:.0f} dB", 20 * std::log10(gain)));
}

// --- Drawing ---

void WaveformView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    dirty_ = true;
    updatePlayhead();
}

void WaveformView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        redraw();
        updatePlayhead();
    }
}

void WaveformView::paintEvent(QPaintEvent* event) {
    const double dpr = devicePixelRatioF();
    const QSize pixels(static_cast<int>(std::ceil(width() * dpr)), static_cast<int>(std::ceil(height() * dpr)));
    if (pixels.isEmpty()) return;
    if (dirty_ || cache_.size() != pixels || cache_.devicePixelRatio() != dpr) {
        if (cache_.size() != pixels) cache_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        cache_.setDevicePixelRatio(dpr);
        cache_.fill(Qt::transparent);
        QPainter p(&cache_);
        renderContent(p, width(), height());
        dirty_ = false;
        ++renderCount_;
    }
    QPainter p(this);
    p.setClipRegion(event->region());
    if (cornerRadius_ > 0) {
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
        p.setClipPath(clip, Qt::IntersectClip);
        p.setRenderHint(QPainter::Antialiasing, true);
    }
    p.drawImage(QPointF(0, 0), cache_);
    p.setRenderHint(QPainter::Antialiasing, false);
    drawPlayhead(p, width(), height());
}

void WaveformView::renderTo(QImage& target) const {
    QPainter p(&target);
    const double w = target.width() / target.devicePixelRatio();
    const double h = target.height() / target.devicePixelRatio();
    renderContent(p, w, h);
    drawPlayhead(p, w, h);
}

void WaveformView::drawPlayhead(QPainter& p, double w, double h) const {
    const auto line = playheadRect(w, h);
    if (!line) return;
    const QColor colour = style_ == Style::hud ? white(1) : style::label(palette());
    p.fillRect(*line, style::withAlpha(colour, 0.85));
}

void WaveformView::renderContent(QPainter& p, double w, double h) const {
    const QPalette& pal = palette();
    const bool hud = style_ == Style::hud;
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(QRectF(0, 0, w, h), hud ? white(0.05) : style::textBackground(pal));

    if (selection_ && totalFrames_ >= 1) {
        const double total = static_cast<double>(totalFrames_);
        const double x0 = static_cast<double>(selection_->lower) / total * w;
        const double x1 = static_cast<double>(selection_->upper) / total * w;
        p.fillRect(QRectF(x0, 0, std::max(x1 - x0, 1.0), h), style::withAlpha(style::accent(pal), hud ? 0.35 : 0.22));
    }

    if (!data_ || data_->bucketCount < 1 || data_->channels < 1) return;
    const WaveformData& d = *data_;
    const QColor wave = hud ? QColor::fromRgbF(0.42f, 0.86f, 0.76f, 1.f) : style::accent(pal);
    const QColor separator = hud ? white(0.08) : style::separator(pal);
    const QColor text = hud ? white(1) : style::secondaryLabel(pal);

    const int columns = std::max(1, static_cast<int>(std::ceil(w)));
    const int channels = d.channels;
    const double laneHeight = h / channels;
    const double perColumn = static_cast<double>(d.bucketCount) / columns;
    const int64_t loaded = usableBuckets(d);
    const double gain = displayGain(d);

    std::vector<QRectF> rects;
    rects.reserve(static_cast<size_t>(columns));
    for (int k = 0; k < channels; ++k) {
        const double y0 = laneHeight * k;
        const double yc = y0 + laneHeight * 0.5;
        const double amplitude = laneHeight * 0.46;
        if (k >= 1) p.fillRect(QRectF(0, y0, w, 0.5), separator);
        const bool hasPeaks = static_cast<size_t>(k) < d.mins.size() && static_cast<size_t>(k) < d.maxs.size();
        rects.clear();
        if (hasPeaks) {
            const float* mins = d.mins[static_cast<size_t>(k)].data();
            const float* maxs = d.maxs[static_cast<size_t>(k)].data();
            for (int c = 0; c < columns; ++c) {
                const int64_t i0 = static_cast<int64_t>(perColumn * c);
                int64_t i1 = static_cast<int64_t>(perColumn * (c + 1));
                if (i1 <= i0) i1 = i0 + 1;
                // The unloaded tail stays blank.
                if (i0 >= loaded) break;
                const int64_t end = std::min(i1, loaded);
                float lo = 0, hi = 0;
                for (int64_t i = i0; i < end; ++i) {
                    // A non-finite peak draws as silence.
                    if (std::isfinite(mins[i])) lo = std::min(lo, mins[i]);
                    if (std::isfinite(maxs[i])) hi = std::max(hi, maxs[i]);
                }
                const double top = yc - amplitude * std::min(gain * hi, 1.0);
                const double bottom = yc - amplitude * std::max(gain * lo, -1.0);
                rects.emplace_back(c, top, 1, std::max(bottom - top, 0.75));
            }
        }
        widgets::fillRects(p, rects, wave);
        if (channels > 1 && static_cast<size_t>(k) < laneLabels_.size() && laneHeight >= 9) {
            p.setFont(style::font(std::min(laneHeight * 0.7, 9.0), QFont::Medium, true));
            p.setPen(style::withAlpha(text, 0.6));
            drawTopLeft(p, QPointF(3, y0 + 1), laneLabels_[static_cast<size_t>(k)]);
        }
    }

    const QString note = gainNote(gain);
    if (!note.isEmpty()) {
        const QFont font = style::font(9, QFont::Medium, true);
        p.setFont(font);
        p.setPen(style::withAlpha(text, 0.55));
        drawTopLeft(p, QPointF(w - QFontMetricsF(font).horizontalAdvance(note) - 4, 1), note);
    }

    if (d.loadedBuckets < d.bucketCount) {
        const double x = w * static_cast<double>(std::max<int64_t>(d.loadedBuckets, 0)) /
                         static_cast<double>(d.bucketCount);
        p.fillRect(QRectF(x, h * 0.5 - 0.5, w - x, 1), separator);
    }
}

// --- Gestures ---

void WaveformView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton) return;
    const QPointF p = event->position();
    const int64_t f = frameAt(p.x());
    const bool inSelection = selection_ && selection_->lower <= f && f < selection_->upper;
    const bool whole = event->modifiers().testFlag(Qt::ControlModifier);
    gesture_ = Pending{p, inSelection, whole};
}

void WaveformView::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click is a press like any other.
    mousePressEvent(event);
}

void WaveformView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (!(event->buttons() & Qt::LeftButton)) return;
    const QPointF q = event->position();
    auto select = [this](int64_t anchor, int64_t f) {
        setSelection(FrameRange{std::min(f, anchor), std::max(f, anchor)});
    };
    if (auto* selecting = std::get_if<Selecting>(&gesture_)) {
        select(selecting->anchor, frameAt(q.x()));
    } else if (auto* pending = std::get_if<Pending>(&gesture_)) {
        if (std::abs(q.x() - pending->start.x()) <= kClickSlop && std::abs(q.y() - pending->start.y()) <= kClickSlop)
            return;
        if (pending->inSelection || pending->whole) {
            const bool selectionOnly = !pending->whole;
            const QPointF start = pending->start;
            gesture_ = Dragging{};
            exportDrag(selectionOnly, start);
        } else {
            const int64_t anchor = frameAt(pending->start.x());
            gesture_ = Selecting{anchor};
            select(anchor, frameAt(q.x()));
        }
    }
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton) return;
    const Gesture ended = gesture_;
    gesture_ = Idle{};
    if (std::holds_alternative<Selecting>(ended)) {
        if (onSelect) onSelect(selection_);
    } else if (std::holds_alternative<Pending>(ended)) {
        if (onSeek) onSeek(frameAt(event->position().x()));
    }
}

void WaveformView::exportDrag(bool selectionOnly, QPointF start) {
    const auto file = exportForDrag ? exportForDrag(selectionOnly) : std::nullopt;
    if (!file) {
        gesture_ = Idle{};
        return;
    }
    QRectF frame(rect());
    if (selectionOnly && selection_) {
        const double total = static_cast<double>(totalFrames_);
        const double w = width();
        const double x0 = totalFrames_ >= 1 ? static_cast<double>(selection_->lower) / total * w : 0;
        const double x1 = totalFrames_ >= 1 ? static_cast<double>(selection_->upper) / total * w : 0;
        frame = QRectF(x0, 0, std::max(x1 - x0, kMinDragWidth), height());
    }
    // The strip's own drawing inside the frame, at the frame's size.
    const QRect area = frame.toAlignedRect();
    const double dpr = devicePixelRatioF();
    QPixmap image(area.size() * dpr);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    if (!image.isNull()) render(&image, QPoint(), QRegion(area));
    const QPoint hotSpot = start.toPoint() - area.topLeft();
    widgets::startFileDrag({this, {widgets::fileUrl(*file)}, image, hotSpot});
}

}  // namespace qm
