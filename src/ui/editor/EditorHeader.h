// The editor's header row: the file's name (with an orange dot while it has
// unsaved edits) over its format and length; then "Analyzing…" while an
// analysis runs, or, with an analysis, the tempo menu (candidates and tempo
// relations, a warning when a twin tempo scores nearly as well), the meter
// menu, the key and the loudness; without one (no pulse found) the tempo
// menu, which then asks for a tempo, and the meter menu; the click switch
// (needs an analysis), the expert-mode switch and "Save As…".
//
// Every control writes one property of the editor model or the settings,
// or calls one operation. "Save As…" asks `chooseSaveFile` (a save dialog;
// tests replace it) for a path, proposing the model's suggestion, and
// cancelling does nothing. Controls carry object names ("name", "dirty",
// "summary", "analyzing", "tempo", "twin", "meter", "key", "loudness",
// "click", "expert", "saveAs"). Main thread only.
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

#include "analysis/TempoAnalyzer.h"

namespace qm {

class EditorModel;
class SettingsStore;

class EditorHeader : public QWidget {
    Q_OBJECT

public:
    EditorHeader(EditorModel& editor, SettingsStore& settings, QWidget* parent = nullptr);

    // Shows a save dialog proposing `suggestion`; none when cancelled.
    std::function<std::optional<std::filesystem::path>(const std::filesystem::path& suggestion)> chooseSaveFile;
    // Asks for a tempo in BPM (a number dialog; tests replace it); none when cancelled.
    std::function<std::optional<double>()> chooseTempo;

public slots:
    void refresh();

private:
    void rebuildMenus();

    EditorModel& editor_;
    SettingsStore& settings_;
    bool menusBuilt_ = false;
    std::optional<std::tuple<std::vector<TempoResult::Candidate>, double, bool>> shownMenus_;
};

}  // namespace qm
