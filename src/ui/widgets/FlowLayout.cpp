#include "ui/widgets/FlowLayout.h"

#include <QWidget>

#include <algorithm>

namespace qm::widgets {

FlowLayout::FlowLayout(QWidget* parent, int horizontalSpacing, int verticalSpacing)
    : QLayout(parent), hSpacing_(horizontalSpacing), vSpacing_(verticalSpacing) {}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) { items_.append(item); }

QLayoutItem* FlowLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_[index] : nullptr;
}

QLayoutItem* FlowLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) return nullptr;
    if (push_ > index) --push_;
    return items_.takeAt(index);
}

int FlowLayout::heightForWidth(int width) const { return arrange(QRect(0, 0, width, 0), false); }

QSize FlowLayout::sizeHint() const {
    // Everything on one line.
    int width = 0, height = 0, shown = 0;
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        const QSize s = item->sizeHint();
        width += s.width() + (shown++ ? hSpacing_ : 0);
        height = std::max(height, s.height());
    }
    const QMargins m = contentsMargins();
    return QSize(width + m.left() + m.right(), height + m.top() + m.bottom());
}

QSize FlowLayout::minimumSize() const {
    // The widest item alone on a line.
    QSize least;
    for (QLayoutItem* item : items_)
        if (!item->isEmpty()) least = least.expandedTo(item->sizeHint());
    const QMargins m = contentsMargins();
    return least + QSize(m.left() + m.right(), m.top() + m.bottom());
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
    const QMargins m = contentsMargins();
    const QRect area = rect.marginsRemoved(m);
    struct Placed {
        QLayoutItem* item;
        QSize size;
        int line;
        int x;
        bool pushed;
    };
    std::vector<Placed> placed;
    std::vector<int> lineHeights{0};
    int x = 0, line = 0;
    for (qsizetype i = 0; i < items_.size(); ++i) {
        QLayoutItem* item = items_[i];
        if (item->isEmpty()) continue;
        const QSize s = item->sizeHint();
        if (x > 0 && x + hSpacing_ + s.width() > area.width()) {
            ++line;
            lineHeights.push_back(0);
            x = 0;
        }
        if (x > 0) x += hSpacing_;
        placed.push_back({item, s, line, x, push_ >= 0 && i >= push_});
        x += s.width();
        lineHeights.back() = std::max(lineHeights.back(), s.height());
    }
    int height = 0;
    for (int h : lineHeights) height += h;
    height += vSpacing_ * static_cast<int>(lineHeights.size() - 1);
    if (apply) {
        // One line: the pushed items move to the right edge.
        const int shift = line == 0 ? std::max(area.width() - x, 0) : 0;
        std::vector<int> tops(lineHeights.size(), area.top());
        for (size_t l = 1; l < lineHeights.size(); ++l) tops[l] = tops[l - 1] + lineHeights[l - 1] + vSpacing_;
        for (const Placed& p : placed) {
            const int left = area.left() + p.x + (p.pushed ? shift : 0);
            const int top = tops[static_cast<size_t>(p.line)] + (lineHeights[static_cast<size_t>(p.line)] - p.size.height()) / 2;
            p.item->setGeometry(QRect(QPoint(left, top), p.size));
        }
    }
    return height + m.top() + m.bottom();
}

}  // namespace qm::widgets
