#include "ui/shell/WindowRegistry.h"

#include <QEvent>

namespace qm {

WindowRegistry::WindowRegistry(QObject* parent) : QObject(parent) {}

WindowRegistry::~WindowRegistry() {
    for (auto& [id, window] : windows_)
        if (window) window->removeEventFilter(this);
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
    return true;
}

bool WindowRegistry::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && onShown) {
        const QString id = watched->property("qmWindowId").toString();
        if (!id.isEmpty()) onShown(id);
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace qm
