#include "ui/widgets/MessageLine.h"

#include <QEvent>

#include "ui/widgets/Style.h"

namespace qm::widgets {

MessageLine::MessageLine(QWidget* parent) : QLabel(parent) {
    setWordWrap(true);
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFont(style::readingFont());
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    applyColour();
    hide();
}

void MessageLine::setMessage(const std::optional<QString>& text) {
    const bool shown = text && !text->isEmpty();
    if (shown && this->text() != *text) setText(*text);
    if (isHidden() == shown) setVisible(shown);
}

void MessageLine::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    // The colour follows the window's background (a theme switched to dark).
    if (event->type() == QEvent::ParentChange) applyColour();
}

void MessageLine::applyColour() {
    const QColor colour = style::warning(parentWidget() ? parentWidget()->palette() : style::appPalette());
    if (palette().color(QPalette::WindowText) != colour) style::setTextColour(this, colour);
}

}  // namespace qm::widgets
