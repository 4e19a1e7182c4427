#include "ui/widgets/ElidedLabel.h"

#include <QPainter>

namespace qm::widgets {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QWidget(parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    updateTip();
    update();
}

QString ElidedLabel::shownText() const { return fontMetrics().elidedText(text_, mode_, width()); }

QSize ElidedLabel::sizeHint() const {
    return QSize(fontMetrics().horizontalAdvance(text_) + 1, fontMetrics().height());
}

QSize ElidedLabel::minimumSizeHint() const {
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("\u2026")) * 3, fontMetrics().height());
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateTip();
}

void ElidedLabel::updateTip() { setToolTip(shownText() != text_ ? text_ : QString()); }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shownText());
}

}  // namespace qm::widgets
