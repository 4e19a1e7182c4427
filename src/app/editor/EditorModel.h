// The model of the editor window: one whole audio file in memory as planar
// float channels, with cut, copy, paste, delete, trim, silence, one-click
// effects and macros, whole-buffer undo and redo, Save As to WAV, playback
// through the shared playback engine (click track, loops, pre-roll, lane
// solo and mute), the view window (zoom, scroll, snapping), the music
// analysis of the document with its movable pins, the temp-edit plans and
// their batch writing with edit notes.
//
// Lives on the main thread; every method is called there. Loading, the
// analysis, the slow macros (reverb tail, texture), the temp-edit batch and
// the preparation of a playback run on the global thread pool with copies
// (or shared immutable buffers) of what they need, and hand their results
// back on the main thread. Each kind of task is counted by a generation:
// a load overtaken by a newer load, an analysis overtaken by a newer
// analysis, a playback preparation overtaken by a start, stop or yield
// publish nothing. The document generation changes whenever another file
// becomes the document, so no result computed for one file can land in
// another.
//
// Undo keeps whole snapshots of the channels: at most 16 steps and at most
// `undoBudgetBytes` of samples; older steps are dropped first, and
// `message` says so when the memory budget (not the step count) dropped
// them. Failures never raise: they become a one-line `message`.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/MusicAnalysis.h"
#include "app/core/FrameRange.h"
#include "app/core/PlayheadModel.h"
#include "audio/AudioFileInfo.h"
#include "audio/TextTable.h"
#include "edit/EditOps.h"
#include "edit/EditPlan.h"
#include "edit/PeakCache.h"
#include "edit/TempEditExporter.h"
#include "playback/PlaybackEngine.h"

namespace qm {

class PlaybackSession;
class SettingsStore;
struct MixConfig;
struct OutputProfile;
struct StreamRange;

// The three pins the user can drag in the editor's ruler.
enum class PinKind { introEnd, loopEnd, endingStart };

namespace pinKind {
inline constexpr auto table = textTable<PinKind>(
    {{PinKind::introEnd, "introEnd"}, {PinKind::loopEnd, "loopEnd"}, {PinKind::endingStart, "endingStart"}});
inline const std::array<PinKind, 3>& allCases() { return table.values(); }
inline std::string_view rawValue(PinKind kind) { return table.text(kind); }
inline std::optional<PinKind> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace pinKind

class EditorModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<qm::EditorModel::Doc> doc READ doc NOTIFY docChanged)
    Q_PROPERTY(int revision READ revision NOTIFY revisionChanged)
    Q_PROPERTY(std::optional<qm::FrameRange> selection READ selection WRITE setSelection NOTIFY selectionChanged)
    Q_PROPERTY(qint64 cursor READ cursor WRITE setCursor NOTIFY cursorChanged)
    Q_PROPERTY(qint64 viewStart READ viewStart NOTIFY viewChanged)
    Q_PROPERTY(qint64 viewLength READ viewLength NOTIFY viewChanged)
    Q_PROPERTY(std::optional<qm::MusicAnalysis> analysis READ analysis NOTIFY analysisChanged)
    Q_PROPERTY(bool analyzing READ analyzing NOTIFY analyzingChanged)
    Q_PROPERTY(std::optional<qm::Pins> pins READ pins NOTIFY pinsChanged)
    Q_PROPERTY(std::vector<qm::EditPlan> plans READ plans NOTIFY plansChanged)
    Q_PROPERTY(bool snap READ snap WRITE setSnap NOTIFY snapChanged)
    Q_PROPERTY(bool click READ click WRITE setClick NOTIFY clickChanged)
    Q_PROPERTY(bool loopPlayback READ loopPlayback WRITE setLoopPlayback NOTIFY loopPlaybackChanged)
    Q_PROPERTY(bool preRoll READ preRoll WRITE setPreRoll NOTIFY preRollChanged)
    Q_PROPERTY(std::set<int> solo READ solo WRITE setSolo NOTIFY soloChanged)
    Q_PROPERTY(std::set<int> mute READ mute WRITE setMute NOTIFY muteChanged)
    Q_PROPERTY(std::optional<std::set<int>> scope READ scope WRITE setScope NOTIFY scopeChanged)
    Q_PROPERTY(QString busy READ busyText NOTIFY busyChanged)
    Q_PROPERTY(QString message READ messageText NOTIFY messageChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(qm::TempEditOptions options READ options WRITE setOptions NOTIFY optionsChanged)
    Q_PROPERTY(std::optional<qm::TempEditExporter::Result> lastExport READ lastExport NOTIFY lastExportChanged)
    Q_PROPERTY(qm::PlayheadModel* playhead READ playhead CONSTANT)

public:
    using Channels = EditOps::Channels;

    struct Doc {
        std::filesystem::path url;  // the file that was opened
        AudioFileInfo info;
        // Immutable once made: an edit makes a new buffer, so undo steps and
        // background tasks share buffers instead of copying them.
        std::shared_ptr<const Channels> channels;
        double sampleRate = 0;
        bool dirty = false;

        // Length of the first channel; 0 without channels.
        int64_t frames() const;
    };

    enum class Macro { topAndTails = 0, verbTail = 1, seamlessLoop = 2, hiPass = 3, texture = 4, mono = 5, swap = 6 };

    static constexpr size_t kUndoSteps = 16;
    static constexpr int kTooLong = 50;
    static constexpr int kTooLarge = 40;
    static constexpr const char* kDeviceChanged = PlaybackEngine::kOutputChanged;

    EditorModel(PlaybackEngine& engine, SettingsStore& settings, QObject* parent = nullptr);
    ~EditorModel() override;

    // --- Published state ---
    const std::optional<Doc>& doc() const { return doc_; }
    int revision() const { return revision_; }
    const std::optional<FrameRange>& selection() const { return selection_; }
    qint64 cursor() const { return cursor_; }
    qint64 viewStart() const { return viewStart_; }
    qint64 viewLength() const { return viewLength_; }
    const std::optional<MusicAnalysis>& analysis() const { return analysis_; }
    bool analyzing() const { return analyzing_; }
    const std::optional<Pins>& pins() const { return pins_; }
    const std::vector<EditPlan>& plans() const { return plans_; }
    bool snap() const { return snap_; }
    bool click() const { return click_; }
    bool loopPlayback() const { return loopPlayback_; }
    bool preRoll() const { return preRoll_; }
    const std::set<int>& solo() const { return solo_; }
    const std::set<int>& mute() const { return mute_; }
    const std::optional<std::set<int>>& scope() const { return scope_; }
    const std::optional<std::string>& busy() const { return busy_; }
    const std::optional<std::string>& message() const { return message_; }
    QString busyText() const { return QString::fromStdString(busy_.value_or("")); }
    QString messageText() const { return QString::fromStdString(message_.value_or("")); }
    bool isPlaying() const { return isPlaying_; }
    const TempEditOptions& options() const { return options_; }
    const std::optional<TempEditExporter::Result>& lastExport() const { return lastExport_; }
    PlayheadModel* playhead() { return &playhead_; }
    const PeakCache& peaks() const { return peaks_; }
    size_t undoDepth() const { return undoStack_.size(); }
    size_t redoDepth() const { return redoStack_.size(); }

    // The selection is clamped into the document (none without one, or
    // when it is empty after clamping); the cursor into 0 ... frames.
    void setSelection(const std::optional<FrameRange>& range);
    void setCursor(qint64 frame);
    void setSnap(bool on);
    // Also when unchanged: while playing, restarts playback to rebuild the clicks.
    void setClick(bool on);
    void setLoopPlayback(bool on);
    void setPreRoll(bool on);
    void setSolo(const std::set<int>& lanes);
    void setMute(const std::set<int>& lanes);
    void setScope(const std::optional<std::set<int>>& lanes);
    void setOptions(const TempEditOptions& options);

    // Called first thing in every playback start; the composition root sets
    // it once to stop the audition player.
    std::function<void()> onWillPlay;

    // --- Document, undo and clipboard ---
    void open(const std::filesystem::path& url);
    void cut();
    void copy();
    void paste();
    void deleteSelection();
    void trim();
    void silence();
    void undo();
    void redo();
    void apply(const std::string& effectId);
    void run(Macro macro);
    // The name the save panel proposes: the document's folder and name
    // without extension followed by " edit.wav".
    std::optional<std::filesystem::path> saveAsSuggestion() const;
    // Writes the document as a WAV file at `url` (chosen in the save panel).
    void saveAs(const std::filesystem::path& url);

    // --- Playback and view ---
    void play(std::optional<int64_t> frame = std::nullopt);
    void stop();
    void yield();
    void audition(const EditPlan& plan);
    void auditionLoopPoint();
    void zoom(double factor, int64_t around, double fraction);
    void scroll(int64_t byFrames);
    void fit();
    void zoomToSelection();
    // The whole document as the selection.
    void selectAll();
    // Scrolls as little as it takes to bring `frame` into view.
    void showFrame(int64_t frame);
    // Moves the cursor by `steps` twentieths of the visible length (at
    // least a frame each), keeps it in view and, while playing, plays on
    // from there.
    void nudge(int steps);
    void selectBar(int64_t at);
    int64_t snapFrame(int64_t frame, double pixelsPerFrame) const;
    int64_t frame(int64_t ofBoundary) const;
    std::vector<double> boundaries() const;

    // --- Analysis, pins and temp edits ---
    void analyze(std::optional<double> bpm, std::optional<int> beatsPerBar);
    void setTempo(double bpm);
    void setBeatsPerBar(int n);
    // The bar length the latest analysis was asked to use, if any.
    std::optional<int> askedBeatsPerBar() const { return askedBeatsPerBar_; }
    void movePin(PinKind kind, int64_t toFrame);
    void resetPins();
    void makeTempEdits();

    static std::filesystem::path editsFolder(const std::filesystem::path& url, const SettingsStore& settings);
    static std::vector<std::string> notesHeader(const std::string& name, const std::filesystem::path& url,
                                                const MusicAnalysis& analysis, const Pins& pins);

    // Memory limits: the undo budget (bytes of samples over all undo steps)
    // and the largest document a load accepts (bytes of float samples).
    void setUndoBudgetBytes(uint64_t bytes) { undoBudgetBytes_ = bytes; }
    uint64_t undoBudgetBytes() const { return undoBudgetBytes_; }
    void setLoadLimitBytes(uint64_t bytes) { loadLimitBytes_ = bytes; }
    uint64_t loadLimitBytes() const { return loadLimitBytes_; }

signals:
    void docChanged();
    void revisionChanged();
    void selectionChanged();
    void cursorChanged();
    void viewChanged();
    void analysisChanged();
    void analyzingChanged();
    void pinsChanged();
    void plansChanged();
    void snapChanged();
    void clickChanged();
    void loopPlaybackChanged();
    void preRollChanged();
    void soloChanged();
    void muteChanged();
    void scopeChanged();
    void busyChanged();
    void messageChanged();
    void isPlayingChanged();
    void optionsChanged();
    void lastExportChanged();
    // Cut or Copy filled the process-wide clipboard (EditOps::clipboard),
    // which Paste's enabling reads.
    void clipboardChanged();
    // A temp-edit batch is done: the file manager shows its folder selected.
    void revealRequested(const std::vector<std::filesystem::path>& items);

private:
    using Deliver = std::function<void(EditorModel&)>;
    // Runs `work` on the thread pool and its returned continuation on the
    // main thread, unless the model is gone by then.
    void background(std::function<Deliver()> work);

    void finishOpen(uint64_t loadGen, Doc doc);
    // Makes `channels` the document's content as one undo step; an edit
    // that moves the music in time asks for a new analysis.
    struct Push {
        bool reanalyze = false;
    };
    void push(Channels channels, Push how);
    void push(Channels channels) { push(std::move(channels), Push{}); }
    void contentChanged(bool reanalyze);
    void replaceContent(std::shared_ptr<const Channels> channels);
    FrameRange range() const;
    void replan();
    void finishAnalysis(uint64_t analysisGen, std::optional<MusicAnalysis> result);
    // Begins a playback session of `channels` (the document, or a rendering
    // of it) and opens its stream in the background; `followsDoc` when its
    // frames are the document's, so that the playhead and the clicks follow.
    // Says whether the session began (else `message` says why).
    bool startPlayback(std::shared_ptr<const Channels> channels, const StreamRange& range, bool followsDoc);
    // The output went away under the playing session: playback goes on.
    void followOutput();
    MixConfig mix(const OutputProfile& profile, int inputs, int deviceChannels) const;
    void startTimer(bool followsDoc);
    void stopTimer();
    std::vector<std::pair<int64_t, bool>> clicks() const;

    void setBusy(std::optional<std::string> text);
    // Clears `busy` when it still shows `text`: a task that ends does not
    // hide the text of another one started meanwhile.
    void clearBusy(std::string_view text);
    void setMessage(std::optional<std::string> text);
    void setView(int64_t start, int64_t length);
    void setIsPlaying(bool on);
    void setAnalyzing(bool on);
    void setPins(std::optional<Pins> pins);
    void setPlans(std::vector<EditPlan> plans);

    std::optional<Doc> doc_;
    int revision_ = 0;
    std::optional<FrameRange> selection_;
    int64_t cursor_ = 0;
    int64_t viewStart_ = 0;
    int64_t viewLength_ = 1;
    std::optional<MusicAnalysis> analysis_;
    bool analyzing_ = false;
    std::optional<double> askedBpm_;  // the overrides of the latest analysis
    std::optional<int> askedBeatsPerBar_;
    std::optional<Pins> pins_;
    std::vector<EditPlan> plans_;
    bool snap_ = true;
    bool click_ = false;
    bool loopPlayback_ = false;
    bool preRoll_ = false;
    std::set<int> solo_;
    std::set<int> mute_;
    std::optional<std::set<int>> scope_;
    std::optional<std::string> busy_;
    std::optional<std::string> message_;
    bool isPlaying_ = false;
    TempEditOptions options_;
    std::optional<TempEditExporter::Result> lastExport_;
    PlayheadModel playhead_;
    PeakCache peaks_;
    std::deque<std::shared_ptr<const Channels>> undoStack_;
    std::deque<std::shared_ptr<const Channels>> redoStack_;
    std::unique_ptr<QTimer> timer_;
    std::shared_ptr<PlaybackSession> session_;  // the newest one this model began
    std::string sessionSystem_;                 // the sound system it plays on ("jack", "pw"...)
    // What that session plays, so that it can go on on another output.
    std::shared_ptr<const Channels> sessionChannels_;
    bool sessionFollowsDoc_ = false;
    uint64_t playGen_ = 0;
    PlaybackEngine& engine_;
    SettingsStore& settings_;

    uint64_t docGen_ = 0;       // another file became the document
    uint64_t loadGen_ = 0;      // a load started
    uint64_t analysisGen_ = 0;  // an analysis started
    uint64_t undoBudgetBytes_;
    uint64_t loadLimitBytes_;
};

}  // namespace qm
