#include "ui/library/PermissionBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
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
                            [this] { actions_.requestAccessibility(); }, this, QString::fromUtf8(kAccessibilitySteps));
    automation_ = banner(QString::fromUtf8(kAutomationMessage), QString(), {}, this);
    automationText_ = automation_->findChild<QLabel*>(QStringLiteral("message"));
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

QString PermissionBanner::automationMessage(const std::optional<fileManagers::Kind>& refuser) {
    if (!refuser) return QString::fromUtf8(kAutomationMessage);
    const QString name = QString::fromUtf8(fileManagers::name(*refuser));
    QString text = QStringLiteral("Quillmarsh can't read %1's selection: %1 isn't on the accessibility bus, since it "
                                  "was started before accessibility was on. ")
                       .arg(name);
    if (const auto quit = fileManagers::quitCommand(*refuser))
        return text + QStringLiteral("Quit %1 (all its windows, and its background instance: %2) and open it again.")
                          .arg(name, QString::fromStdString(*quit));
    text += QStringLiteral("Close every %1 window and open it again.").arg(name);
    // PCManFM may draw the desktop as well (LXDE), and as a GTK 2 program it
    // reaches the bus only through a module.
    if (*refuser == fileManagers::Kind::pcmanfm)
        text += QStringLiteral(" Where it also draws the desktop, log out and back in. It needs the package "
                               "libatk-adaptor for the bus (sudo apt install libatk-adaptor; then log in again).");
    return text;
}

QWidget* PermissionBanner::banner(const QString& message, const QString& button, std::function<void()> action,
                                  QWidget* parent, const QString& details) {
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
    row->addWidget(hand, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* text = new QLabel(message, strip);
    text->setObjectName(QStringLiteral("message"));
    text->setWordWrap(true);
    text->setFont(style::readingFont());
    text->setTextFormat(Qt::PlainText);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(text);
    if (!details.isEmpty()) {
        // A link-like toggle: the steps take room only when asked for.
        auto* toggle = new QToolButton(strip);
        toggle->setObjectName(QStringLiteral("stepsToggle"));
        toggle->setText(QString::fromUtf8(kStepsToggle));
        toggle->setCheckable(true);
        toggle->setAutoRaise(true);
        toggle->setArrowType(Qt::RightArrow);
        toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        toggle->setCursor(Qt::PointingHandCursor);
        style::setTextColour(toggle, style::accent(toggle->palette()));
        auto* steps = new QLabel(details, strip);
        steps->setObjectName(QStringLiteral("steps"));
        steps->setTextFormat(Qt::RichText);
        steps->setWordWrap(true);
        steps->setFont(style::readingFont());
        steps->setTextInteractionFlags(Qt::TextSelectableByMouse);
        steps->hide();
        QObject::connect(toggle, &QToolButton::toggled, steps, [toggle, steps](bool open) {
            toggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
            steps->setVisible(open);
        });
        column->addWidget(toggle, 0, Qt::AlignLeft);
        column->addWidget(steps);
    }
    row->addLayout(column, 1);
    if (!button.isEmpty()) {
        auto* press = new QPushButton(button, strip);
        QObject::connect(press, &QPushButton::clicked, strip, [action = std::move(action)] { action(); });
        row->addWidget(press, 0, Qt::AlignTop);
    }
    return strip;
}

QStringList PermissionBanner::shown() const {
    QStringList out;
    for (QWidget* b : {accessibility_, automation_})
        if (!b->isHidden()) out.append(b->findChild<QLabel*>(QStringLiteral("message"))->text());
    return out;
}

void PermissionBanner::refresh() {
    // On Wayland nothing the banners ask for would make the file manager
    // followable.
    const bool wayland = actions_.waylandSession();
    accessibility_->setVisible(!wayland && !actions_.axTrusted());
    automationText_->setText(automationMessage(actions_.deniedFileManager()));
    automation_->setVisible(!wayland && actions_.automationDenied());
}

}  // namespace qm
