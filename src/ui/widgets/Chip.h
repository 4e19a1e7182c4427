// A small capsule label: text in a colour on a capsule of the same colour
// at 0.15 opacity (caption text, medium weight, 6 px padding left and
// right, 2 px top and bottom). The temp-edit panel's pin chips use it; any
// view may show a tag this way. Main thread.
#pragma once

#include <QColor>
#include <QWidget>

namespace qm::widgets {

class Chip : public QWidget {
    Q_OBJECT

public:
    Chip(const QString& text, const QColor& colour, QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    const QColor& colour() const { return colour_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor colour_;
};

}  // namespace qm::widgets
