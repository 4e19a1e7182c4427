#include "ui/widgets/Chip.h"

#include <QPainter>

#include "ui/widgets/Style.h"

namespace qm::widgets {

Chip::Chip(const QString& text, const QColor& colour, QWidget* parent) : QWidget(parent), text_(text), colour_(colour) {
    setFont(style::font(10, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize Chip::sizeHint() const {
    const QFontMetrics m(font());
    return QSize(m.horizontalAdvance(text_) + 12, m.height() + 4);
}

void Chip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(style::withAlpha(colour_, 0.15));
    const QRectF r = QRectF(rect());
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(colour_);
    p.drawText(rect().adjusted(6, 2, -6, -2), Qt::AlignCenter | Qt::TextSingleLine, text_);
}

}  // namespace qm::widgets
