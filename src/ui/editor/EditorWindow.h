// The editor window: header, toolbar, lanes and waveform, transport and the
// temp-edits panel around the one document of the editor model; without a
// document an empty state that invites a drop or "Open…". The whole window
// takes one dropped audio file (the first item only, its extension compared
// in lower case); a badge over everything shows the model's busy text.
//
// The window keeps no document state: every row reads the editor model,
// which outlives it. Closing hides the window (there is one, shown again by
// its owner), so the panel's AI generation client and a generation under
// way live on. Reveals of the panel (its button, the generator's takes) go
// to the file-manager layer it is given; a finished temp-edit batch is
// revealed by the composition root, which owns the model's announcement.
//
// "Open…" asks `chooseOpenFile` (a file dialog filtered to the audio
// extensions; tests replace it). Main thread only.
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>

#include "app/editor/AIGenerator.h"

class QStackedLayout;

namespace qm {

class EditorModel;
class FileReveal;
class SettingsStore;
class EditorWaveView;
class TempEditsPanel;

namespace widgets {
class MessageLine;
}

class EditorWindow : public QWidget {
    Q_OBJECT

public:
    // `aiWaits`: how the AI generation client polls and waits (tests
    // shorten them); where the service is comes from the settings.
    EditorWindow(EditorModel& editor, SettingsStore& settings, FileReveal& reveal,
                 AIGenerator::Service aiWaits = {}, QWidget* parent = nullptr);

    std::function<std::optional<std::filesystem::path>()> chooseOpenFile;

    TempEditsPanel& panel() { return *panel_; }
    EditorWaveView& waveform() { return *wave_; }
    // True while a drag carrying file URLs hovers over the window.
    bool dropTargeted() const { return dropTargeted_; }

    // The file a drop opens: the first URL when it is a local file with an
    // audio extension (any case); none otherwise.
    static std::optional<std::filesystem::path> droppedAudioFile(const QList<QUrl>& urls);

public slots:
    void refresh();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setDropTargeted(bool on);
    void placeBadge();

    EditorModel& editor_;
    SettingsStore& settings_;
    QStackedLayout* stack_;
    QWidget* empty_;
    QWidget* document_;
    QWidget* badge_;
    widgets::MessageLine* emptyMessage_;
    EditorWaveView* wave_;
    TempEditsPanel* panel_;
    bool dropTargeted_ = false;
};

}  // namespace qm
