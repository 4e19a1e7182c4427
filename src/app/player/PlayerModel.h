// The audition player: one loaded file at a time, played at once through the
// shared playback engine, with a selection, a loop, a level, the source
// format, listen mode, rotation, upmix preview and output profile changing
// while it plays, and drag-out files rendered in the chosen form.
//
// One instance for the whole run, made by the composition root with the
// shared PlaybackEngine and SettingsStore; the player views, the file list,
// the control commands and the file manager's selection all drive it.
//
// Threads: every member is for the main thread only. The player has one
// serial worker thread of its own ("QM.Loader"): it reads a file's facts for
// load() and opens and pre-fills the stream for play(), in the order asked
// for, and never touches the model; results come back on the main thread
// and are dropped once the player is gone. Two generations void overtaken
// work there: a load's facts publish only while no newer load began
// (loadGen), a start reaches the engine only while no newer start or stop
// happened (playGen). The main thread never opens a file, except in
// exportForDrag(), which renders synchronously as a drag needs.
//
// Publishing: every observable field is a property with a change signal;
// a setter returns at once on an equal value, else stores it, does what
// follows (a new mix, a restart, a settings write) and then emits. Two
// setters act on every assignment: setVolumeDB() always stores the gain,
// and setUpmix() compares field by field itself. Failures never throw out
// of the model: they become the one-line `message`.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/FrameRange.h"
#include "app/core/PlayheadModel.h"
#include "audio/AudioFileInfo.h"
#include "audio/SourceFormat.h"
#include "audio/UpmixSettings.h"
#include "audio/WaveformOverview.h"
#include "playback/Exporter.h"
#include "playback/PlaybackEngine.h"
#include "platform/Uuid.h"
#include "spatial/Ambisonics.h"
#include "spatial/MixBuilder.h"

namespace qm {

class PlaybackSession;
class SettingsStore;
class WaveformLoader;
struct OutputProfile;

class PlayerModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<qm::AudioFileInfo> info READ info NOTIFY infoChanged)
    Q_PROPERTY(std::shared_ptr<const qm::WaveformData> waveform READ waveform NOTIFY waveformChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(std::optional<qm::FrameRange> selection READ selection NOTIFY selectionChanged)
    Q_PROPERTY(bool loop READ loop WRITE setLoop NOTIFY loopChanged)
    Q_PROPERTY(std::optional<qm::SourceFormat> formatOverride READ formatOverride WRITE setFormatOverride NOTIFY
                   formatOverrideChanged)
    Q_PROPERTY(qm::ListenMode listen READ listen WRITE setListen NOTIFY listenChanged)
    Q_PROPERTY(qm::Rotation rotation READ rotation WRITE setRotation NOTIFY rotationChanged)
    Q_PROPERTY(qm::DragExport dragExport READ dragExport WRITE setDragExport NOTIFY dragExportChanged)
    Q_PROPERTY(qm::UpmixSettings upmix READ upmix WRITE setUpmix NOTIFY upmixChanged)
    Q_PROPERTY(double volumeDB READ volumeDB WRITE setVolumeDB NOTIFY volumeDBChanged)
    Q_PROPERTY(QString message READ messageText NOTIFY messageChanged)
    Q_PROPERTY(QString output READ outputText NOTIFY outputChanged)
    Q_PROPERTY(qm::PlayheadModel* playhead READ playhead CONSTANT)

public:
    // The pre-fill of a start: until this many frames are readable, or fewer
    // than kPreFillMinFree frames of the ring are free (StreamReader::preFill).
    static constexpr int64_t kPreFillFrames = 8192;
    static constexpr int64_t kPreFillMinFree = 4096;
    // The playhead timer's interval (30 Hz).
    static constexpr int kTickMs = 1000 / 30;
    // Texts of `message`.
    static constexpr const char* kCantRead = "Can't read ";
    static constexpr const char* kDeviceChanged = PlaybackEngine::kOutputChanged;

    // Reads the upmix preference from `settings` and installs the engine's
    // device-change callback (replacing any earlier one; it does nothing once
    // the player is gone).
    PlayerModel(PlaybackEngine& engine, SettingsStore& settings, QObject* parent = nullptr);
    // Waits for the loader thread's current item; neither stops the engine
    // nor cancels a running overview (the player lives for the whole run).
    ~PlayerModel() override;

    // --- Published state ---
    // The loaded file's facts; none before the first good load and after a failed one.
    const std::optional<AudioFileInfo>& info() const { return info_; }
    // The file asked for last: the one shown, one on its way, or one that
    // failed to load (what the commands on "the file" act on); none before
    // the first load.
    const std::optional<std::filesystem::path>& file() const { return file_; }
    // The overview, partial while it is computed.
    const std::shared_ptr<const WaveformData>& waveform() const { return waveform_; }
    // From the moment the engine started the stream until playback stops.
    bool isPlaying() const { return isPlaying_; }
    const std::optional<FrameRange>& selection() const { return selection_; }
    bool loop() const { return loop_; }
    const std::optional<SourceFormat>& formatOverride() const { return formatOverride_; }
    ListenMode listen() const { return listen_; }
    const Rotation& rotation() const { return rotation_; }
    const DragExport& dragExport() const { return dragExport_; }
    const UpmixSettings& upmix() const { return upmix_; }
    double volumeDB() const { return volumeDB_; }
    const std::optional<std::string>& message() const { return message_; }
    QString messageText() const { return QString::fromStdString(message_.value_or("")); }
    // The output the shared engine plays to, as the status line names it
    // ("PipeWire: Built-in Audio Analog Stereo", "JACK: system", "Silent
    // output (no sound device)"); empty before the first play opened one.
    // It changes (outputChanged) whenever the engine opens an output, for
    // this player or for the editor.
    std::string output() const;
    QString outputText() const { return QString::fromStdString(output()); }
    // The play position in frames of the loaded file, for the views.
    PlayheadModel* playhead() { return &playhead_; }

    // Called before every start of playback (the composition root stops the
    // editor's playback there).
    std::function<void()> onWillPlay;

    // --- Loading ---
    // Loads `url` (facts on the loader thread, overview from the shared cache
    // or computed in the background) and, with `autoPlay`, plays it from the
    // start. The file already shown, with no other load pending, is not
    // loaded again: with `autoPlay` and stopped it plays from the cue point,
    // else nothing happens.
    void load(const std::filesystem::path& url, bool autoPlay);

    // --- Transport ---
    // Starts or restarts playback from `start` (none: the cue point) within
    // the selection, or the whole file; the stream opens on the loader thread.
    void play(std::optional<int64_t> start = std::nullopt);
    // Stops when playing, else plays from the cue point.
    void togglePlay();
    // Stops, and the playhead returns to the selection start or the cue point.
    void stop();
    // Ends playback without moving the playhead; voids a pending start. The
    // engine's stream is stopped only when this player plays, so another
    // player's sound (the editor's) is never cut. Other models call it when
    // they take the engine.
    void stopPlayback();
    // Cues `frame` (clamped into the file, clearing a selection that does not
    // hold it) and plays from there; also when stopped.
    void seek(int64_t frame);
    // A range longer than 1/100 s becomes the selection and plays from its
    // start; none, or a shorter one, clears it without touching playback.
    void select(const std::optional<FrameRange>& range);
    // Clears the selection; a running playback goes on from where it is,
    // over the whole file.
    void clearSelection();
    // While playing, a change restarts at the current frame.
    void setLoop(bool on);
    // Stores the linear gain on the engine at every assignment: 0 at or
    // below -60 dB, else 10^(dB/20).
    void setVolumeDB(double dB);
    // The playhead's frame, truncated toward zero.
    int64_t currentFrame() const;
    // "m:ss.mmm", locale-free, rounded to whole milliseconds first; "0:00.000"
    // for negative or non-finite seconds.
    static std::string time(double seconds);

    // --- Source, listen, rotation, upmix and profile ---
    // The format in force: the override, else the detected one; none without
    // a file (a failed load keeps an override until the next good load).
    std::optional<SourceFormat> source() const;
    void setFormatOverride(const std::optional<SourceFormat>& format);
    // Applies to two-channel files only.
    void setListen(ListenMode mode);
    void setRotation(const Rotation& rotation);
    // Written through to the stored settings when any field differs.
    void setUpmix(const UpmixSettings& upmix);
    // Whether an upmix preview can be offered for this file on the active
    // profile (headphones count as 7.1.4).
    bool canUpmix() const;
    // One label per waveform lane, at most 16.
    std::vector<std::string> laneLabels() const;
    // Makes `id` the active profile (persisted) and moves playback there;
    // nothing when it is already active.
    void selectProfile(const Uuid& id);
    // For a change of the output profiles or of the active profile (the
    // composition root calls it when those settings change; not for other
    // settings, such as the upmix the player writes itself): reconfigures the
    // output and restarts a running playback at the same frame there.
    void profileChanged();

    // --- Drag-out ---
    // The forms offered for the loaded file, in menu order.
    std::vector<DragExport> dragOptions() const;
    void setDragExport(const DragExport& form);
    // Renders the file (or the selection, with `selectionOnly` and one) in
    // the chosen form into the pulls folder and returns the file; none
    // without a file or on failure (then `message` says why). Blocks the
    // main thread until the file is written.
    std::optional<std::filesystem::path> exportForDrag(bool selectionOnly);

    // Other subsystems write their status texts here too.
    void setMessage(std::optional<std::string> text);

    // Generations, for tests and the composition root's diagnostics.
    uint64_t loadGen() const { return loadGen_; }
    // A load's facts are still on their way.
    bool isLoading() const { return loadPending_; }
    uint64_t playGen() const { return playGen_; }
    int64_t cueFrame() const { return cueFrame_; }

signals:
    // A load's result is published (its facts, or the failure's message);
    // only for the newest load, and also when the facts equal the shown ones.
    void loadFinished();
    void infoChanged();
    void waveformChanged();
    void isPlayingChanged();
    void selectionChanged();
    void loopChanged();
    void formatOverrideChanged();
    void listenChanged();
    void rotationChanged();
    void dragExportChanged();
    void upmixChanged();
    void volumeDBChanged();
    void messageChanged();
    void outputChanged();

private:
    void prepareHeadphones();
    class Loader;

    void didLoad(AudioFileInfo info, bool autoPlay);
    void deviceChanged();
    void startTimer();
    void stopTimer();
    void tick();
    void sourceChanged();
    void keepDragExportOffered();
    void applyConfig();
    MixConfig makeConfig(const AudioFileInfo& info, const SourceFormat& source, const OutputProfile& profile,
                         int deviceChannels) const;
    void setInfo(std::optional<AudioFileInfo> info);
    void setWaveform(std::shared_ptr<const WaveformData> waveform);
    void setIsPlaying(bool on);
    void setSelection(const std::optional<FrameRange>& range);

    std::optional<AudioFileInfo> info_;
    std::optional<std::filesystem::path> file_;
    std::shared_ptr<const WaveformData> waveform_;
    bool isPlaying_ = false;
    std::optional<FrameRange> selection_;
    bool loop_ = false;
    std::optional<SourceFormat> formatOverride_;
    ListenMode listen_ = ListenMode::normal;
    Rotation rotation_;
    DragExport dragExport_ = DragExport::original();
    UpmixSettings upmix_;
    double volumeDB_ = 0;
    std::optional<std::string> message_;
    PlayheadModel playhead_;
    PlaybackEngine& engine_;
    SettingsStore& settings_;
    int64_t cueFrame_ = 0;
    uint64_t loadGen_ = 0;
    uint64_t playGen_ = 0;
    bool loadPending_ = false;  // a load's facts are still on their way
    std::shared_ptr<WaveformLoader> waveLoader_;
    std::unique_ptr<QTimer> timer_;
    std::shared_ptr<PlaybackSession> session_;  // the newest start's
    std::unique_ptr<Loader> queue_;
};

}  // namespace qm
