#include "ui/widgets/ElidedLabel.h"

#include <QPainter>

#include <algorithm>

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
    // The text shortened to its least, as the mode shortens it.
    const QFontMetrics m = fontMetrics();
    int least = m.horizontalAdvance(text_);
    if (text_.size() > kLeastCharacters) {
        const QString ellipsis = QStringLiteral("\u2026");
        const int head = kLeastCharacters / 2;
        const QString shortest = mode_ == Qt::ElideLeft ? ellipsis + text_.right(kLeastCharacters)
                                 : mode_ == Qt::ElideMiddle
                                     ? text_.left(head) + ellipsis + text_.right(kLeastCharacters - head)
                                     : text_.left(kLeastCharacters) + ellipsis;
        least = std::min(least, m.horizontalAdvance(shortest));
    }
    // A pixel for the rounding of the text's advance.
    return QSize(least + 1, m.height());
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
