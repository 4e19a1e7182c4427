#include "ui/widgets/BusyIndicator.h"

#include <QPainter>
#include <QTimerEvent>

#include "ui/widgets/Style.h"

namespace qm::widgets {

BusyIndicator::BusyIndicator(int diameter, QWidget* parent) : QWidget(parent) {
    setFixedSize(diameter, diameter);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BusyIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!timer_) timer_ = startTimer(80);
}

void BusyIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (timer_) killTimer(timer_);
    timer_ = 0;
}

void BusyIndicator::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_) return QWidget::timerEvent(event);
    step_ = (step_ + 1) % 12;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double r = width() / 2.0;
    p.translate(r, r);
    QPen pen(style::label(palette()));
    pen.setWidthF(std::max(1.5, r / 5));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < 12; ++i) {
        QColor c = style::label(palette());
        c.setAlphaF(static_cast<float>(0.15 + 0.85 * ((12 + i - step_) % 12) / 11.0));
        pen.setColor(c);
        p.setPen(pen);
        p.drawLine(QPointF(0, -r * 0.45), QPointF(0, -r * 0.85));
        p.rotate(30);
    }
}

}  // namespace qm::widgets
