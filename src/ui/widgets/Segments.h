// A row of exclusive choices drawn as joined buttons, the one pressed being
// the current choice (a segmented control). Showing a choice (setCurrent)
// never announces it; only a click by the user emits `chosen`, so a view
// can show a stored value without writing it back.
//
// Each segment is a checkable tool button named "<object name>.<index>"
// once the control is named with `named` (ui/widgets/Controls.h).
// Main thread only.
#pragma once

#include <QStringList>
#include <QWidget>

#include <vector>

class QButtonGroup;
class QToolButton;

namespace qm::widgets {

class Segments : public QWidget {
    Q_OBJECT
public:
    Segments(const QStringList& labels, QWidget* parent = nullptr);

    int count() const { return static_cast<int>(buttons_.size()); }
    QToolButton* segment(int index) const { return buttons_.at(static_cast<size_t>(index)); }
    // The pressed segment, or -1.
    int current() const;
    // Presses segment `index` (-1 or out of range: none) without emitting.
    void setCurrent(int index);

signals:
    // The user clicked segment `index` (also when it was already pressed).
    void chosen(int index);

private:
    void nameSegments();

    QButtonGroup* group_;
    std::vector<QToolButton*> buttons_;
};

}  // namespace qm::widgets
