#include "playback/PlaybackEngine.h"

#include "playback/AudioDevices.h"
#include "playback/RenderContext.h"
#include "audio/StreamReader.h"
#include "spatial/Upmixer.h"
#include "platform/AppError.h"
#include "platform/AudioOutput.h"
#include "platform/BinauralRenderer.h"
#include "platform/MainQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <time.h>

namespace qm {

// One binaural renderer being made, or made, for one rate. The worker
// writes `renderer` and `cpuSeconds` and then sets `done`.
struct PlaybackEngine::BinauralBuild {
    double rate = 0;
    std::unique_ptr<BinauralRenderer> renderer;  // null when the HRTF set could not be loaded
    double cpuSeconds = 0;
    std::atomic<bool> done{false};
    std::promise<void> finished;
    std::shared_future<void> ready = finished.get_future().share();
    std::thread worker;
};

// An output left for another while it played: it runs on, on the render
// context it was opened with, while its mix fades out over one callback and
// the device plays what was rendered; then it closes. The engine's render
// context is a new one, for the next output.
struct PlaybackEngine::Leaving {
    std::unique_ptr<RenderContext> ctx;  // declared first: the output stops before it goes
    std::unique_ptr<AudioOutput> output;
    int64_t faded = 0;   // callbacks completed once the fade is rendered
    int64_t played = 0;  // and once the device has played it
    std::optional<MainQueue::Token> closing;
};

PlaybackEngine::PlaybackEngine(MainQueue& mainQueue)
    : main_(mainQueue),
      ctx_(std::make_unique<RenderContext>()),
      self_(std::make_shared<PlaybackEngine*>(this)) {}

PlaybackEngine::~PlaybackEngine() {
    if (auto session = session_.lock()) session->end();
    if (idleWork_) main_.cancel(*idleWork_);
    teardown();
    for (auto& b : builds_)
        if (b->worker.joinable()) b->worker.join();
    // Pending main-queue work may still hold readers, records and upmixers;
    // with the output closed nothing reads them any more.
}

std::string PlaybackEngine::outputDescription() const {
    return output_ ? output_->description() : std::string();
}

std::string PlaybackEngine::outputSystem() const {
    return output_ ? outputUID_.substr(0, outputUID_.find(':')) : std::string();
}

std::optional<std::string> PlaybackEngine::outputNotice(const std::string& before) const {
    if (!isSilent() && outputSystem() == before) return std::nullopt;
    return kOutputChanged + outputDescription();
}

bool PlaybackEngine::isRunning() const { return output_ && output_->isRunning(); }

int64_t PlaybackEngine::xruns() const { return output_ ? output_->xruns() : 0; }

int64_t PlaybackEngine::starvedFrames() const { return mn_i64_load(ctx_->starved); }

double PlaybackEngine::longestRender() const { return output_ ? output_->longestRender() : 0.0; }

double PlaybackEngine::longestRenderCPU() const { return output_ ? output_->longestRenderCPU() : 0.0; }

double PlaybackEngine::period() const { return output_ ? output_->period() : 0.0; }

int64_t PlaybackEngine::callbacks() const { return output_ ? output_->callbacks() : 0; }

double PlaybackEngine::renderCPU() const { return output_ ? output_->renderCPU() : 0.0; }

double PlaybackEngine::renderCPUUnder(double fraction) const {
    return output_ ? output_->renderCPUUnder(fraction) : 0.0;
}

void PlaybackEngine::setGain(double linear) { mn_f64_store(ctx_->gain, linear); }

double PlaybackEngine::gain() const { return mn_f64_load(ctx_->gain); }

namespace {

// The server lists its devices with the system's own first; that one is the
// default, as is any device asked for by a UID nobody has. Null when none.
const OutputEndpoint* chosenDevice(const std::vector<OutputEndpoint>& devices,
                                   const std::optional<std::string>& deviceUID) {
    if (deviceUID)
        for (const auto& d : devices)
            if (d.uid == *deviceUID) return &d;
    return devices.empty() ? nullptr : &devices.front();
}

}  // namespace

void PlaybackEngine::configure(const Output& wanted) {
    const std::optional<std::string>& deviceUID = wanted.deviceUID;
    const std::string key = deviceUID.value_or("default");
    std::optional<std::vector<OutputEndpoint>> listed;
    if (!wanted.force && output_ && configuredKey_ == key) {
        // An output of a lower system than the one asked for (the silent
        // output, ALSA while the PipeWire daemon was away, PipeWire while
        // the JACK server was) stands in only while no system above its own
        // answers: one that does now (a server started or back) is used
        // instead.
        if (standIn_) listed = AudioOutputs::listAbove(outputUID_);
        if (!listed) {
            if (wanted.binaural) requestBinaural();
            return;
        }
    }
    leave();

    const std::vector<OutputEndpoint> devices = listed ? std::move(*listed) : AudioOutputs::list();
    const OutputEndpoint* chosen = chosenDevice(devices, deviceUID);
    if (!chosen || chosen->channels < 1) throw AppError(10, "Output device has no usable channels");

    std::weak_ptr<PlaybackEngine*> weak = self_;
    const uint64_t generation = ++generation_;
    MainQueue* queue = &main_;
    auto onChange = [weak, generation, queue] {
        // On a sound-server thread: hop to the main thread.
        queue->after(0.0, [weak, generation] {
            auto self = weak.lock();
            if (!self || (*self)->generation_ != generation) return;
            PlaybackEngine* engine = *self;
            engine->configuredKey_.reset();  // the next configure rebuilds
            // A session playing on this output is over; its owner learns why.
            if (auto session = engine->session_.lock(); session && session->isPlaying()) session->loseOutput();
            if (engine->onDeviceChange) engine->onDeviceChange();
        });
    };
    std::unique_ptr<AudioOutput> output =
        AudioOutputs::open(*chosen, &RenderContext::renderCallback, ctx_.get(), onChange);
    if (output->channels() < 1 || !(output->sampleRate() > 0)) {
        throw AppError(10, "Output device has no usable channels");
    }
    deviceChannels_ = std::min(output->channels(), RenderContext::maxDeviceChannels);
    sampleRate_ = output->sampleRate();
    ctx_->setSampleRate(sampleRate_);  // nothing renders before start()
    deviceSpeakers_ = AudioDevices::speakersAt(chosen->positions);
    if (deviceSpeakers_.size() > static_cast<size_t>(deviceChannels_))
        deviceSpeakers_.resize(static_cast<size_t>(deviceChannels_));
    deviceName_ = AudioDevices::name(deviceUID, devices);  // the server is asked once
    silent_ = chosen->uid == AudioOutputs::nullUID;
    outputUID_ = chosen->uid;
    // The system asked for: the named device's, else the best this key was
    // played on since it was asked for (a default on PipeWire that never
    // had a JACK server does not ask for one at every start).
    const int rank = AudioOutputs::rank(outputUID_);
    bestRank_ = rankedKey_ == key ? std::min(bestRank_, rank) : rank;
    rankedKey_ = key;
    standIn_ = silent_ || rank > (deviceUID ? AudioOutputs::rank(*deviceUID) : bestRank_);

    output_ = std::move(output);
    configuredKey_ = key;
    if (wanted.binaural || waiting_) requestBinaural();
    adoptBinaural();
    if (onOutputChange) onOutputChange();
}

int PlaybackEngine::binauralBuilds() const { return static_cast<int>(builds_.size()); }

double PlaybackEngine::lastBinauralBuildCPU() const {
    for (auto it = builds_.rbegin(); it != builds_.rend(); ++it)
        if ((*it)->done.load()) return (*it)->cpuSeconds;
    return 0.0;
}

// A missing or unreadable HRTF set leaves the rate without a binaural
// renderer: speaker playback works, binaural configurations are silent.
std::shared_ptr<PlaybackEngine::BinauralBuild> PlaybackEngine::requestBinaural(double rate) {
    if (!(rate > 0)) rate = sampleRate_;
    for (const auto& b : builds_)
        if (b->rate == rate) return b;
    auto build = std::make_shared<BinauralBuild>();
    build->rate = rate;
    std::weak_ptr<PlaybackEngine*> weak = self_;
    MainQueue* queue = &main_;
    BinauralBuild* b = build.get();
    build->worker = std::thread([b, weak, queue] {
        pthread_setname_np(pthread_self(), "QM.Binaural");
        timespec t0{}, t1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
        try {
            b->renderer = std::make_unique<BinauralRenderer>(b->rate);
        } catch (const std::exception&) {
            b->renderer.reset();
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
        b->cpuSeconds = double(t1.tv_sec - t0.tv_sec) + 1e-9 * double(t1.tv_nsec - t0.tv_nsec);
        b->done.store(true);
        b->finished.set_value();
        queue->after(0.0, [weak] {
            if (auto self = weak.lock()) (*self)->adoptBinaural();
        });
    });
    builds_.push_back(build);
    return build;
}

void PlaybackEngine::prepareBinaural(const std::optional<std::string>& deviceUID) {
    if (output_ && configuredKey_ == deviceUID.value_or("default")) {
        requestBinaural();
        return;
    }
    // The device configure() would choose.
    const std::vector<OutputEndpoint> devices = AudioOutputs::list();
    const OutputEndpoint* chosen = chosenDevice(devices, deviceUID);
    requestBinaural(chosen && chosen->rate > 0 ? chosen->rate : sampleRate_);
}

void PlaybackEngine::adoptBinaural() {
    std::shared_ptr<BinauralBuild> build;
    for (const auto& b : builds_)
        if (b->rate == sampleRate_ && b->done.load()) build = b;
    if (!build) return;
    if (build->worker.joinable()) build->worker.join();  // it has finished
    if (binaural_ != build->renderer.get()) {
        binaural_ = build->renderer.get();
        placeVirtualSources();
        ctx_->setBinauralRenderer(binaural_);
    }
    if (waiting_) {
        MixConfig config = std::move(*waiting_);
        waiting_.reset();
        publish(config);
    }
}

// The renderer in place takes the directions of the last binaural mix
// (ignored for one already there).
void PlaybackEngine::placeVirtualSources() {
    if (!binaural_) return;
    const size_t n = std::min<size_t>(directions_.size(), BinauralRenderer::maxSources);
    for (size_t i = 0; i < n; ++i) binaural_->setDirection(static_cast<int>(i), directions_[i].az, directions_[i].el);
}

void PlaybackEngine::teardown() {
    ++generation_;
    leaving_.reset();
    if (output_) output_->pause();
    output_.reset();
    ctx_->setBinauralRenderer(nullptr);
    binaural_ = nullptr;
    ctx_->restartFromSilence();
    if (upmixer_) mn_upmix_reset(upmixer_->raw());
}

// The output in use goes: at once when it stopped (paused, or its server
// gone), else once its mix has faded out (see Leaving): also a stream just
// stopped may still be fading, and one whose device went renders into
// nothing and is closed when its callbacks stall.
void PlaybackEngine::leave() {
    closeLeaving();
    if (!output_ || !output_->isRunning()) {
        teardown();
        return;
    }
    ++generation_;  // its reports are no longer ours
    if (!spare_ && spareMade_.valid()) spare_ = spareMade_.get();
    std::unique_ptr<RenderContext> next = spare_ ? std::move(spare_) : std::make_unique<RenderContext>();
    mn_f64_store(next->gain, mn_f64_load(ctx_->gain));
    mn_f64_store(next->position, mn_f64_load(ctx_->position));
    mn_i64_store(next->starved, mn_i64_load(ctx_->starved));
    // Without a ring and a record the next whole callback fades the mix
    // out; after it the context touches neither.
    mn_slot_store(ctx_->ringSlot, nullptr);
    mn_slot_store(ctx_->cfgSlot, nullptr);
    auto left = std::make_unique<Leaving>();
    const int64_t done = output_->callbacks();
    left->faded = done + 2;  // the one under way may have taken the record still
    left->played = left->faded + output_->queuedPeriods() + 1;
    const double seconds = static_cast<double>(left->played - done) * output_->period() + 0.05;
    left->ctx = std::move(ctx_);
    left->output = std::move(output_);
    ctx_ = std::move(next);
    binaural_ = nullptr;
    std::weak_ptr<PlaybackEngine*> weak = self_;
    left->closing = main_.after(seconds, [weak] {
        auto self = weak.lock();
        if (!self || !(*self)->leaving_) return;
        (*self)->leaving_->closing.reset();
        (*self)->closeLeaving();
    });
    leaving_ = std::move(left);
}

// Waits until the output left has completed `count` callbacks, while it
// runs and its callbacks go on (two periods and 10 ms at most without one);
// whether it has.
bool PlaybackEngine::waitForLeaving(int64_t count) const {
    using clock = std::chrono::steady_clock;
    const AudioOutput& out = *leaving_->output;
    const auto patience = std::chrono::duration<double>(2 * out.period() + 0.010);
    int64_t seen = out.callbacks();
    auto progress = clock::now();
    while (seen < count && out.isRunning() && clock::now() - progress < patience) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (const int64_t n = out.callbacks(); n != seen) {
            seen = n;
            progress = clock::now();
        }
    }
    return seen >= count;
}

// Closes the output left, once the device has played its fade (or it
// stalled) unless `now`.
void PlaybackEngine::closeLeaving(bool now) {
    if (!leaving_) return;
    if (!now) waitForLeaving(leaving_->played);
    if (leaving_->closing) main_.cancel(*leaving_->closing);
    leaving_->output.reset();
    // Its context (megabytes of scratch memory) serves the next output left.
    spare_ = std::move(leaving_->ctx);
    spare_->setBinauralRenderer(nullptr);
    spare_->restartFromSilence();
    leaving_.reset();
}

void PlaybackEngine::setConfig(const MixConfig& config) {
    if (config.toBinaural && !binaural_) {
        if (!requestBinaural()->done.load()) {
            // The mix before it plays on until the renderer is in place.
            waiting_ = config;
            return;
        }
        adoptBinaural();
    }
    waiting_.reset();
    publish(config);
}

void PlaybackEngine::publish(const MixConfig& config) {
    Upmixer::follow(upmixer_, config.upmix, sampleRate_, main_);

    std::shared_ptr<RealtimeMix> record =
        makeRealtimeMix(config, config.upmix && upmixer_ ? upmixer_->raw() : nullptr);

    if (config.toBinaural) {
        directions_ = config.virtualDirections;
        placeVirtualSources();
    }

    mn_slot_store(ctx_->cfgSlot, &record->record);
    retireLater(main_, std::move(mix_));
    mix_ = std::move(record);
}

std::shared_ptr<PlaybackSession> PlaybackEngine::begin(PlayRequest request) {
    configure({.deviceUID = request.deviceUID, .binaural = request.binaural});
    if (request.mix) setConfig(request.mix(deviceChannels_));
    request.mix = nullptr;  // its captures need not outlive this call
    if (auto previous = session_.lock()) previous->end();
    auto session = std::make_shared<PlaybackSession>(PlaybackSession::Key{}, self_, std::move(request),
                                                     sampleRate_);
    // Its stream is prepared while the renderer is made; it starts with both.
    if (waiting_) session->binaural_ = requestBinaural()->ready;
    session_ = session;
    return session;
}

void PlaybackEngine::play(std::shared_ptr<StreamReader> reader, double startPosition) {
    adoptBinaural();
    mn_i64_store(ctx_->finished, 0);
    mn_f64_store(ctx_->position, startPosition);
    mn_slot_store(ctx_->ringSlot, reader ? reader->ring() : nullptr);
    retire(std::move(stream_));
    stream_ = std::move(reader);
    if (stream_) stream_->start();
    ensureRunning();
}

void PlaybackEngine::stopStream() {
    mn_slot_store(ctx_->ringSlot, nullptr);
    retire(std::move(stream_));
    stream_.reset();
    scheduleIdle();
}

// Only while the output is stopped: the first callback after a start then
// fades the current ring and record in from silence.
void PlaybackEngine::resetRenderState() {
    ctx_->restartFromSilence();
    if (upmixer_) mn_upmix_reset(upmixer_->raw());
    if (binaural_) binaural_->reset();
}

void PlaybackEngine::ensureRunning() {
    if (idleWork_) {
        main_.cancel(*idleWork_);
        idleWork_.reset();
    }
    if (output_ && !output_->isRunning()) {
        // The output left may share the upmix kernel or the binaural
        // renderer with the new mix: its fade is rendered before they are
        // reset and the new output runs them. It may play on meanwhile.
        if (leaving_ && !waitForLeaving(leaving_->faded)) closeLeaving(true);
        resetRenderState();
        output_->start();
        if (!spare_ && !spareMade_.valid()) {
            try {
                spareMade_ = std::async(std::launch::async, [] { return std::make_unique<RenderContext>(); });
            } catch (const std::system_error&) {
                // No thread to spare: the first output left makes its own.
            }
        }
        // One that has played its fade by now goes at once.
        if (leaving_ && leaving_->output->callbacks() >= leaving_->played) closeLeaving(true);
    }
}

void PlaybackEngine::scheduleIdle() {
    if (idleWork_) main_.cancel(*idleWork_);
    std::weak_ptr<PlaybackEngine*> weak = self_;
    idleWork_ = main_.after(idleSeconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        PlaybackEngine* e = *self;
        e->idleWork_.reset();
        if (e->output_ && e->output_->isRunning() && !e->stream_) {
            e->output_->pause();
            e->resetRenderState();
        }
    });
}

// The fill thread stops at once; the reader itself (and its ring) lives on
// for the render thread's last callback with it.
void PlaybackEngine::retire(std::shared_ptr<StreamReader> reader) {
    if (!reader) return;
    reader->cancel();
    retireLater(main_, std::move(reader));
}

}  // namespace qm
