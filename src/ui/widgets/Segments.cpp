#include "ui/widgets/Segments.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QToolButton>

namespace qm::widgets {

Segments::Segments(const QStringList& labels, QWidget* parent) : QWidget(parent), group_(new QButtonGroup(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_->setExclusive(true);
    for (int i = 0; i < labels.size(); ++i) {
        auto* b = new QToolButton(this);
        b->setText(labels[i]);
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setFocusPolicy(Qt::TabFocus);
        group_->addButton(b, i);
        row->addWidget(b);
        buttons_.push_back(b);
    }
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(group_, &QButtonGroup::idClicked, this, &Segments::chosen);
    connect(this, &QObject::objectNameChanged, this, &Segments::nameSegments);
}

int Segments::current() const { return group_->checkedId(); }

void Segments::setCurrent(int index) {
    if (index >= 0 && index < count()) {
        buttons_[static_cast<size_t>(index)]->setChecked(true);
        return;
    }
    // An exclusive group keeps one button pressed; lift it for a moment.
    group_->setExclusive(false);
    for (auto* b : buttons_) b->setChecked(false);
    group_->setExclusive(true);
}

void Segments::nameSegments() {
    for (int i = 0; i < count(); ++i)
        buttons_[static_cast<size_t>(i)]->setObjectName(objectName() + "." + QString::number(i));
}

}  // namespace qm::widgets
