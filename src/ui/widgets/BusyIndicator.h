// The spinning progress indicator shown beside a busy text ("Loading…",
// "Analyzing…"): twelve spokes fading round a circle, turning while shown.
// Its size follows a control size (small: 16 px, mini: 12 px). Main thread.
#pragma once

#include <QWidget>

namespace qm::widgets {

class BusyIndicator : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(int diameter = 16, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    int timer_ = 0;
    int step_ = 0;
};

}  // namespace qm::widgets
