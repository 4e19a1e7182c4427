#include "ui/widgets/RectFill.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace qm::widgets {

namespace {

// First and one-past-last pixel whose centre lies in [a, b), at least one.
std::pair<int, int> pixels(double a, double b, int limit) {
    int first = static_cast<int>(std::ceil(a - 0.5));
    int end = static_cast<int>(std::ceil(b - 0.5));
    if (end <= first && b > a) end = first + 1;
    return {std::clamp(first, 0, limit), std::clamp(end, 0, limit)};
}

bool drawDirectly(QPainter& painter, QImage*& image) {
    if (!painter.device() || painter.device()->devType() != QInternal::Image) return false;
    image = static_cast<QImage*>(painter.device());
    const QImage::Format f = image->format();
    if (f != QImage::Format_ARGB32_Premultiplied && f != QImage::Format_RGB32) return false;
    if (painter.compositionMode() != QPainter::CompositionMode_SourceOver) return false;
    if (painter.hasClipping()) return false;
    const QTransform t = painter.deviceTransform();
    return t.type() <= QTransform::TxScale && t.m11() > 0 && t.m22() > 0;
}

}  // namespace

void fillRects(QPainter& painter, const QRectF* rects, int count, const QColor& colour) {
    if (count <= 0 || colour.alpha() == 0) return;
    QImage* image = nullptr;
    if (!drawDirectly(painter, image)) {
        painter.save();
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.drawRects(rects, count);
        painter.restore();
        return;
    }
    const QTransform t = painter.deviceTransform();
    const int w = image->width();
    const int h = image->height();
    const QRgb src = colour.rgba64().premultiplied().toArgb32();
    const uint32_t alpha = qAlpha(src);
    const uint32_t keep = 255 - alpha;
    const qsizetype stride = image->bytesPerLine() / 4;
    auto* bits = reinterpret_cast<uint32_t*>(image->bits());
    for (int i = 0; i < count; ++i) {
        const QRectF& r = rects[i];
        if (!(r.width() > 0) || !(r.height() > 0)) continue;
        const auto [x0, x1] = pixels(r.left() * t.m11() + t.dx(), r.right() * t.m11() + t.dx(), w);
        const auto [y0, y1] = pixels(r.top() * t.m22() + t.dy(), r.bottom() * t.m22() + t.dy(), h);
        if (x0 >= x1) continue;
        for (int y = y0; y < y1; ++y) {
            uint32_t* line = bits + y * stride;
            if (alpha == 255) {
                std::fill(line + x0, line + x1, src);
                continue;
            }
            for (int x = x0; x < x1; ++x) {
                const uint32_t d = line[x];
                // Premultiplied source over: each channel d * (1 - a) + s.
                const uint32_t rb = ((d & 0xff00ff) * keep + 0x800080) >> 8 & 0xff00ff;
                const uint32_t ag = ((d >> 8 & 0xff00ff) * keep + 0x800080) & 0xff00ff00;
                line[x] = (rb | ag) + src;
            }
        }
    }
}

}  // namespace qm::widgets
