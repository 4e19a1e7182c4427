#include "ui/library/PermissionBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/shell/AppActions.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

PermissionBanner::PermissionBanner(AppActions& actions, QWidget* parent) : QWidget(parent), actions_(actions) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    accessibility_ = banner(QString::fromUtf8(kAccessibilityMessage), QString::fromUtf8(kAccessibilityButton),
                            [this] { actions_.requestAccessibility(); }, this);
    automation_ = banner(QString::fromUtf8(kAutomationMessage), QString::fromUtf8(kAutomationButton),
                         [this] { actions_.openAutomationSettings(); }, this);
    accessibility_->setObjectName(QStringLiteral("accessibilityBanner"));
    automation_->setObjectName(QStringLiteral("automationBanner"));
    layout->addWidget(accessibility_);
    layout->addWidget(automation_);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

    // The composition root announces its flags by Qt signals when it is a
    // QObject (see AppActions).
    if (auto* source = dynamic_cast<QObject*>(&actions_)) {
        const QMetaObject* meta = source->metaObject();
        if (meta->indexOfSignal("axTrustedChanged()") >= 0)
            connect(source, SIGNAL(axTrustedChanged()), this, SLOT(refresh()));
        if (meta->indexOfSignal("automationDeniedChanged()") >= 0)
            connect(source, SIGNAL(automationDeniedChanged()), this, SLOT(refresh()));
    }
    refresh();
}

QWidget* PermissionBanner::banner(const QString& message, const QString& button, std::function<void()> action,
                                  QWidget* parent) {
    auto* strip = new QWidget(parent);
    strip->setAutoFillBackground(true);
    QPalette palette = strip->palette();
    palette.setColor(QPalette::Window,
                     style::over(style::withAlpha(style::orange(), 0.12), style::windowBackground(palette)));
    strip->setPalette(palette);
    auto* row = new QHBoxLayout(strip);
    row->setContentsMargins(12, 8, 12, 8);
    auto* hand = new QLabel(strip);
    hand->setPixmap(icons::ownPixmap(QStringLiteral("hand.raised.fill"), 16, style::orange(), strip->devicePixelRatioF()));
    row->addWidget(hand, 0, Qt::AlignVCenter);
    auto* text = new QLabel(message, strip);
    text->setObjectName(QStringLiteral("message"));
    text->setWordWrap(true);
    style::setTextStyle(text, style::TextStyle::callout);
    row->addWidget(text, 1, Qt::AlignVCenter);
    auto* press = new QPushButton(button, strip);
    QObject::connect(press, &QPushButton::clicked, strip, [action = std::move(action)] { action(); });
    row->addWidget(press, 0, Qt::AlignVCenter);
    return strip;
}

QStringList PermissionBanner::shown() const {
    QStringList out;
    for (QWidget* b : {accessibility_, automation_})
        if (!b->isHidden()) out.append(b->findChild<QLabel*>(QStringLiteral("message"))->text());
    return out;
}

void PermissionBanner::refresh() {
    accessibility_->setVisible(!actions_.axTrusted());
    automation_->setVisible(actions_.automationDenied());
}

}  // namespace qm
