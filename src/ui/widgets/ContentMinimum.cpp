#include "ui/widgets/ContentMinimum.h"

#include <QEvent>
#include <QLayout>
#include <QWidget>

#include <algorithm>

namespace qm::widgets {

namespace {

class ContentMinimum : public QObject {
public:
    ContentMinimum(QWidget& widget, QSize floor) : QObject(&widget), widget_(widget), floor_(floor) {
        widget.installEventFilter(this);
        update();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &widget_ && (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Show))
            update();
        return QObject::eventFilter(watched, event);
    }

private:
    void update() {
        QSize least = floor_;
        if (QLayout* layout = widget_.layout()) {
            least = least.expandedTo(layout->totalMinimumSize());
            if (layout->hasHeightForWidth())
                least.setHeight(std::max(least.height(), layout->totalHeightForWidth(least.width())));
        }
        if (widget_.minimumSize() != least) widget_.setMinimumSize(least);
    }

    QWidget& widget_;
    QSize floor_;
};

}  // namespace

void keepMinimumForContent(QWidget& widget, QSize floor) { new ContentMinimum(widget, floor); }

}  // namespace qm::widgets
