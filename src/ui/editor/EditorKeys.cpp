#include "ui/editor/EditorKeys.h"

#include <QShortcut>
#include <QWidget>

#include <functional>

#include "app/editor/EditorModel.h"

namespace qm::editorkeys {

QList<QKeySequence> sequences(Key key) {
    switch (key) {
        case Key::undo: return {QKeySequence(Qt::CTRL | Qt::Key_Z)};
        case Key::redo: return {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)};
        case Key::cut: return {QKeySequence(Qt::CTRL | Qt::Key_X)};
        case Key::copy: return {QKeySequence(Qt::CTRL | Qt::Key_C)};
        case Key::paste: return {QKeySequence(Qt::CTRL | Qt::Key_V)};
        case Key::deleteSelection: return {QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace)};
        case Key::selectAll: return {QKeySequence(Qt::CTRL | Qt::Key_A)};
        case Key::zoomIn:
            return {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal), QKeySequence(Qt::CTRL | Qt::Key_Plus),
                    QKeySequence(Qt::CTRL | Qt::Key_Equal)};
        case Key::zoomOut: return {QKeySequence(Qt::Key_Minus), QKeySequence(Qt::CTRL | Qt::Key_Minus)};
        case Key::toStart: return {QKeySequence(Qt::Key_Home)};
        case Key::toEnd: return {QKeySequence(Qt::Key_End)};
        case Key::nudgeBack: return {QKeySequence(Qt::Key_Left)};
        case Key::nudgeForward: return {QKeySequence(Qt::Key_Right)};
        case Key::pageBack: return {QKeySequence(Qt::SHIFT | Qt::Key_Left)};
        case Key::pageForward: return {QKeySequence(Qt::SHIFT | Qt::Key_Right)};
    }
    return {};
}

QString withKey(const QString& title, Key key) {
    return title + QStringLiteral(" (") + sequences(key).front().toString(QKeySequence::NativeText) +
           QLatin1Char(')');
}

void zoom(EditorModel& editor, double factor) {
    const int64_t start = editor.viewStart();
    const int64_t length = std::max<int64_t>(editor.viewLength(), 1);
    const int64_t cursor = editor.cursor();
    const bool cursorShown = cursor >= start && cursor <= start + length;
    const int64_t around = cursorShown ? cursor : start + length / 2;
    editor.zoom(factor, around, static_cast<double>(around - start) / static_cast<double>(length));
}

void install(QWidget& window, EditorModel& editor) {
    EditorModel* m = &editor;
    const auto goTo = [m](bool end) {
        m->stop();
        m->setCursor(end && m->doc() ? m->doc()->frames() : 0);
        m->showFrame(m->cursor());
    };
    const std::pair<Key, std::function<void()>> actions[] = {
        {Key::undo, [m] { m->undo(); }},
        {Key::redo, [m] { m->redo(); }},
        {Key::cut, [m] { m->cut(); }},
        {Key::copy, [m] { m->copy(); }},
        {Key::paste, [m] { m->paste(); }},
        {Key::deleteSelection, [m] { m->deleteSelection(); }},
        {Key::selectAll, [m] { m->selectAll(); }},
        {Key::zoomIn, [m] { zoom(*m, kZoomIn); }},
        {Key::zoomOut, [m] { zoom(*m, kZoomOut); }},
        {Key::toStart, [goTo] { goTo(false); }},
        {Key::toEnd, [goTo] { goTo(true); }},
        {Key::nudgeBack, [m] { m->nudge(-1); }},
        {Key::nudgeForward, [m] { m->nudge(1); }},
        {Key::pageBack, [m] { m->nudge(-20); }},
        {Key::pageForward, [m] { m->nudge(20); }},
    };
    for (const auto& [key, action] : actions) {
        for (const QKeySequence& keys : sequences(key)) {
            auto* shortcut = new QShortcut(keys, &window, nullptr, nullptr, Qt::WindowShortcut);
            QObject::connect(shortcut, &QShortcut::activated, &window, action);
        }
    }
}

}  // namespace qm::editorkeys
