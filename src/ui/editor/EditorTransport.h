// The editor's transport row: return to zero, 5 s back, play/stop (the
// window-wide Space key), 5 s forward, to the end, the loop and pre-roll
// switches, "Hear the loop seam", then the readouts: POS (time, and
// bar.beat once the music is analysed), SEL (accent colour, only with a
// selection), LEN; under them the model's message on a line of its own
// (wrapped, in the warning colour).
//
// The POS readout follows the playhead model on every update during
// playback, not only the editor model's announcements. Space is a window
// shortcut, so a text field with the focus keeps it. Controls carry
// object names ("toZero", "back", "play", "forward", "toEnd", "loop",
// "preRoll", "loopSeam"; labels "pos", "sel", "len", "message").
// Main thread only.
#pragma once

#include <QWidget>

class QLabel;
class QShortcut;
class QToolButton;

namespace qm {

class EditorModel;

namespace widgets {
class MessageLine;
}

class EditorTransport : public QWidget {
    Q_OBJECT

public:
    explicit EditorTransport(EditorModel& editor, QWidget* parent = nullptr);

    // The 5 s step in frames: the rate times 5, cut towards zero.
    static int64_t step(double sampleRate);

public slots:
    void refresh();
    // Only the POS text: run on every playhead update.
    void refreshPosition();

private:
    int64_t length() const;

    EditorModel& editor_;
    QToolButton* play_;
    QLabel* pos_;
    QLabel* sel_;
    QLabel* len_;
    widgets::MessageLine* message_;
};

}  // namespace qm
