// The audition player as one view, the same in the library window's strip
// (`window` style) and the floating panel (`hud`): only the waveform strip
// looks different, the hosts add margins and frames.
//
// Top to bottom: a header (the file's icon, which drags the file out, its
// name and facts, or the status without a file; the format, listen, upmix
// and output-profile menus, each shown by its own rule; the editor button;
// the loop and auto-play switches), the waveform strip (at least 56 px
// high, taking the height the host leaves), a footer (play/stop, the time,
// the selection's length with its clear button, the broadcast-wave
// description, the output the sound goes to once one is open ("PipeWire:
// Built-in Audio Analog Stereo"), the "Drag as" form and, in expert mode,
// the audition level), the player's message in orange and, for Ambisonics
// sources only, the sound-field rotation row.
//
// The view holds no state: every change the player or the settings
// announce refreshes the controls from them with the controls' signals
// blocked, so showing a value never writes it back; the controls call the
// player's operations or write the settings. Each control has an object
// name for tests: "fileIcon", "name", "facts", "status", "format",
// "listen", "upmix", "profile", "editor", "loop", "autoPlay", "waveform",
// "play", "time", "sel", "clearSelection", "bext", "output", "message", "dragAs",
// "dragAsMenu", "level", "levelSlider", "rotation", "yaw", "pitch", "roll"
// (sliders), "yawValue", "pitchValue", "rollValue", "reset".
//
// The editor model and the window opener come from the host (the
// composition root); without them the editor button opens nothing.
//
// Main thread only.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

#include "audio/AudioFileInfo.h"
#include "spatial/MixBuilder.h"
#include "ui/player/WaveformView.h"

class QLabel;
class QMenu;
class QSlider;
class QToolButton;

namespace qm {

class EditorModel;
class PlayerModel;
class SettingsStore;
class TimeLabel;

namespace widgets {
class ElidedLabel;
class MessageLine;
}

class PlayerView : public QWidget {
    Q_OBJECT

public:
    // Opens a window of the application by its identifier ("editor").
    using WindowOpener = std::function<void(const QString& identifier)>;

    static constexpr int kMinimumStripHeight = 56;
    // Slider steps: tenths of a degree and of a decibel.
    static constexpr int kAngleSteps = 10;
    static constexpr int kLevelSteps = 10;
    static constexpr double kMinLevelDB = -40;
    static constexpr double kMaxLevelDB = 6;

    PlayerView(WaveformView::Style style, PlayerModel& player, SettingsStore& settings, EditorModel* editor = nullptr,
               WindowOpener openWindow = {}, QWidget* parent = nullptr);

    WaveformView& waveform() const { return *waveform_; }

    // "Stereo", "Mono sum", "Left only", "Right only", "M/S decode".
    static QString listenLabel(ListenMode mode);
    // An angle as " +90°": sign always, no decimals, at least 4 characters
    // before the degree sign.
    static QString angleText(double degrees);
    // The header's facts: the file's summary, " · ", its length (0 at a
    // sample rate that is not positive).
    static QString factsText(const AudioFileInfo& info);

public slots:
    // Shows the player's and the settings' state (run on each change).
    void refresh();

protected:
    void changeEvent(QEvent* event) override;

private:
    // Text colours from the palette in force (the panel's is dark).
    void applyColours();
    // The header's status: its colour follows what it says.
    void colourStatus();
    QWidget* buildHeader();
    QWidget* buildFooter();
    QWidget* buildRotationRow();
    void fillFormatMenu();
    void fillListenMenu();
    void fillUpmixMenu();
    void fillProfileMenu();
    void fillDragMenu();
    void toggleUpmix();
    void openInEditor();
    void dragFile();

    WaveformView::Style style_;
    PlayerModel& player_;
    SettingsStore& settings_;
    EditorModel* editor_;
    WindowOpener openWindow_;

    QLabel* icon_ = nullptr;
    QString iconPath_;  // the file whose icon is shown
    widgets::ElidedLabel* name_ = nullptr;
    widgets::ElidedLabel* facts_ = nullptr;
    QLabel* status_ = nullptr;
    QToolButton* format_ = nullptr;
    QToolButton* listen_ = nullptr;
    QToolButton* upmix_ = nullptr;
    QToolButton* profile_ = nullptr;
    QToolButton* editorButton_ = nullptr;
    QToolButton* loop_ = nullptr;
    QToolButton* autoPlay_ = nullptr;
    WaveformView* waveform_ = nullptr;
    QToolButton* play_ = nullptr;
    TimeLabel* time_ = nullptr;
    QLabel* sel_ = nullptr;
    QToolButton* clearSelection_ = nullptr;
    QWidget* bext_ = nullptr;
    widgets::ElidedLabel* bextText_ = nullptr;
    widgets::ElidedLabel* output_ = nullptr;
    widgets::MessageLine* message_ = nullptr;
    QWidget* dragAs_ = nullptr;
    QToolButton* dragAsMenu_ = nullptr;
    QWidget* level_ = nullptr;
    QLabel* levelIcon_ = nullptr;
    QSlider* levelSlider_ = nullptr;
    QWidget* rotation_ = nullptr;
    QLabel* soundfield_ = nullptr;
    QSlider* angles_[3] = {};
    QLabel* angleValues_[3] = {};
    QToolButton* reset_ = nullptr;
};

}  // namespace qm
