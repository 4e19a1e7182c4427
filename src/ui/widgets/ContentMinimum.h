// Keeps a window's minimum size at least what its content needs: the
// layout's minimum, and the height its rows take at that width when they
// wrap (height for width), never below a floor. A plain minimum size would
// let a window be made smaller than its rows, which are then drawn over
// one another; this one follows the content as rows appear and go, and a
// window smaller than a grown minimum grows with it. Main thread.
#pragma once

#include <QSize>

class QWidget;

namespace qm::widgets {

void keepMinimumForContent(QWidget& widget, QSize floor);

}  // namespace qm::widgets
