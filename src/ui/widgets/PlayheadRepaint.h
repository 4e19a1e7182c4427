// Repaints a playhead line that moved: the strip it was painted in and the
// strip it goes to, nothing else, so a running playhead never repaints the
// waveform under it.
//
// Thread: the GUI thread.
#pragma once

#include <QRect>
#include <QWidget>

namespace qm::widgets {

// `shown` is where the line was last painted (empty when hidden); it becomes `area`.
inline void movePlayhead(QWidget& view, QRect& shown, const QRect& area) {
    if (area == shown) return;
    if (!shown.isEmpty()) view.update(shown);
    if (!area.isEmpty()) view.update(area);
    shown = area;
}

}  // namespace qm::widgets
