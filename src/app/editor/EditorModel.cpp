#include "app/editor/EditorModel.h"

#include <QPointer>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <new>

#include "analysis/Signal.h"
#include "app/core/Handoff.h"
#include "app/core/SettingsStore.h"
#include "audio/FrameSource.h"
#include "spatial/MixBuilder.h"
#include "playback/PlaybackEngine.h"
#include "audio/Speakers.h"
#include "audio/WavFileWriter.h"
#include "edit/TempEditPlanner.h"
#include "edit/TempEditRenderer.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm {

namespace {

uint64_t physicalMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return uint64_t(8) << 30;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

uint64_t bytesOf(const EditOps::Channels& channels) {
    uint64_t n = 0;
    for (const auto& c : channels) n += c.size() * sizeof(float);
    return n;
}

int64_t lengthOf(const EditOps::Channels& channels) {
    return channels.empty() ? 0 : static_cast<int64_t>(channels[0].size());
}

constexpr std::string_view kWritingEdits = "Writing edits\u2026";

// Nearest integer, halves away from zero.
int64_t roundFrame(double x) { return static_cast<int64_t>(std::llround(x)); }

std::string describe(const std::exception& e) {
    if (auto* app = dynamic_cast<const AppError*>(&e)) return app->description();
    return e.what();
}

}  // namespace

int64_t EditorModel::Doc::frames() const { return channels ? lengthOf(*channels) : 0; }

EditorModel::EditorModel(PlaybackEngine& engine, SettingsStore& settings, QObject* parent)
    : QObject(parent),
      engine_(engine),
      settings_(settings),
      undoBudgetBytes_(std::min<uint64_t>(uint64_t(2) << 30, physicalMemory() / 4)),
      loadLimitBytes_(physicalMemory() / 2) {}

EditorModel::~EditorModel() = default;

// --- Plumbing ---

void EditorModel::background(std::function<Deliver()> work) {
    QPointer<EditorModel> self(this);
    handoff::toPool([self, work = std::move(work)] {
        Deliver deliver = work();
        handoff::toThreadOf(nullptr, [self, deliver = std::move(deliver)] {
            if (self && deliver) deliver(*self);
        });
    });
}

void EditorModel::setBusy(std::optional<std::string> text) {
    if (busy_ == text) return;
    busy_ = std::move(text);
    emit busyChanged();
}

void EditorModel::clearBusy(std::string_view text) {
    if (busy_ == text) setBusy(std::nullopt);
}

void EditorModel::setMessage(std::optional<std::string> text) {
    if (message_ == text) return;
    message_ = std::move(text);
    emit messageChanged();
}

void EditorModel::setView(int64_t start, int64_t length) {
    if (viewStart_ == start && viewLength_ == length) return;
    viewStart_ = start;
    viewLength_ = length;
    emit viewChanged();
}

void EditorModel::setIsPlaying(bool on) {
    if (isPlaying_ == on) return;
    isPlaying_ = on;
    emit isPlayingChanged();
}

void EditorModel::setAnalyzing(bool on) {
    if (analyzing_ == on) return;
    analyzing_ = on;
    emit analyzingChanged();
}

void EditorModel::setPins(std::optional<Pins> pins) {
    if (pins_ == pins) return;
    pins_ = std::move(pins);
    emit pinsChanged();
}

void EditorModel::setPlans(std::vector<EditPlan> plans) {
    if (plans_ == plans) return;
    plans_ = std::move(plans);
    emit plansChanged();
}

void EditorModel::setSelection(const std::optional<FrameRange>& range) {
    std::optional<FrameRange> clamped;
    if (range && doc_) {
        const int64_t frames = doc_->frames();
        const int64_t lo = std::clamp(std::min(range->lower, range->upper), int64_t(0), frames);
        const int64_t hi = std::clamp(std::max(range->lower, range->upper), int64_t(0), frames);
        if (hi > lo) clamped = FrameRange{lo, hi};
    }
    if (selection_ == clamped) return;
    selection_ = clamped;
    emit selectionChanged();
}

void EditorModel::setCursor(qint64 frame) {
    const int64_t clamped = std::clamp<int64_t>(frame, 0, doc_ ? doc_->frames() : 0);
    if (cursor_ == clamped) return;
    cursor_ = clamped;
    emit cursorChanged();
}

void EditorModel::setSnap(bool on) {
    if (snap_ == on) return;
    snap_ = on;
    emit snapChanged();
}

void EditorModel::setClick(bool on) {
    if (click_ != on) {
        click_ = on;
        emit clickChanged();
    }
    if (isPlaying_) play(static_cast<int64_t>(playhead_.frame()));
}

void EditorModel::setLoopPlayback(bool on) {
    if (loopPlayback_ == on) return;
    loopPlayback_ = on;
    emit loopPlaybackChanged();
}

void EditorModel::setPreRoll(bool on) {
    if (preRoll_ == on) return;
    preRoll_ = on;
    emit preRollChanged();
}

void EditorModel::setSolo(const std::set<int>& lanes) {
    if (solo_ == lanes) return;
    solo_ = lanes;
    emit soloChanged();
}

void EditorModel::setMute(const std::set<int>& lanes) {
    if (mute_ == lanes) return;
    mute_ = lanes;
    emit muteChanged();
}

void EditorModel::setScope(const std::optional<std::set<int>>& lanes) {
    if (scope_ == lanes) return;
    scope_ = lanes;
    emit scopeChanged();
}

void EditorModel::setOptions(const TempEditOptions& options) {
    if (options_ == options) return;
    options_ = options;
    replan();
    emit optionsChanged();
}

// --- Document ---

void EditorModel::open(const std::filesystem::path& url) {
    stop();
    setBusy("Loading\u2026");
    setMessage(std::nullopt);
    const uint64_t gen = ++loadGen_;
    const uint64_t limit = loadLimitBytes_;
    background([url, gen, limit]() -> Deliver {
        try {
            AudioFileInfo info = AudioFileInfo::load(url);
            if (info.sampleRate > 0 && static_cast<double>(info.frames) / info.sampleRate >= 1800)
                throw AppError(kTooLong, "Files over 30 minutes don't open in the editor");
            // The whole file lives in memory, and undo adds copies: refuse a
            // file the machine cannot hold rather than let it be killed.
            const double bytes = static_cast<double>(std::max<int64_t>(info.frames, 0)) *
                                 std::max(info.channels, 1) * sizeof(float);
            if (bytes > static_cast<double>(limit)) throw AppError(kTooLarge, "File too large to load");
            PlanarAudio audio = Signal::readPlanar(url);
            Doc doc{url, std::move(info), std::make_shared<const Channels>(std::move(audio.channels)),
                    audio.sampleRate, false};
            return [gen, doc = std::move(doc)](EditorModel& m) { m.finishOpen(gen, doc); };
        } catch (const std::bad_alloc&) {
            return [gen](EditorModel& m) {
                if (gen != m.loadGen_) return;
                m.setBusy(std::nullopt);
                m.setMessage("File too large to load");
            };
        } catch (const std::exception& e) {
            return [gen, text = describe(e)](EditorModel& m) {
                if (gen != m.loadGen_) return;
                m.setBusy(std::nullopt);
                m.setMessage(text);
            };
        }
    });
}

void EditorModel::finishOpen(uint64_t loadGen, Doc doc) {
    if (loadGen != loadGen_) return;
    ++docGen_;
    const int channels = static_cast<int>(doc.channels->size());
    doc_ = std::move(doc);
    undoStack_.clear();
    redoStack_.clear();
    emit docChanged();
    setSelection(std::nullopt);
    setCursor(0);
    const int64_t frames = doc_->frames();
    setView(0, frames > 0 ? frames : 1);
    if (lastExport_) {
        lastExport_.reset();
        emit lastExportChanged();
    }
    if (analysis_) {
        analysis_.reset();
        emit analysisChanged();
    }
    setPins(std::nullopt);
    setPlans({});
    // Lanes of the previous file that this one does not have would make an
    // effect or the mix read channels that do not exist.
    auto within = [channels](std::set<int> lanes) {
        std::erase_if(lanes, [channels](int i) { return i < 0 || i >= channels; });
        return lanes;
    };
    setSolo(within(solo_));
    setMute(within(mute_));
    if (scope_) setScope(within(*scope_));
    contentChanged(true);
    setBusy(std::nullopt);
}

void EditorModel::contentChanged(bool reanalyze) {
    peaks_.rebuild(*doc_->channels);
    ++revision_;
    emit revisionChanged();
    const int64_t frames = doc_->frames();
    setCursor(std::min<int64_t>(cursor_, frames));
    if (selection_ && selection_->upper > frames) setSelection(std::nullopt);
    if (viewStart_ + viewLength_ > frames) {
        const int64_t length = std::max<int64_t>(std::min(viewLength_, frames), 1);
        setView(std::max<int64_t>(frames - length, 0), length);
    }
    if (reanalyze) analyze(std::nullopt, std::nullopt);
}

void EditorModel::replaceContent(std::shared_ptr<const Channels> channels) {
    doc_->channels = std::move(channels);
    emit docChanged();
}

void EditorModel::push(Channels channels, Push how) {
    undoStack_.push_back(doc_->channels);
    if (undoStack_.size() > kUndoSteps) undoStack_.pop_front();
    uint64_t held = 0;
    for (const auto& s : undoStack_) held += bytesOf(*s);
    size_t dropped = 0;
    while (!undoStack_.empty() && held > undoBudgetBytes_) {
        held -= bytesOf(*undoStack_.front());
        undoStack_.pop_front();
        ++dropped;
    }
    redoStack_.clear();
    doc_->dirty = true;
    replaceContent(std::make_shared<const Channels>(std::move(channels)));
    if (dropped > 0)
        setMessage(undoStack_.empty() ? std::string("Not enough memory to undo this edit")
                                      : fmt::format("Undo memory full: the {} oldest step{} dropped", dropped,
                                                    dropped == 1 ? " was" : "s were"));
    contentChanged(how.reanalyze);
}

void EditorModel::undo() {
    if (!doc_ || undoStack_.empty()) return;
    auto snapshot = std::move(undoStack_.back());
    undoStack_.pop_back();
    redoStack_.push_back(doc_->channels);
    replaceContent(std::move(snapshot));
    contentChanged(true);
}

void EditorModel::redo() {
    if (!doc_ || redoStack_.empty()) return;
    auto snapshot = std::move(redoStack_.back());
    redoStack_.pop_back();
    undoStack_.push_back(doc_->channels);
    replaceContent(std::move(snapshot));
    contentChanged(true);
}

FrameRange EditorModel::range() const {
    if (selection_) return *selection_;
    return FrameRange{0, doc_ ? doc_->frames() : 0};
}

// --- Clipboard and selection commands ---

void EditorModel::cut() {
    if (!doc_ || !selection_) return;
    const auto [lo, hi] = *selection_;
    EditOps::clipboard = EditOps::slice(*doc_->channels, lo, hi);
    emit clipboardChanged();
    push(EditOps::splice(*doc_->channels, lo, hi), {.reanalyze = true});
    setCursor(lo);
    setSelection(std::nullopt);
}

void EditorModel::copy() {
    if (!doc_ || !selection_) return;
    EditOps::clipboard = EditOps::slice(*doc_->channels, selection_->lower, selection_->upper);
    emit clipboardChanged();
}

void EditorModel::paste() {
    if (!doc_ || !EditOps::clipboard || EditOps::clipboard->empty()) return;
    const Channels clip = *EditOps::clipboard;
    const int64_t at = selection_ ? selection_->lower : cursor_;
    push(selection_ ? EditOps::replaceRegion(*doc_->channels, selection_->lower, selection_->upper, clip)
                    : EditOps::insert(*doc_->channels, cursor_, clip),
         {.reanalyze = true});
    setSelection(FrameRange{at, at + lengthOf(clip)});
}

void EditorModel::deleteSelection() {
    if (!doc_ || !selection_) return;
    const auto [lo, hi] = *selection_;
    push(EditOps::splice(*doc_->channels, lo, hi), {.reanalyze = true});
    setCursor(lo);
    setSelection(std::nullopt);
}

void EditorModel::trim() {
    if (!doc_ || !selection_) return;
    const auto [lo, hi] = *selection_;
    push(EditOps::slice(*doc_->channels, lo, hi), {.reanalyze = true});
    setSelection(std::nullopt);
    setCursor(0);
    setView(0, std::max<int64_t>(hi - lo, 1));
}

void EditorModel::silence() {
    if (!doc_ || !selection_) return;
    push(EditOps::silence(*doc_->channels, selection_->lower, selection_->upper));
}

// --- Effects and macros ---

void EditorModel::apply(const std::string& effectId) {
    if (!doc_) return;
    const auto& rows = EditOps::effects();
    auto row = std::find_if(rows.begin(), rows.end(), [&](const auto& e) { return e.id == effectId; });
    if (row == rows.end()) return;
    EditOps::Lanes lanes;
    if (scope_) {
        const int channels = static_cast<int>(doc_->channels->size());
        lanes.emplace();
        for (int i : *scope_)
            if (i >= 0 && i < channels) lanes->push_back(i);
    }
    const auto r = range();
    push(row->apply(*doc_->channels, doc_->sampleRate, r.lower, r.upper, lanes));
}

void EditorModel::run(Macro macro) {
    if (!doc_) return;
    const auto& ch = *doc_->channels;
    const double sr = doc_->sampleRate;
    const auto [lo, hi] = range();
    switch (macro) {
        case Macro::topAndTails: push(EditOps::topAndTails(ch, sr)); return;
        case Macro::hiPass: push(EditOps::hiPass200(ch, sr)); return;
        case Macro::mono: push(EditOps::monoFold(ch, lo, hi)); return;
        case Macro::swap: push(EditOps::swapLR(ch, lo, hi)); return;
        case Macro::seamlessLoop: {
            int64_t start = lo, end = hi;
            bool carryTail = true;
            if (pins_) {
                if (!selection_ && pins_->loopStart < pins_->loopEnd) {
                    start = frame(pins_->loopStart);
                    end = frame(pins_->loopEnd);
                }
                carryTail = frame(pins_->loopEnd) >= frame(pins_->musicEnd);
            }
            auto loop = EditOps::seamlessLoop(ch, sr, start, end, carryTail);
            if (!loop) {
                setMessage("Selection is too short to loop");
                return;
            }
            push(std::move(loop->channels), {.reanalyze = true});
            setSelection(std::nullopt);
            setLoopPlayback(true);
            return;
        }
        case Macro::verbTail:
        case Macro::texture: {
            const bool verb = macro == Macro::verbTail;
            const std::string busyText = verb ? "Ringing it out\u2026" : "Dissolving\u2026";
            setBusy(busyText);
            const uint64_t gen = docGen_;
            // lo and hi are copied by name: clang 14 cannot capture structured bindings.
            background([channels = doc_->channels, sr, lo = lo, hi = hi, verb, gen, busyText]() -> Deliver {
                try {
                    const auto region = verb ? EditOps::verbTail(*channels, sr, lo, hi)
                                             : EditOps::texture(*channels, sr, lo, hi);
                    auto result = std::make_shared<Channels>(EditOps::replaceRegion(*channels, lo, hi, region));
                    return [gen, result, busyText](EditorModel& m) {
                        // Audio made from another file must not land in this one.
                        if (gen != m.docGen_) return;
                        m.clearBusy(busyText);
                        m.push(std::move(*result), {.reanalyze = true});
                    };
                } catch (const std::exception& e) {
                    return [gen, text = describe(e), busyText](EditorModel& m) {
                        if (gen != m.docGen_) return;
                        m.clearBusy(busyText);
                        m.setMessage(text);
                    };
                }
            });
            return;
        }
    }
}

// --- Save As ---

std::optional<std::filesystem::path> EditorModel::saveAsSuggestion() const {
    if (!doc_) return std::nullopt;
    return doc_->url.parent_path() / (doc_->url.stem().string() + " edit.wav");
}

void EditorModel::saveAs(const std::filesystem::path& url) {
    if (!doc_ || url.empty()) return;
    const int channels = static_cast<int>(doc_->channels->size());
    uint32_t mask = 0;
    if (const auto* list = doc_->info.detected.speakerList(); list && static_cast<int>(list->size()) == channels) {
        if (*list == std::vector<SpeakerID>{SpeakerID::C}) mask = 4;
        else if (*list == std::vector<SpeakerID>{SpeakerID::L, SpeakerID::R}) mask = 3;
        else if (auto m = WaveMask::mask(*list)) mask = m->mask;
    }
    try {
        // The user chose the name: a link there stays a link to the file it names.
        FileAccess::writeThroughTemporary(
            url,
            [&](FileAccess::TemporaryFile& file) {
                WavFileWriter writer(file.fd(), file.displayName(), doc_->sampleRate, channels, mask,
                                     "Edited in Quillmarsh from " + doc_->url.filename().string());
                writer.appendAll(*doc_->channels);
                writer.finish();
            },
            FileAccess::AtLink::follow);
    } catch (const std::exception& e) {
        setMessage(describe(e));
        return;
    }
    if (doc_->dirty) {
        doc_->dirty = false;
        emit docChanged();
    }
    setMessage("Saved " + url.filename().string());
}

// --- Playback ---

void EditorModel::play(std::optional<int64_t> from) {
    if (!doc_) return;
    const int64_t frames = doc_->frames();
    int64_t start = from ? *from : selection_ ? selection_->lower : cursor_;
    if (!from && preRoll_) start = std::max<int64_t>(start - static_cast<int64_t>(2 * doc_->sampleRate), 0);
    int64_t end = frames;
    if (selection_ && !loopPlayback_) end = selection_->upper;
    // Without a loop the region is unused; the reader still gets one inside the file.
    FrameRange loopRange{0, end};
    if (loopPlayback_) loopRange = selection_ ? *selection_ : FrameRange{0, frames};
    if (start >= end) start = selection_ ? selection_->lower : 0;
    startPlayback(doc_->channels,
                  {.start = start, .end = end, .loop = loopPlayback_, .loopStart = loopRange.lower,
                   .loopEnd = loopRange.upper},
                  true);
}

bool EditorModel::startPlayback(std::shared_ptr<const Channels> channels, const StreamRange& range,
                                bool followsDoc) {
    if (!doc_) return false;
    if (onWillPlay) onWillPlay();
    const OutputProfile profile = settings_.activeProfile();
    std::vector<MemorySource::Click> clickList;
    if (followsDoc)
        for (auto [f, accent] : clicks()) clickList.push_back({f, accent});
    const double sampleRate = doc_->sampleRate;
    const int inputs = static_cast<int>(channels->size());
    std::shared_ptr<PlaybackSession> session;
    try {
        session = engine_.begin({
            .deviceUID = profile.deviceUID,
            .binaural = profile.kind == OutputProfile::Kind::headphones,
            .mix = [&](int deviceChannels) { return mix(profile, inputs, deviceChannels); },
            .source = [channels, sampleRate, clickList = std::move(clickList)] {
                return std::make_shared<MemorySource>(*channels, sampleRate, clickList);
            },
            .range = range,
        });
    } catch (const std::exception& e) {
        setMessage(describe(e));
        return false;
    }
    session_ = session;
    sessionSystem_ = engine_.outputSystem();
    sessionChannels_ = channels;
    sessionFollowsDoc_ = followsDoc;
    const uint64_t gen = ++playGen_;
    background([=]() -> Deliver {
        try {
            session->prepare();
        } catch (const std::exception& e) {
            return [gen, text = describe(e)](EditorModel& m) {
                if (gen == m.playGen_) m.setMessage(text);
            };
        }
        return [=](EditorModel& m) {
            if (gen != m.playGen_) return;
            try {
                if (!session->start()) return;
            } catch (const std::exception& e) {
                m.setMessage(describe(e));
                return;
            }
            m.setIsPlaying(true);
            m.playhead_.setFrame(static_cast<double>(range.start));
            m.startTimer(followsDoc);
        };
    });
    return true;
}

// As the audition player does: from the frame reached, on whatever output
// there is now, saying so when that is of another sound system than before
// (or the silent one), or when none opens.
void EditorModel::followOutput() {
    StreamRange range = session_->range();
    range.start = std::min(static_cast<int64_t>(session_->position()), range.end);
    const std::string before = sessionSystem_;
    setIsPlaying(false);
    stopTimer();
    if (!startPlayback(sessionChannels_, range, sessionFollowsDoc_)) {
        setMessage(kDeviceChanged + message_.value_or(""));
        return;
    }
    if (auto notice = engine_.outputNotice(before)) setMessage(*notice);
}

// The document's mix on the output: lanes muted, or left out by a solo, are
// silent.
MixConfig EditorModel::mix(const OutputProfile& profile, int inputs, int deviceChannels) const {
    MixConfig config = MixBuilder::config(doc_->info.detected, inputs, profile, deviceChannels, ListenMode::normal,
                                          Rotation{}, settings_.value().monoToCenter, std::nullopt,
                                          engine_.deviceSpeakers());
    for (int i = 0; i < config.inChannels && i < inputs; ++i) {
        const bool silent = mute_.count(i) || (!solo_.empty() && !solo_.count(i));
        if (!silent) continue;
        for (int r = 0; r < config.rows; ++r) config.matrix[static_cast<size_t>(r) * config.inChannels + i] = 0.f;
    }
    return config;
}

std::vector<std::pair<int64_t, bool>> EditorModel::clicks() const {
    std::vector<std::pair<int64_t, bool>> out;
    if (!click_ || !analysis_ || !doc_) return out;
    const double sr = doc_->sampleRate;
    std::vector<int64_t> downbeats;
    for (double t : analysis_->grid.downbeats) downbeats.push_back(roundFrame(t * sr));
    const int64_t near = static_cast<int64_t>(sr * 0.01);
    for (double t : analysis_->grid.beats) {
        const int64_t f = roundFrame(t * sr);
        const bool accent =
            std::any_of(downbeats.begin(), downbeats.end(), [&](int64_t d) { return std::llabs(d - f) < near; });
        out.emplace_back(f, accent);
    }
    return out;
}

void EditorModel::startTimer(bool followsDoc) {
    stopTimer();
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(1000 / 30);
    QObject::connect(timer_.get(), &QTimer::timeout, this, [this, followsDoc] {
        if (!isPlaying_ || !session_) return;
        // Another player began a session: the engine is no longer ours;
        // or the output went away under ours.
        if (!session_->isCurrent()) return session_->outputLost() ? followOutput() : yield();
        if (followsDoc) playhead_.setFrame(session_->position());
        if (session_->finished()) stop();
    });
    timer_->start();
}

void EditorModel::stopTimer() {
    if (!timer_) return;
    timer_->stop();
    // The timer may be the sender of the signal being handled right now.
    timer_.release()->deleteLater();
}

void EditorModel::stop() {
    // A start still being prepared is voided too, or a quick play-then-stop
    // would start playing after the stop.
    ++playGen_;
    if (!isPlaying_ && !timer_) return;
    if (session_) session_->stop();
    setIsPlaying(false);
    stopTimer();
    playhead_.setFrame(static_cast<double>(cursor_));
}

void EditorModel::yield() {
    // The player has taken the engine: a start still being prepared must not
    // take it back when its reader is ready.
    ++playGen_;
    if (!isPlaying_) return;
    setIsPlaying(false);
    stopTimer();
}

void EditorModel::audition(const EditPlan& plan) {
    if (!doc_) return;
    auto rendered =
        std::make_shared<const Channels>(TempEditRenderer::render(plan, *doc_->channels, doc_->sampleRate, options_));
    const int64_t length = lengthOf(*rendered);
    const bool loop = plan.kind == EditPlan::Kind::loop;
    startPlayback(std::move(rendered), {.start = 0, .end = length, .loop = loop, .loopStart = 0, .loopEnd = length},
                  false);
}

void EditorModel::auditionLoopPoint() {
    if (!doc_ || !pins_ || !analysis_ || pins_->loopStart >= pins_->loopEnd) return;
    const int64_t ls = frame(pins_->loopStart);
    const int64_t le = frame(pins_->loopEnd);
    const double bar = 60.0 / analysis_->grid.bpm * analysis_->grid.beatsPerBar;
    const int64_t start = std::max<int64_t>(le - static_cast<int64_t>(2 * bar * doc_->sampleRate), ls);
    startPlayback(doc_->channels,
                  {.start = start, .end = doc_->frames(), .loop = true, .loopStart = ls, .loopEnd = le}, true);
}

// --- View ---

std::vector<double> EditorModel::boundaries() const {
    return analysis_ ? analysis_->grid.boundaries() : std::vector<double>{};
}

int64_t EditorModel::frame(int64_t ofBoundary) const {
    if (!doc_) return 0;
    const auto b = boundaries();
    if (ofBoundary < 0 || ofBoundary >= static_cast<int64_t>(b.size())) return 0;
    return std::min(doc_->frames(), roundFrame(b[static_cast<size_t>(ofBoundary)] * doc_->sampleRate));
}

void EditorModel::zoom(double factor, int64_t around, double fraction) {
    // A gesture can report no magnification (0) or a reversed one; dividing
    // by it would give no length at all.
    if (!doc_ || !(factor > 0) || !std::isfinite(fraction)) return;
    const int64_t frames = doc_->frames();
    const int64_t length =
        std::max<int64_t>(std::min<int64_t>(frames, static_cast<int64_t>(static_cast<double>(viewLength_) / factor)), 64);
    const int64_t start = std::max<int64_t>(
        std::min<int64_t>(around - static_cast<int64_t>(fraction * static_cast<double>(length)), frames - length), 0);
    setView(start, length);
}

void EditorModel::scroll(int64_t byFrames) {
    if (!doc_) return;
    setView(std::max<int64_t>(std::min<int64_t>(viewStart_ + byFrames, doc_->frames() - viewLength_), 0),
            viewLength_);
}

void EditorModel::fit() {
    if (!doc_) return;
    const int64_t frames = doc_->frames();
    setView(0, frames > 0 ? frames : 1);
}

void EditorModel::zoomToSelection() {
    if (!doc_ || !selection_) return;
    const auto [lo, hi] = *selection_;
    const int64_t pad = (hi - lo) / 20;
    setView(std::max<int64_t>(lo - pad, 0), std::max<int64_t>(hi - lo + 2 * pad, 64));
}

void EditorModel::selectAll() {
    if (doc_) setSelection(FrameRange{0, doc_->frames()});
}

void EditorModel::showFrame(int64_t frame) {
    if (!doc_) return;
    if (frame < viewStart_)
        scroll(frame - viewStart_);
    else if (frame > viewStart_ + viewLength_)
        scroll(frame - (viewStart_ + viewLength_));
}

void EditorModel::nudge(int steps) {
    if (!doc_ || steps == 0) return;
    const int64_t step = std::max<int64_t>(viewLength_ / 20, 1);
    setCursor(cursor_ + step * steps);
    showFrame(cursor_);
    if (isPlaying_) play(cursor_);
}

void EditorModel::selectBar(int64_t at) {
    if (!doc_) return;
    const auto b = boundaries();
    if (b.empty()) return;
    std::vector<int64_t> bars;
    for (double t : b) bars.push_back(roundFrame(t * doc_->sampleRate));
    auto after = std::upper_bound(bars.begin(), bars.end(), at);
    if (after == bars.begin() || after == bars.end()) return;
    const int64_t k = (after - bars.begin()) - 1;
    // The analysis may lag behind an edit that shortened the document: a bar
    // past the end is clamped by setSelection, and one wholly past it selects
    // nothing.
    const int64_t lo = bars[static_cast<size_t>(k)];
    if (lo >= doc_->frames()) return;
    setSelection(FrameRange{lo, bars[static_cast<size_t>(k) + 1]});
    setCursor(lo);
}

int64_t EditorModel::snapFrame(int64_t f, double pixelsPerFrame) const {
    if (!snap_ || !analysis_ || !doc_ || analysis_->grid.beats.empty()) return f;
    int64_t best = 0;
    int64_t bestDistance = -1;
    for (double t : analysis_->grid.beats) {
        const int64_t b = roundFrame(t * doc_->sampleRate);
        const int64_t d = std::llabs(b - f);
        if (bestDistance < 0 || d < bestDistance) {
            best = b;
            bestDistance = d;
        }
    }
    if (pixelsPerFrame * static_cast<double>(bestDistance) > 8.0) return f;
    // A beat of a stale analysis may lie past the end of a shortened document.
    return std::min(best, doc_->frames());
}

// --- Analysis, pins and temp edits ---

void EditorModel::analyze(std::optional<double> bpm, std::optional<int> beatsPerBar) {
    if (!doc_) return;
    askedBpm_ = bpm;
    askedBeatsPerBar_ = beatsPerBar;
    setAnalyzing(true);
    const uint64_t gen = ++analysisGen_;
    background([channels = doc_->channels, sr = doc_->sampleRate, source = doc_->info.detected,
                name = doc_->url.filename().string(), bpm, beatsPerBar, gen]() -> Deliver {
        std::optional<MusicAnalysis> result;
        try {
            result = AnalysisPipeline::run(*channels, sr, source, name, bpm, beatsPerBar).analysis;
        } catch (const std::exception&) {
            // The pipeline is total on samples in memory; memory refused is
            // reported as no analysis.
        }
        auto shared = std::make_shared<std::optional<MusicAnalysis>>(std::move(result));
        return [gen, shared](EditorModel& m) { m.finishAnalysis(gen, std::move(*shared)); };
    });
}

void EditorModel::finishAnalysis(uint64_t gen, std::optional<MusicAnalysis> result) {
    // A newer analysis (of newer content or another file) is on its way.
    if (gen != analysisGen_) return;
    analysis_ = std::move(result);
    emit analysisChanged();
    setPins(analysis_ ? std::optional<Pins>(analysis_->structure.pins) : std::nullopt);
    setAnalyzing(false);
    if (!analysis_) setMessage("No steady pulse found; set the tempo by hand");
    replan();
}

// Without an analysis (no pulse found) the tempo and the bar length chosen
// by hand are kept for each other: a bar length chosen first waits for the
// tempo that lets the grid be built.
void EditorModel::setTempo(double bpm) {
    analyze(bpm, analysis_ ? std::optional<int>(analysis_->grid.beatsPerBar) : askedBeatsPerBar_);
}

void EditorModel::setBeatsPerBar(int n) {
    analyze(analysis_ ? std::optional<double>(analysis_->grid.bpm) : askedBpm_, n);
}

void EditorModel::movePin(PinKind kind, int64_t toFrame) {
    if (!pins_ || !doc_) return;
    const auto b = boundaries();
    if (b.empty()) return;
    const double t = static_cast<double>(toFrame) / doc_->sampleRate;
    int64_t k = 0;
    for (size_t i = 1; i < b.size(); ++i)
        if (std::abs(b[i] - t) < std::abs(b[static_cast<size_t>(k)] - t)) k = static_cast<int64_t>(i);
    const int64_t last = static_cast<int64_t>(b.size()) - 1;
    Pins p = *pins_;
    switch (kind) {
        case PinKind::introEnd: {
            const int64_t n = std::min(k, p.endingStart - 1);
            if (p.loopStart == p.introEnd) p.loopStart = n;
            p.introEnd = std::max<int64_t>(n, 0);
            p.loopEnd = std::max(p.loopEnd, p.loopStart + 1);
            break;
        }
        case PinKind::loopEnd: p.loopEnd = std::max(p.loopStart + 1, std::min(k, last)); break;
        case PinKind::endingStart:
            p.endingStart = std::max(std::min(k, last), p.introEnd + 1);
            p.musicEnd = std::max(p.musicEnd, p.endingStart);
            p.finalHit = std::max(p.finalHit, p.endingStart);
            break;
    }
    setPins(p);
    replan();
}

void EditorModel::resetPins() {
    setPins(analysis_ ? std::optional<Pins>(analysis_->structure.pins) : std::nullopt);
    replan();
}

void EditorModel::replan() {
    if (!doc_ || !analysis_ || !pins_) {
        setPlans({});
        return;
    }
    StructureResult structure = analysis_->structure;
    structure.pins = *pins_;
    setPlans(TempEditPlanner::plans(analysis_->grid, structure, doc_->sampleRate, doc_->frames(), options_));
}

std::filesystem::path EditorModel::editsFolder(const std::filesystem::path& url, const SettingsStore& settings) {
    const std::string name = url.stem().string() + " Edits";
    const auto folder = url.parent_path();
    if (settings.value().tempEditsBesideSource && FileAccess::isWritable(folder.empty() ? "." : folder))
        return folder / name;
    return std::filesystem::path(settings.value().pullsFolder) / "Edits" / name;
}

std::vector<std::string> EditorModel::notesHeader(const std::string& name, const std::filesystem::path& url,
                                                  const MusicAnalysis& analysis, const Pins& pins) {
    std::vector<std::string> lines{"Quillmarsh temp edits: " + name, "Source: " + url.string(),
                                   "Analysis: " + analysis.summary()};
    if (pins.loopFile) {
        const auto bars = static_cast<int64_t>(analysis.grid.boundaries().size()) - 1;
        lines.push_back(fmt::format("Pins: seamless loop file ({} bars)", bars));
    } else {
        lines.push_back(fmt::format("Pins: Intro to b{} \u00b7 Loop b{}\u2013b{} \u00b7 Ending from b{} \u00b7 music ends at b{}",
                                    std::max<int64_t>(pins.introEnd - 1, 0) + 1, pins.loopStart + 1, pins.loopEnd,
                                    pins.endingStart + 1, pins.musicEnd + 1));
    }
    for (const auto& note : analysis.structure.notes) lines.push_back("Note: " + note);
    lines.emplace_back(
        "Every edit is a bar-line splice with a 30 ms crossfade ending on the downbeat. Nothing is time-stretched.");
    return lines;
}

void EditorModel::makeTempEdits() {
    if (!doc_ || !analysis_ || !pins_ || plans_.empty()) return;
    setBusy(std::string(kWritingEdits));
    TempEditExporter::Job job;
    job.base = doc_->url.stem().string();
    job.folder = TempEditExporter::ownFolder(editsFolder(doc_->url, settings_), doc_->url, job.base);
    job.header = notesHeader(job.base, doc_->url, *analysis_, *pins_);
    job.mask = TempEditExporter::mask(static_cast<int>(doc_->channels->size()));
    job.plans = plans_;
    job.sampleRate = doc_->sampleRate;
    job.options = options_;
    const uint64_t gen = docGen_;
    auto shared = std::make_shared<TempEditExporter::Job>(std::move(job));
    background([shared, channels = doc_->channels, gen]() -> Deliver {
        try {
            auto result = TempEditExporter::write(*shared, *channels);
            return [gen, result](EditorModel& m) {
                m.clearBusy(kWritingEdits);
                // The files are written either way; the record belongs to the
                // document they were made from.
                if (gen == m.docGen_) {
                    m.lastExport_ = result;
                    emit m.lastExportChanged();
                }
                m.setMessage(fmt::format("{} edits written", result.files.size()));
                emit m.revealRequested({result.folder});
            };
        } catch (const std::exception& e) {
            return [text = describe(e)](EditorModel& m) {
                m.clearBusy(kWritingEdits);
                m.setMessage(text);
            };
        }
    });
}

}  // namespace qm
