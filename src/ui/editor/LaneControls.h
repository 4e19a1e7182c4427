// The solo ("S") and mute ("M") switches of each lane, in a 34 px column at
// the left of the waveform: a 24 px spacer level with the ruler, then one
// row per lane sharing the height below it as the lanes do. Shown only in
// expert mode for documents of two lanes or more; the sets live in the
// editor model and stay in force while the column is hidden. Switch object
// names are "solo<i>" and "mute<i>". Main thread only.
#pragma once

#include <QWidget>

#include <vector>

class QToolButton;
class QVBoxLayout;

namespace qm {

class EditorModel;
class SettingsStore;

class LaneControls : public QWidget {
    Q_OBJECT

public:
    LaneControls(EditorModel& editor, SettingsStore& settings, QWidget* parent = nullptr);

    // Whether the column belongs on screen for this model and setting.
    static bool shown(const EditorModel& editor, const SettingsStore& settings);

public slots:
    void refresh();

private:
    void rebuild(int lanes);

    EditorModel& editor_;
    SettingsStore& settings_;
    QVBoxLayout* column_;
    std::vector<QWidget*> rows_;
    std::vector<std::pair<QToolButton*, QToolButton*>> switches_;
};

}  // namespace qm
