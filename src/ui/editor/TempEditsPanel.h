// The temp-edits panel at the bottom of the editor window: the target
// lengths and the extended version, the pins (chips, "Reset pins"), one
// card per planned edit with its length and an audition button, the
// splice options and loop candidates (expert mode), "Make Temp Edits", the
// result of the last write with "Reveal", and the AI score builder. The
// cards' strip scrolls sideways with a plain wheel as well as with a swipe,
// with a scroll bar while the cards do not fit; a card grows beyond its
// width when its name needs more room.
//
// The panel owns its AI generation client, the one model a view owns; it
// lives as long as the panel (the editor window hides on close, so a
// running generation goes on). The client asks the service the settings
// name ("AI generation service" in the Audition tab); while none is named,
// or the one named is refused (not https), the AI buttons are off and their
// tooltip says why. Everything else is the editor model's and
// the settings': the panel shows their published state and calls their
// operations. "Reveal" and the generator's finished takes go to the
// file-manager layer. Controls carry object names ("target15" ...,
// "extended", "makeTempEdits", "resetPins", "crossfade", "exactLengths",
// "besideSource", "loopCandidates", "aiIntro", "aiEnding", "aiVariation",
// "aiStatus", "aiUsage", "exportFolder", "reveal", plan cards "card:<name>").
// Main thread only.
#pragma once

#include <QWidget>

#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/Structure.h"
#include "app/editor/AIGenerator.h"
#include "edit/EditPlan.h"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpinBox;
class QToolButton;

namespace qm {

namespace widgets {
class ElidedLabel;
}

class EditorModel;
class FileReveal;
class SettingsStore;

class TempEditsPanel : public QWidget {
    Q_OBJECT

public:
    // `waits`: how the generator polls and waits (tests shorten them); the
    // service's address and key are the settings'.
    TempEditsPanel(EditorModel& editor, SettingsStore& settings, FileReveal& reveal,
                   AIGenerator::Service waits = {}, QWidget* parent = nullptr);

    AIGenerator& ai() { return *ai_; }
    // The offered target lengths, seconds.
    static constexpr double lengths[] = {15, 30, 60, 120};

public slots:
    void refresh();

private:
    void rebuildPins();
    void rebuildCards();
    void rebuildCandidates();

    EditorModel& editor_;
    SettingsStore& settings_;
    FileReveal& reveal_;
    AIGenerator* ai_;
    QHBoxLayout* pins_;
    QHBoxLayout* cards_;
    std::vector<QToolButton*> targets_;  // in the order of `lengths`
    QToolButton* extended_;
    QPushButton* make_;
    widgets::ElidedLabel* notes_;
    QWidget* cardStrip_;
    QWidget* expertRow_;
    QSpinBox* crossfade_;
    QCheckBox* exact_;
    QCheckBox* beside_;
    QToolButton* candidates_;
    std::vector<QPushButton*> aiButtons_;
    QWidget* aiBusy_;
    QWidget* lastExport_;
    widgets::ElidedLabel* status_;
    QLabel* usage_;
    widgets::ElidedLabel* folder_;
    // What the chips and cards were last built from.
    std::optional<std::pair<std::optional<Pins>, bool>> shownPins_;
    std::optional<std::tuple<std::vector<EditPlan>, std::optional<double>, bool>> shownCards_;
    bool candidatesBuilt_ = false;
    std::optional<std::vector<LoopCandidate>> shownCandidates_;
};

}  // namespace qm
