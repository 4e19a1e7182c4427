// A one-line label that shortens its text with an ellipsis to fit its width
// (at the head for paths, in the middle for file names, at the tail for
// messages) instead of growing the row, and shows the whole text as its
// tooltip when it had to shorten it. Shortened, it still keeps
// kLeastCharacters of its text (its minimum size), so that what is left
// can be read. Main thread.
#pragma once

#include <QWidget>

namespace qm::widgets {

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    static constexpr int kLeastCharacters = 8;

    explicit ElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }
    // What the label shows at its present width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateTip();

    Qt::TextElideMode mode_;
    QString text_;
};

}  // namespace qm::widgets
