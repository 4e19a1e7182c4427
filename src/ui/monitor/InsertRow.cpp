#include "ui/monitor/InsertRow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

#include "ui/widgets/Controls.h"

namespace qm {

InsertRow::InsertRow(MonitorEngine& monitor, MonitorEngine::Insert insert, QWidget* parent)
    : QWidget(parent), monitor_(monitor), insert_(std::move(insert)) {
    setObjectName("insertRow");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* name = widgets::named(new QLabel(insert_.name, this), "name");
    name->setWordWrap(false);
    row->addWidget(name);
    row->addStretch(1);
    const Uuid id = insert_.id;
    auto* open = widgets::named(new QToolButton(this), "open");
    open->setText(tr("Open"));
    connect(open, &QToolButton::clicked, this, [this, id] { monitor_.showUI(id); });
    row->addWidget(open);
    bypass_ = widgets::named(new QToolButton(this), "bypass");
    showBypass();
    connect(bypass_, &QToolButton::clicked, this, [this, id] { monitor_.toggleBypass(id); });
    row->addWidget(bypass_);
    auto* remove = widgets::named(
        widgets::symbolButton("minus.circle", tr("Remove"), widgets::ControlSize::regular, this), "remove");
    connect(remove, &QToolButton::clicked, this, [this, id] { monitor_.removeInsert(id); });
    row->addWidget(remove);
    // The engine announces a toggle through its list.
    connect(&monitor_, &MonitorEngine::insertsChanged, this, qOverload<>(&QWidget::update));
}

void InsertRow::showBypass() {
    const bool bypassed = insert_.unit && insert_.unit->bypassed();
    bypass_->setText(bypassed ? tr("Bypassed") : tr("Bypass"));
}

void InsertRow::paintEvent(QPaintEvent* e) {
    showBypass();
    QWidget::paintEvent(e);
}

}  // namespace qm
