#include "ui/monitor/SpeakerMap.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace {

QColor soloYellow() { return QColor(255, 204, 0); }

}  // namespace

SpeakerButton::SpeakerButton(SpeakerID speaker, const QString& label, QWidget* parent)
    : QAbstractButton(parent), speaker_(speaker) {
    setText(label);
    setToolTip(tr("Click to solo, Alt-click to mute, right-click for both"));
    setObjectName(QStringLiteral("speaker.") + QString::fromUtf8(speaker::rawValue(speaker)));
    setFixedSize(44, 28);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
}

void SpeakerButton::setLook(Look look) {
    if (look == look_) return;
    look_ = look;
    update();
}

void SpeakerButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    QColor fill, text;
    switch (look_) {
        case Look::soloed:
            fill = style::withAlpha(soloYellow(), 0.85);
            text = Qt::black;
            break;
        case Look::silent:
            fill = style::withAlpha(style::secondaryLabel(pal), 0.15);
            text = style::secondaryLabel(pal);
            break;
        case Look::normal:
            fill = style::withAlpha(style::accent(pal), 0.25);
            text = style::label(pal);
            break;
    }
    if (isDown()) fill = style::over(style::withAlpha(style::label(pal), 0.12), fill);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    p.fillPath(shape, fill);
    if (hasFocus()) {
        p.setPen(QPen(style::accent(pal), 1.5));
        p.drawPath(shape);
    }
    p.setFont(style::font(11, QFont::DemiBold, true));
    p.setPen(text);
    p.drawText(rect(), Qt::AlignCenter, this->text());
}

void SpeakerButton::mousePressEvent(QMouseEvent* e) {
    modifiers_ = e->modifiers();
    QAbstractButton::mousePressEvent(e);
}

void SpeakerButton::mouseReleaseEvent(QMouseEvent* e) {
    // Window managers may keep Alt-drags; the release still carries the flag.
    modifiers_ = e->modifiers();
    QAbstractButton::mouseReleaseEvent(e);
}

void SpeakerButton::contextMenuEvent(QContextMenuEvent* e) {
    e->accept();
    emit menuRequested(e->globalPos());
}

void SpeakerButton::keyPressEvent(QKeyEvent* e) {
    modifiers_ = e->modifiers();
    QAbstractButton::keyPressEvent(e);
}

SpeakerMap::SpeakerMap(MonitorEngine& monitor, QWidget* parent) : QWidget(parent), monitor_(monitor) {
    setObjectName("speakerMap");
    setMinimumSize(140, 140);
    connect(&monitor_, &MonitorEngine::stateChanged, this, &SpeakerMap::refresh);
    connect(&monitor_, &MonitorEngine::profileIDChanged, this, &SpeakerMap::refresh);
    refresh();
}

std::vector<SpeakerID> SpeakerMap::shownSpeakers(const OutputProfile& profile) {
    if (profile.kind == OutputProfile::Kind::headphones) return {SpeakerID::L, SpeakerID::R};
    return layout::speakers(profile.layout);
}

double SpeakerMap::ringRadius(QSizeF size) { return std::min(size.width(), size.height()) / 2 - 24; }

QPointF SpeakerMap::position(SpeakerID s, const std::vector<SpeakerID>& shown, QSizeF size) {
    const double cx = size.width() / 2, cy = size.height() / 2;
    const double r = ringRadius(size);
    if (s == SpeakerID::LFE) return {cx, cy + 0.3 * r};
    const Direction d = speaker::direction(s, shown);
    const double rr = d.el > 20 ? 0.55 * r : r;
    // A plan seen from above with the front up: azimuth 0 straight up,
    // positive azimuths (the listener's left) to the left.
    const double theta = (d.az + 90) * std::numbers::pi / 180;
    return {cx + rr * std::cos(theta), cy - rr * std::sin(theta)};
}

SpeakerButton* SpeakerMap::button(SpeakerID s) const {
    for (auto* b : buttons_)
        if (b->speaker() == s) return b;
    return nullptr;
}

void SpeakerMap::refresh() {
    const std::vector<SpeakerID> shown = shownSpeakers(monitor_.profile());
    if (shown != shown_ || buttons_.empty()) {
        // A button may be the one whose click led here: it goes later.
        for (auto* b : buttons_) {
            b->hide();
            b->deleteLater();
        }
        buttons_.clear();
        shown_ = shown;
        for (SpeakerID s : shown_) {
            auto* b = new SpeakerButton(s, QString::fromStdString(speaker::label(s, shown_)), this);
            connect(b, &QAbstractButton::clicked, this, [this, b] { clicked(b); });
            connect(b, &SpeakerButton::menuRequested, this, [this, b](const QPoint& at) {
                QMenu* menu = contextMenu(b->speaker());
                menu->setAttribute(Qt::WA_DeleteOnClose);
                menu->popup(at);
            });
            buttons_.push_back(b);
            b->show();
        }
        place();
    }
    const MonitorState& state = monitor_.state();
    for (auto* b : buttons_) {
        const bool soloed = state.solo.contains(b->speaker());
        const bool silent = state.muted.contains(b->speaker()) || (!state.solo.empty() && !soloed);
        b->setLook(soloed ? SpeakerButton::Look::soloed
                          : silent ? SpeakerButton::Look::silent : SpeakerButton::Look::normal);
    }
}

void SpeakerMap::clicked(SpeakerButton* button) {
    if (button->clickModifiers() & Qt::AltModifier)
        toggleMute(button->speaker());
    else
        toggleSolo(button->speaker());
}

void SpeakerMap::toggleSolo(SpeakerID s) {
    MonitorState state = monitor_.state();
    if (!state.solo.erase(s)) state.solo.insert(s);
    monitor_.setState(state);
}

void SpeakerMap::toggleMute(SpeakerID s) {
    MonitorState state = monitor_.state();
    if (!state.muted.erase(s)) state.muted.insert(s);
    monitor_.setState(state);
}

QMenu* SpeakerMap::contextMenu(SpeakerID s) {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("speakerMenu"));
    const MonitorState& state = monitor_.state();
    QAction* solo = menu->addAction(tr("Solo"));
    solo->setObjectName(QStringLiteral("solo"));
    solo->setCheckable(true);
    solo->setChecked(state.solo.contains(s));
    connect(solo, &QAction::triggered, this, [this, s] { toggleSolo(s); });
    QAction* mute = menu->addAction(tr("Mute"));
    mute->setObjectName(QStringLiteral("mute"));
    mute->setCheckable(true);
    mute->setChecked(state.muted.contains(s));
    connect(mute, &QAction::triggered, this, [this, s] { toggleMute(s); });
    return menu;
}

void SpeakerMap::place() {
    auto at = [this](SpeakerButton* b) {
        const QPointF c = position(b->speaker(), shown_, size());
        return QRect(QPoint(static_cast<int>(std::lround(c.x() - b->width() / 2.0)),
                            static_cast<int>(std::lround(c.y() - b->height() / 2.0))),
                     b->size());
    };
    SpeakerButton* lfe = nullptr;
    for (auto* b : buttons_) {
        if (b->speaker() == SpeakerID::LFE)
            lfe = b;
        else
            b->move(at(b).topLeft());
    }
    if (!lfe) return;
    // The LFE has no direction of its own: below the listener, and lower
    // still where the rear heights (7.1.4, 9.1.6) sit there, so that no tile
    // lies over another.
    constexpr int kGap = 2;
    QRect box = at(lfe);
    for (bool moved = true; moved;) {
        moved = false;
        for (auto* b : buttons_)
            if (b != lfe && box.intersects(b->geometry())) {
                box.moveTop(b->geometry().bottom() + 1 + kGap);
                moved = true;
            }
    }
    lfe->move(box.topLeft());
}

void SpeakerMap::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    place();
}

void SpeakerMap::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(width() / 2.0, height() / 2.0);
    const double r = ringRadius(size());
    const QColor secondary = style::secondaryLabel(palette());
    p.setBrush(Qt::NoBrush);
    if (r > 0) {
        p.setPen(QPen(style::withAlpha(secondary, 0.2), 1));
        p.drawEllipse(c, r, r);
        p.setPen(QPen(style::withAlpha(secondary, 0.12), 1));
        p.drawEllipse(c, 0.55 * r, 0.55 * r);
    }
    const int listener = 22;
    const QPixmap person = icons::ownPixmap("person.fill", listener, secondary, devicePixelRatioF());
    p.drawPixmap(QPointF(c.x() - listener / 2.0, c.y() - listener / 2.0), person);
}

}  // namespace qm
