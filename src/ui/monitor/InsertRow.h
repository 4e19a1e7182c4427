// One effect insert: its name, "Open" (its window), "Bypass" / "Bypassed"
// (read from the unit each time the row is drawn, so a bypass made in the
// plug-in's own window shows at the next redraw) and remove. Buttons are
// named "open", "bypass" and "remove". Main thread only.
#pragma once

#include <QWidget>

#include "app/monitor/MonitorEngine.h"

class QToolButton;

namespace qm {

class InsertRow : public QWidget {
    Q_OBJECT
public:
    InsertRow(MonitorEngine& monitor, MonitorEngine::Insert insert, QWidget* parent = nullptr);
    const Uuid& id() const { return insert_.id; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void showBypass();

    MonitorEngine& monitor_;
    MonitorEngine::Insert insert_;
    QToolButton* bypass_;
};

}  // namespace qm
