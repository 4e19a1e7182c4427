// The editor's toolbar row: undo and redo, the edit commands (Cut, Copy,
// Paste, Delete, Trim, Silence), the Effects menu, the seven one-click
// tools, the lane scope menu (expert mode, two lanes or more), the snap
// switch and the zoom buttons. Every control reads the editor model or
// calls one of its operations; the row computes only the zoom centre and
// the scope set. It is re-read whenever the model or the settings announce
// a change. Controls carry object names ("undo", "cut", "effects",
// "scope", "snap", "zoomOut", ...). Main thread only.
#pragma once

#include <QWidget>

namespace qm {

class EditorModel;
class SettingsStore;

class EditorToolbar : public QWidget {
    Q_OBJECT

public:
    EditorToolbar(EditorModel& editor, SettingsStore& settings, QWidget* parent = nullptr);

public slots:
    // Re-reads the model: enabling, the scope menu and label, the snap switch.
    void refresh();

private:
    void rebuildScopeMenu(int lanes);

    EditorModel& editor_;
    SettingsStore& settings_;
    int scopeLanes_ = -1;
};

}  // namespace qm
