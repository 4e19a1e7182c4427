#include "app/player/PlayerModel.h"

#include <QPointer>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/core/Handoff.h"
#include "app/core/SettingsStore.h"
#include "app/core/TimeText.h"
#include "app/core/WaveformCache.h"
#include "app/core/WaveformLoader.h"
#include "audio/FrameSource.h"
#include "audio/UpmixRequest.h"
#include "platform/AppError.h"
#include "playback/PlaybackEngine.h"
#include "playback/PlaybackSession.h"

namespace qm {

namespace {

std::string describe(const std::exception& e) {
    if (auto* app = dynamic_cast<const AppError*>(&e)) return app->description();
    return e.what();
}

bool complete(const WaveformData& w) { return w.loadedBuckets >= w.bucketCount; }

}  // namespace

// The player's serial worker: items run one after another, in the order
// submitted, on one thread named "QM.Loader". Items still waiting when the
// player goes are dropped; the one running is waited for.
class PlayerModel::Loader {
public:
    Loader() : thread_([this] { run(); }) {}
    ~Loader() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closing_ = true;
            items_.clear();
        }
        wake_.notify_one();
        thread_.join();
    }

    void submit(std::function<void()> item) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            items_.push_back(std::move(item));
        }
        wake_.notify_one();
    }

private:
    void run() {
        pthread_setname_np(pthread_self(), "QM.Loader");
        for (;;) {
            std::function<void()> item;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [&] { return closing_ || !items_.empty(); });
                if (closing_) return;
                item = std::move(items_.front());
                items_.pop_front();
            }
            item();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> items_;
    bool closing_ = false;
    std::thread thread_;
};

PlayerModel::PlayerModel(PlaybackEngine& engine, SettingsStore& settings, QObject* parent)
    : QObject(parent),
      upmix_(settings.value().upmix),
      engine_(engine),
      settings_(settings),
      queue_(std::make_unique<Loader>()) {
    QPointer<PlayerModel> self(this);
    engine_.onDeviceChange = [self] {
        if (self) self->deviceChanged();
    };
    engine_.onOutputChange = [self] {
        if (self) emit self->outputChanged();
    };
    prepareHeadphones();
}

// On a headphone profile, the binaural renderer is begun on its worker now,
// so that the first play does not wait for it.
void PlayerModel::prepareHeadphones() {
    const OutputProfile profile = settings_.activeProfile();
    if (profile.kind == OutputProfile::Kind::headphones) engine_.prepareBinaural(profile.deviceUID);
}

PlayerModel::~PlayerModel() {
    // The loader's items post to this object: none may run once it is gone.
    queue_.reset();
}

// --- Publishing ---

void PlayerModel::setMessage(std::optional<std::string> text) {
    if (message_ == text) return;
    message_ = std::move(text);
    emit messageChanged();
}

void PlayerModel::setInfo(std::optional<AudioFileInfo> info) {
    if (info_ == info) return;
    info_ = std::move(info);
    emit infoChanged();
}

void PlayerModel::setWaveform(std::shared_ptr<const WaveformData> waveform) {
    if (waveform_ == waveform) return;
    waveform_ = std::move(waveform);
    emit waveformChanged();
}

void PlayerModel::setIsPlaying(bool on) {
    if (isPlaying_ == on) return;
    isPlaying_ = on;
    emit isPlayingChanged();
}

void PlayerModel::setSelection(const std::optional<FrameRange>& range) {
    if (selection_ == range) return;
    selection_ = range;
    emit selectionChanged();
}

// --- Loading ---

void PlayerModel::load(const std::filesystem::path& url, bool autoPlay) {
    // The shown file again, unless another file is on its way: then this is
    // a new load, or the pending file would win over the one asked for last.
    if (info_ && info_->url == url && !loadPending_) {
        if (autoPlay && !isPlaying_) play(std::nullopt);
        return;
    }
    const uint64_t gen = ++loadGen_;
    loadPending_ = true;
    file_ = url;
    stopPlayback();
    if (waveLoader_) waveLoader_->cancel();
    setSelection(std::nullopt);
    cueFrame_ = 0;
    playhead_.setFrame(0);
    setMessage(std::nullopt);

    queue_->submit([this, url, gen, autoPlay] {
        std::optional<AudioFileInfo> facts;
        try {
            facts = AudioFileInfo::load(url);
        } catch (const std::exception&) {
            // Only the file's name is shown, not the reader's own text.
        }
        handoff::toThreadOf(this, [this, url, gen, autoPlay, facts = std::move(facts)]() mutable {
            if (gen != loadGen_) return;
            loadPending_ = false;
            if (!facts) {
                setInfo(std::nullopt);
                setWaveform(nullptr);
                setMessage(kCantRead + url.filename().string());
            } else {
                didLoad(std::move(*facts), autoPlay);
            }
            emit loadFinished();
        });
    });
}

void PlayerModel::didLoad(AudioFileInfo info, bool autoPlay) {
    const std::filesystem::path url = info.url;
    setInfo(std::move(info));
    setFormatOverride(std::nullopt);
    keepDragExportOffered();

    auto cached = WaveformCache::shared().get(url);
    if (cached && complete(*cached)) {
        setWaveform(cached);
        if (autoPlay) play(std::nullopt);
        return;
    }
    setWaveform(nullptr);
    waveLoader_ = WaveformLoader::load(
        url,
        [this, url](std::shared_ptr<const WaveformData> snapshot) {
            // A loader cancelled too late may still deliver: only the shown
            // file's overview is taken.
            if (!info_ || info_->url != url) return;
            setWaveform(snapshot);
            if (complete(*snapshot)) WaveformCache::shared().set(url, snapshot);
        },
        this);
    if (autoPlay) play(std::nullopt);
}

// --- Transport ---

void PlayerModel::play(std::optional<int64_t> start) {
    const std::optional<SourceFormat> format = source();
    if (!info_ || !format) return;
    if (onWillPlay) onWillPlay();

    int64_t begin = start.value_or(cueFrame_);
    int64_t end = info_->frames;
    int64_t loopStart = 0;
    if (selection_) {
        loopStart = selection_->lower;
        end = selection_->upper;
        if (!selection_->contains(begin)) begin = selection_->lower;
    }
    if (begin >= end) begin = selection_ ? selection_->lower : 0;

    const OutputProfile profile = settings_.activeProfile();
    const AudioFileInfo info = *info_;
    std::shared_ptr<PlaybackSession> session;
    try {
        session = engine_.begin({
            .deviceUID = profile.deviceUID,
            .binaural = profile.kind == OutputProfile::Kind::headphones,
            .mix = [&](int deviceChannels) { return makeConfig(info, *format, profile, deviceChannels); },
            .source = [url = info.url]() -> std::shared_ptr<FrameSource> {
                return std::make_shared<FileSource>(url);
            },
            .range = {.start = begin, .end = end, .loop = loop_, .loopStart = loopStart, .loopEnd = end},
        });
    } catch (const std::exception& e) {
        setMessage(describe(e));
        return;
    }
    session_ = session;
    const uint64_t gen = ++playGen_;
    queue_->submit([this, session, gen, begin] {
        std::optional<std::string> failure;
        try {
            session->prepare();
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        handoff::toThreadOf(this, [this, session, gen, begin, failure] {
            // A start overtaken by a newer start, a stop or a load shows
            // nothing, not even its error: that would land on another file.
            if (gen != playGen_) return;
            if (failure) return setMessage(*failure);
            try {
                if (!session->start()) return;
            } catch (const std::exception& e) {
                setMessage(describe(e));
                return;
            }
            playhead_.setFrame(static_cast<double>(begin));
            setIsPlaying(true);
            startTimer();
        });
    });
}

void PlayerModel::togglePlay() {
    if (isPlaying_) {
        stop();
    } else {
        play(std::nullopt);
    }
}

void PlayerModel::stop() {
    stopPlayback();
    playhead_.setFrame(static_cast<double>(selection_ ? selection_->lower : cueFrame_));
}

void PlayerModel::stopPlayback() {
    // Always: a start still on the loader thread is voided.
    ++playGen_;
    if (!isPlaying_ && !timer_) return;
    if (session_) session_->stop();
    setIsPlaying(false);
    stopTimer();
}

void PlayerModel::startTimer() {
    stopTimer();
    timer_ = std::make_unique<QTimer>();
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(kTickMs);
    connect(timer_.get(), &QTimer::timeout, this, &PlayerModel::tick);
    timer_->start();
}

void PlayerModel::stopTimer() {
    if (!timer_) return;
    timer_->stop();
    // The timer may be the sender of the signal being handled right now.
    timer_.release()->deleteLater();
}

void PlayerModel::tick() {
    if (!isPlaying_ || !session_) return;
    if (!session_->isCurrent()) {
        // Another player began a session: the engine is no longer ours, and
        // its sound is not ours to stop.
        ++playGen_;
        setIsPlaying(false);
        stopTimer();
        playhead_.setFrame(static_cast<double>(selection_ ? selection_->lower : cueFrame_));
        return;
    }
    playhead_.setFrame(session_->position());
    if (session_->finished()) stop();
}

void PlayerModel::seek(int64_t frame) {
    if (!info_) return;
    const int64_t f = std::max<int64_t>(std::min<int64_t>(frame, info_->frames - 1), 0);
    if (selection_ && !selection_->contains(f)) setSelection(std::nullopt);
    cueFrame_ = f;
    playhead_.setFrame(static_cast<double>(f));
    play(f);
}

void PlayerModel::select(const std::optional<FrameRange>& range) {
    const int64_t minimum = info_ ? static_cast<int64_t>(info_->sampleRate * 0.01) : 480;
    if (range && range->length() > minimum) {
        setSelection(range);
        cueFrame_ = range->lower;
        play(range->lower);
    } else {
        setSelection(std::nullopt);
    }
}

void PlayerModel::clearSelection() {
    setSelection(std::nullopt);
    if (isPlaying_) play(currentFrame());
}

void PlayerModel::setLoop(bool on) {
    if (loop_ == on) return;
    loop_ = on;
    emit loopChanged();
    if (isPlaying_) play(currentFrame());
}

void PlayerModel::setVolumeDB(double dB) {
    engine_.setGain(dB <= -60 ? 0.0 : std::pow(10.0, dB / 20.0));
    if (volumeDB_ == dB) return;
    volumeDB_ = dB;
    emit volumeDBChanged();
}

int64_t PlayerModel::currentFrame() const { return static_cast<int64_t>(playhead_.frame()); }

std::string PlayerModel::time(double seconds) { return timeText(seconds); }

std::string PlayerModel::output() const { return engine_.outputDescription(); }

void PlayerModel::deviceChanged() {
    const bool wasPlaying = isPlaying_;
    const int64_t frame = currentFrame();
    const std::string before = engine_.outputSystem();
    stopPlayback();
    try {
        const OutputProfile profile = settings_.activeProfile();
        engine_.configure({.deviceUID = profile.deviceUID,
                           .force = true,
                           .binaural = profile.kind == OutputProfile::Kind::headphones});
    } catch (const std::exception& e) {
        setMessage(kDeviceChanged + describe(e));
        return;
    }
    // Another system plays now (the one in use stopped), or none does and
    // playback goes on silently: either way the message names the output.
    if (auto notice = engine_.outputNotice(before)) setMessage(*notice);
    if (wasPlaying) play(frame);
}

// --- Source, listen, rotation, upmix and profile ---

std::optional<SourceFormat> PlayerModel::source() const {
    if (formatOverride_) return formatOverride_;
    if (info_) return info_->detected;
    return std::nullopt;
}

MixConfig PlayerModel::makeConfig(const AudioFileInfo& info, const SourceFormat& source,
                                  const OutputProfile& profile, int deviceChannels) const {
    return MixBuilder::config(source, info.channels, profile, deviceChannels,
                              info.channels == 2 ? listen_ : ListenMode::normal, rotation_,
                              settings_.value().monoToCenter, upmix_, engine_.deviceSpeakers());
}

void PlayerModel::applyConfig() {
    if (!engine_.isConfigured()) return;
    const std::optional<SourceFormat> format = source();
    if (!info_ || !format) return;
    // While another player holds the engine its mix is not ours to replace;
    // our next start builds the mix afresh.
    if (!session_ || !session_->isCurrent()) return;
    engine_.setConfig(makeConfig(*info_, *format, settings_.activeProfile(), engine_.deviceChannels()));
}

void PlayerModel::keepDragExportOffered() {
    const auto options = dragOptions();
    if (std::find(options.begin(), options.end(), dragExport_) == options.end())
        setDragExport(DragExport::original());
}

void PlayerModel::sourceChanged() {
    keepDragExportOffered();
    applyConfig();
}

void PlayerModel::setFormatOverride(const std::optional<SourceFormat>& format) {
    if (formatOverride_ == format) return;
    formatOverride_ = format;
    emit formatOverrideChanged();
    sourceChanged();
}

void PlayerModel::setListen(ListenMode mode) {
    if (listen_ == mode) return;
    listen_ = mode;
    emit listenChanged();
    applyConfig();
}

void PlayerModel::setRotation(const Rotation& rotation) {
    if (rotation_ == rotation) return;
    rotation_ = rotation;
    emit rotationChanged();
    applyConfig();
}

void PlayerModel::setUpmix(const UpmixSettings& upmix) {
    if (upmix_ == upmix) return;
    upmix_ = upmix;
    settings_.update([&](AppSettings& s) { s.upmix = upmix; });
    emit upmixChanged();
    keepDragExportOffered();
    applyConfig();
}

bool PlayerModel::canUpmix() const {
    const std::optional<SourceFormat> format = source();
    if (!info_ || !format) return false;
    const std::vector<SpeakerID>* speakers = format->speakerList();
    if (!speakers || static_cast<int>(speakers->size()) != info_->channels) return false;
    const OutputProfile profile = settings_.activeProfile();
    const LayoutID target = profile.kind == OutputProfile::Kind::headphones ? LayoutID::l714 : profile.layout;
    return UpmixPlanner::applies(*speakers, layout::speakers(target));
}

std::vector<std::string> PlayerModel::laneLabels() const {
    const std::optional<SourceFormat> format = source();
    if (!info_ || !format) return {};
    const int n = std::min(info_->channels, 16);
    std::vector<std::string> labels;
    if (const std::vector<SpeakerID>* list = format->speakerList()) {
        if (*list == std::vector<SpeakerID>{SpeakerID::C}) return {""};
        for (int i = 0; i < n && i < static_cast<int>(list->size()); ++i)
            labels.push_back(speaker::label((*list)[static_cast<size_t>(i)], *list));
    } else if (const SourceFormat::Ambisonic* ambi = format->asAmbisonic()) {
        static const char* const kFuMa[] = {"W", "X", "Y", "Z"};
        static const char* const kACN[] = {"W", "Y", "Z", "X"};
        const bool fuma = ambi->norm == AmbiNorm::fuma;
        for (int i = 0; i < n && !(fuma && i >= 4); ++i)
            labels.push_back(i < 4 ? (fuma ? kFuMa : kACN)[i] : std::to_string(i));
    } else {
        for (int i = 1; i <= n; ++i) labels.push_back(std::to_string(i));
    }
    return labels;
}

void PlayerModel::selectProfile(const Uuid& id) {
    if (settings_.value().activeProfileID == id) return;
    settings_.update([&](AppSettings& s) { s.activeProfileID = id; });
    profileChanged();
}

void PlayerModel::profileChanged() {
    const bool wasPlaying = isPlaying_;
    const int64_t frame = currentFrame();
    try {
        const OutputProfile profile = settings_.activeProfile();
        engine_.configure(
            {.deviceUID = profile.deviceUID, .binaural = profile.kind == OutputProfile::Kind::headphones});
    } catch (const std::exception& e) {
        setMessage(describe(e));
        return;
    }
    if (wasPlaying) {
        play(frame);
    } else {
        applyConfig();
    }
}

// --- Drag-out ---

std::vector<DragExport> PlayerModel::dragOptions() const {
    const std::optional<SourceFormat> format = source();
    std::vector<DragExport> options{DragExport::original()};
    if (!format) return options;
    const std::vector<SpeakerID>* speakers = format->speakerList();
    if (speakers && speakers->size() > 2) {
        options = {DragExport::original(),          DragExport::bed(LayoutID::l916), DragExport::bed(LayoutID::l714),
                   DragExport::bed(LayoutID::l51),  DragExport::bed(LayoutID::stereo), DragExport::binaural()};
    } else if (format->isAmbisonic()) {
        options = {DragExport::original(),         DragExport::bed(LayoutID::l916), DragExport::bed(LayoutID::l714),
                   DragExport::bed(LayoutID::l712), DragExport::bed(LayoutID::l51),  DragExport::bed(LayoutID::stereo),
                   DragExport::binaural()};
    }
    if (upmix_.enabled && info_ && speakers && static_cast<int>(speakers->size()) == info_->channels) {
        for (LayoutID l : {LayoutID::l916, LayoutID::l714, LayoutID::l51})
            if (UpmixPlanner::applies(*speakers, layout::speakers(l))) options.push_back(DragExport::upmix(l));
    }
    return options;
}

void PlayerModel::setDragExport(const DragExport& form) {
    if (dragExport_ == form) return;
    dragExport_ = form;
    emit dragExportChanged();
}

std::optional<std::filesystem::path> PlayerModel::exportForDrag(bool selectionOnly) {
    const std::optional<SourceFormat> format = source();
    if (!info_ || !format) return std::nullopt;
    const AppSettings& s = settings_.value();
    Exporter::Request request{
        .info = *info_,
        .source = *format,
        .range = std::nullopt,
        .mode = dragExport_,
        .rotation = rotation_,
        // The listen mode is for listening only; files always hold the source.
        .listen = ListenMode::normal,
        .monoToCenter = s.monoToCenter,
        .folder = std::filesystem::path(s.pullsFolder),
        .upmix = upmix_.params,
        .upmixName = std::string(upmixPreset::displayName(upmix_.preset)),
        .loop = loop_,
    };
    if (selectionOnly && selection_) request.range = Exporter::Range{selection_->lower, selection_->upper};
    try {
        return Exporter::exportPull(request);
    } catch (const std::exception& e) {
        setMessage(describe(e));
        return std::nullopt;
    }
}

}  // namespace qm
