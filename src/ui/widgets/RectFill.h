// Fills many axis-aligned rectangles of one colour, as waveforms draw them:
// one thin column per pixel, thousands a picture.
//
// The raster paint engine turns every rectangle into one span per scanline,
// so a tall column one pixel wide costs hundreds of spans (about 3 us per
// column measured); painting into an image under a plain scale (the device
// pixel ratio), this writes the image's pixels directly instead. A pixel is
// covered when its centre lies inside the scaled rectangle, and a rectangle
// of any positive size covers at least one pixel each way, so hairlines
// never vanish. Translucent colours are blended (source over). Any other
// device or transform falls back to QPainter::drawRects.
//
// Thread: whichever owns the painter.
#pragma once

#include <QColor>
#include <QRectF>

#include <vector>

class QPainter;

namespace qm::widgets {

void fillRects(QPainter& painter, const QRectF* rects, int count, const QColor& colour);
inline void fillRects(QPainter& painter, const std::vector<QRectF>& rects, const QColor& colour) {
    fillRects(painter, rects.data(), static_cast<int>(rects.size()), colour);
}

}  // namespace qm::widgets
