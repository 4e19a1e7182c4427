#include "ui/shell/WindowPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QRegion>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QWidget>

#include <algorithm>

#include "app/core/UserDefaults.h"

namespace qm {

namespace {

constexpr int kSaveDelayMs = 500;

QByteArray sizesText(const QList<int>& sizes) {
    QByteArray text;
    for (int s : sizes) text += (text.isEmpty() ? "" : ",") + QByteArray::number(s);
    return text;
}

QList<int> sizesOf(const QByteArray& text) {
    QList<int> sizes;
    for (const QByteArray& part : text.split(',')) {
        bool ok = false;
        const int s = part.toInt(&ok);
        if (!ok || s < 0) return {};
        sizes << s;
    }
    return sizes;
}

// The splitters whose sizes are kept: those with an object name.
QList<QSplitter*> namedSplitters(const QWidget& window) {
    QList<QSplitter*> named;
    for (QSplitter* splitter : window.findChildren<QSplitter*>())
        if (!splitter->objectName().isEmpty()) named << splitter;
    return named;
}

QRect centredOn(const QRect& screen, QSize size) {
    QRect frame(QPoint(0, 0), size);
    frame.moveCenter(screen.center());
    return frame;
}

}  // namespace

WindowPlacement* WindowPlacement::install(QWidget& window, UserDefaults& defaults, const QString& id,
                                          std::optional<QSize> firstSize) {
    return new WindowPlacement(window, defaults, id, firstSize);
}

WindowPlacement::WindowPlacement(QWidget& window, UserDefaults& defaults, const QString& id,
                                 std::optional<QSize> firstSize)
    : QObject(&window), window_(window), defaults_(defaults), id_(id), firstSize_(firstSize) {
    later_.setSingleShot(true);
    later_.setInterval(kSaveDelayMs);
    connect(&later_, &QTimer::timeout, this, &WindowPlacement::save);
    window.installEventFilter(this);
    for (QSplitter* splitter : namedSplitters(window)) watchSplitter(splitter);
    restore();
}

QRect WindowPlacement::firstFrame(const QRect& screen, QSize minimum) {
    QSize size(screen.width() * 2 / 3, screen.height() * 2 / 3);
    size = size.expandedTo(minimum).boundedTo(screen.size().expandedTo(minimum));
    return centredOn(screen, size);
}

void WindowPlacement::restore() {
    restoring_ = true;
    const auto geometry = defaults_.data(QStringLiteral("window.%1.geometry").arg(id_));
    if (!geometry || !window_.restoreGeometry(*geometry)) {
        const QScreen* screen = window_.screen() ? window_.screen() : QGuiApplication::primaryScreen();
        if (!screen) {
            if (firstSize_) window_.resize(*firstSize_);
        } else {
            const QRect available = screen->availableGeometry();
            const QSize minimum = window_.minimumSize();
            window_.setGeometry(firstSize_ ? centredOn(available, firstSize_->expandedTo(minimum))
                                           : firstFrame(available, minimum));
        }
    } else {
        keepOnScreen();
    }
    for (QSplitter* splitter : namedSplitters(window_)) restoreSplitter(splitter);
    restoring_ = false;
}

QRect WindowPlacement::insideScreens(const QRect& frame, const QList<QRect>& screens, QSize minimum, int titleBar) {
    // With its title bar, which the window manager puts above the frame.
    const QRect whole = frame.adjusted(0, -titleBar, 0, 0);
    QRegion area;
    for (const QRect& screen : screens) area += screen;
    if (area.isEmpty() || QRegion(whole).subtracted(area).isEmpty()) return frame;
    QRect screen = screens.front();
    qint64 most = -1;
    for (const QRect& candidate : screens) {
        const QRect shared = candidate.intersected(whole);
        const qint64 size = shared.isEmpty() ? 0 : static_cast<qint64>(shared.width()) * shared.height();
        if (size > most) {
            most = size;
            screen = candidate;
        }
    }
    const QRect room = screen.adjusted(0, titleBar, 0, 0);
    QRect inside(frame.topLeft(), frame.size().boundedTo(room.size()).expandedTo(minimum));
    if (inside.right() > room.right()) inside.moveRight(room.right());
    if (inside.bottom() > room.bottom()) inside.moveBottom(room.bottom());
    if (inside.left() < room.left()) inside.moveLeft(room.left());
    if (inside.top() < room.top()) inside.moveTop(room.top());
    return inside;
}

void WindowPlacement::keepOnScreen() {
    // A maximised or full-screen window is the window manager's to place.
    if (window_.windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) return;
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) screens << screen->availableGeometry();
    if (screens.isEmpty()) return;
    const bool framed = !(window_.windowFlags() & Qt::FramelessWindowHint);
    const int titleBar = framed ? window_.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window_) : 0;
    const QRect frame = window_.geometry();
    const QRect inside = insideScreens(frame, screens, window_.minimumSize(), titleBar);
    if (inside != frame) window_.setGeometry(inside);
}

QString WindowPlacement::splitterKey(const QSplitter* splitter, int panes) const {
    return QStringLiteral("window.%1.splitter.%2.%3").arg(id_, splitter->objectName()).arg(panes);
}

void WindowPlacement::restoreSplitter(QSplitter* splitter) {
    const auto stored = defaults_.data(splitterKey(splitter, splitter->count()));
    if (!stored) return;
    const QList<int> sizes = sizesOf(*stored);
    if (sizes.size() != splitter->count()) return;
    restoring_ = true;
    splitter->setSizes(sizes);
    restoring_ = false;
}

void WindowPlacement::watchSplitter(QSplitter* splitter) {
    connect(splitter, &QSplitter::splitterMoved, this, [this] {
        if (!restoring_) later_.start();
    });
    splitter->installEventFilter(this);
}

bool WindowPlacement::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_) {
        switch (event->type()) {
            case QEvent::Move:
            case QEvent::Resize:
                if (!restoring_ && window_.isVisible()) later_.start();
                break;
            case QEvent::Hide:
            case QEvent::Close:
                save();
                break;
            default:
                break;
        }
    } else if (auto* splitter = qobject_cast<QSplitter*>(watched); splitter && event->type() == QEvent::ChildAdded) {
        // A pane that comes (the inspector) takes the width it had, once
        // its owner has given it a first one.
        QPointer<QSplitter> guard(splitter);
        QTimer::singleShot(0, this, [this, guard] {
            if (guard) restoreSplitter(guard);
        });
    }
    return QObject::eventFilter(watched, event);
}

void WindowPlacement::save() {
    later_.stop();
    if (!window_.isVisible() && window_.size().isEmpty()) return;
    defaults_.setData(QStringLiteral("window.%1.geometry").arg(id_), window_.saveGeometry());
    for (QSplitter* splitter : namedSplitters(window_)) {
        QList<int> sizes = splitter->sizes();
        // A hidden pane is 0 wide: nothing worth keeping.
        if (std::any_of(sizes.begin(), sizes.end(), [](int s) { return s <= 0; })) continue;
        defaults_.setData(splitterKey(splitter, splitter->count()), sizesText(sizes));
    }
}

}  // namespace qm
