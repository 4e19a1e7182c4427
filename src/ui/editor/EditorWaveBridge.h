// Joins the editor model to its waveform view: every change the model
// announces (and every move of its playhead) runs one update that copies
// the model's state into the view's fields, and the view's gestures call
// the model's operations.
//
// The update compares every field that costs a redraw with what the view
// holds, so one change of the model costs at most one re-render of the
// picture; a new play position only moves the playhead line. Without a
// document the update changes nothing (the view keeps what it last had, and
// before the first document its callbacks stay unset).
//
// Main thread only. Lives as long as the view (a child object of it).
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "app/editor/EditorModel.h"

namespace qm {

class EditorWaveView;

class EditorWaveBridge : public QObject {
    Q_OBJECT

public:
    EditorWaveBridge(EditorModel& editor, EditorWaveView& view);

public slots:
    // Copies the model's state into the view (run on every change).
    void update();

public:
    // Lane names: the speakers of a speaker-list format as long as the
    // document (and not the centre alone), else "1", "2", ...
    static std::vector<QString> laneLabels(const EditorModel::Doc& doc);
    // The lanes drawn dimmed: those outside a non-empty solo set, and the muted.
    static std::set<int> mutedLanes(int lanes, const std::set<int>& solo, const std::set<int>& mute);
    // Times in seconds as frames, to the nearest frame (halves away from zero).
    static std::vector<int64_t> toFrames(const std::vector<double>& seconds, double sampleRate);

    // What the view shows of the pins.
    struct PinFields {
        std::map<PinKind, int64_t> flags;
        std::optional<int64_t> introEnd;
        std::optional<int64_t> endingStart;
        std::optional<FrameRange> loopRange;
    };
    static PinFields pinFields(const EditorModel& editor);
    // The loop between two bar-line frames; none when the end lies before
    // the start (a pin outside the grid answers frame 0).
    static std::optional<FrameRange> loopRange(int64_t start, int64_t end);

private:
    void connectCallbacks();

    EditorModel& editor_;
    EditorWaveView& view_;
    bool connected_ = false;
};

}  // namespace qm
