#include "ui/shell/WindowRegistry.h"

#include <QEvent>

namespace qm {

WindowRegistry::WindowRegistry(QObject* parent) : QObject(parent) {}

WindowRegistry::~WindowRegistry() {
    for (auto& [id, window] : windows_) {
        if (!window) continue;
        window->removeEventFilter(this);
        // Hidden first, as closing would: whatever keeps the window's place
        // writes it before the window goes.
        window->hide();
    }
}

void WindowRegistry::add(const QString& id, Factory factory) { factories_[id] = std::move(factory); }

QWidget* WindowRegistry::window(const QString& id) const {
    const auto it = windows_.find(id);
    return it == windows_.end() ? nullptr : it->second.get();
}

int WindowRegistry::builds(const QString& id) const {
    const auto it = builds_.find(id);
    return it == builds_.end() ? 0 : it->second;
}

bool WindowRegistry::open(const QString& id) {
    QWidget* w = window(id);
    if (!w) {
        const auto factory = factories_.find(id);
        if (factory == factories_.end()) return false;
        auto made = factory->second();
        if (!made) return false;
        made->setProperty("qmWindowId", id);
        made->setAttribute(Qt::WA_DeleteOnClose, false);
        made->installEventFilter(this);
        w = made.get();
        windows_[id] = std::move(made);
        ++builds_[id];
    }
    if (w->isMinimized()) w->showNormal();
    w->show();
    w->raise();
    w->activateWindow();
    if (onOpened) onOpened(w);
    return true;
}

bool WindowRegistry::anyOpen() const {
    for (const auto& [id, window] : windows_)
        if (window && window->isVisible()) return true;
    return false;
}

bool WindowRegistry::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && onShown) {
        const QString id = watched->property("qmWindowId").toString();
        if (!id.isEmpty()) onShown(id);
    }
    // The window hides only after its close event; a close that is refused
    // leaves it open.
    // Closes of one turn are looked at once.
    if (event->type() == QEvent::Close && onLastClosed && !closeCheckPending_) {
        closeCheckPending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                closeCheckPending_ = false;
                if (!anyOpen() && onLastClosed) onLastClosed();
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace qm
