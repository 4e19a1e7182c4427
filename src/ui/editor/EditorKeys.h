// The editor window's keys: undo and redo, cut, copy, paste, delete and
// select all, zoom in and out, to the start and to the end, and nudging the
// cursor (the playhead, while playing) by a twentieth of the visible length
// or, with Shift, by the whole of it. One table holds them, so that the
// tooltips that name a key and the keys themselves never disagree.
//
// The keys are window shortcuts of the editor window: they work whatever
// control of the window has the focus, except a text field (a spin box's
// too), which keeps the keys it edits with. Home and End also stop
// playback, as the transport's buttons do, and scroll the cursor into view.
//
// Main thread only.
#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>

class QWidget;

namespace qm {

class EditorModel;

namespace editorkeys {

enum class Key {
    undo,
    redo,
    cut,
    copy,
    paste,
    deleteSelection,
    selectAll,
    zoomIn,
    zoomOut,
    toStart,
    toEnd,
    nudgeBack,
    nudgeForward,
    pageBack,
    pageForward,
};

// The zoom steps of the toolbar's buttons and of the keys.
inline constexpr double kZoomIn = 1.5;
inline constexpr double kZoomOut = 0.66;

// The keys of a command; the first is the one tooltips name.
QList<QKeySequence> sequences(Key key);
// The title followed by its first key as the desktop writes it, in
// parentheses: "Undo (Ctrl+Z)".
QString withKey(const QString& title, Key key);

// Makes every key of the table a shortcut of `window`, acting on `editor`.
void install(QWidget& window, EditorModel& editor);

// Zooms by `factor` around the cursor while it is in view, else around the
// view's centre.
void zoom(EditorModel& editor, double factor);

}  // namespace editorkeys
}  // namespace qm
