#include "playback/PlaybackEngine.h"

#include "playback/AudioDevices.h"
#include "audio/StreamReader.h"
#include "spatial/Upmixer.h"
#include "platform/AppError.h"
#include "platform/AudioOutput.h"
#include "platform/BinauralRenderer.h"
#include "platform/MainQueue.h"

#include <algorithm>

namespace qm {

PlaybackEngine::PlaybackEngine(MainQueue& mainQueue)
    : main_(mainQueue),
      ctx_(std::make_unique<RenderContext>()),
      self_(std::make_shared<PlaybackEngine*>(this)) {}

PlaybackEngine::~PlaybackEngine() {
    if (idleWork_) main_.cancel(*idleWork_);
    teardown();
    // Pending main-queue work may still hold readers, records and upmixers;
    // with the output closed nothing reads them any more.
}

std::string PlaybackEngine::outputDescription() const {
    return engine_ ? engine_->description() : std::string();
}

bool PlaybackEngine::isRunning() const { return engine_ && engine_->isRunning(); }

int64_t PlaybackEngine::xruns() const { return engine_ ? engine_->xruns() : 0; }

double PlaybackEngine::longestRender() const { return engine_ ? engine_->longestRender() : 0.0; }

double PlaybackEngine::period() const { return engine_ ? engine_->period() : 0.0; }

void PlaybackEngine::configure(const std::optional<std::string>& deviceUID, bool force) {
    const std::string key = deviceUID.value_or("default");
    if (!force && engine_ && configuredKey_ == key) return;
    teardown();

    // The server lists its devices with the system's own first; that one is
    // the default, as is any device asked for by a UID nobody has.
    std::vector<OutputEndpoint> devices = AudioOutputs::list();
    const OutputEndpoint* chosen = nullptr;
    if (deviceUID) {
        for (const auto& d : devices) {
            if (d.uid == *deviceUID) {
                chosen = &d;
                break;
            }
        }
    }
    if (!chosen && !devices.empty()) chosen = &devices.front();
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
    deviceName_ = AudioDevices::name(deviceUID);

    setupBinaural(sampleRate_);
    engine_ = std::move(output);
    configuredKey_ = key;
}

// A missing or unreadable HRTF set leaves the engine without a binaural
// renderer: speaker playback works, binaural configurations are silent.
void PlaybackEngine::setupBinaural(double sampleRate) {
    try {
        binEngine_ = std::make_unique<BinauralRenderer>(sampleRate);
    } catch (const AppError&) {
        binEngine_.reset();
    }
    ctx_->binRender = binEngine_.get();
}

void PlaybackEngine::teardown() {
    ++generation_;
    if (engine_) engine_->pause();
    engine_.reset();
    ctx_->binRender = nullptr;
    ctx_->prevRing = nullptr;
    ctx_->prevCfg = nullptr;
    if (upmixer_) mn_upmix_reset(upmixer_->raw());
    binEngine_.reset();
}

void PlaybackEngine::setConfig(const MixConfig& config) {
    if (!config.upmix) {
        retire(std::move(upmixer_));
        upmixer_.reset();
    } else {
        const UpmixRequest& r = *config.upmix;
        const int in = static_cast<int>(r.source.size());
        const int out = static_cast<int>(r.target.size());
        if (upmixer_ && upmixer_->inChannels() == in && upmixer_->outChannels() == out &&
            upmixer_->sampleRate() == sampleRate_) {
            upmixer_->apply(r);
        } else {
            retire(std::move(upmixer_));
            upmixer_ = Upmixer::create(in, out, sampleRate_, main_);
            if (upmixer_) upmixer_->apply(r);
        }
    }

    std::shared_ptr<RealtimeMix> record =
        makeRealtimeMix(config, config.upmix && upmixer_ ? upmixer_->raw() : nullptr);

    if (config.toBinaural && binEngine_) {
        const size_t n = std::min<size_t>(config.virtualDirections.size(),
                                          BinauralRenderer::maxSources);
        for (size_t i = 0; i < n; ++i) {
            binEngine_->setDirection(static_cast<int>(i), config.virtualDirections[i].az,
                                     config.virtualDirections[i].el);
        }
    }

    mn_slot_store(ctx_->cfgSlot, &record->record);
    if (currentConfig_) {
        main_.after(retireSeconds, [old = std::move(currentConfig_)] {});
    }
    currentConfig_ = std::move(record);
}

void PlaybackEngine::play(std::shared_ptr<StreamReader> reader, double startPosition) {
    mn_i64_store(ctx_->finished, 0);
    mn_f64_store(ctx_->position, startPosition);
    mn_slot_store(ctx_->ringSlot, reader ? reader->ring() : nullptr);
    retire(std::move(current_));
    current_ = std::move(reader);
    if (current_) current_->start();
    ensureRunning();
}

void PlaybackEngine::stop() {
    mn_slot_store(ctx_->ringSlot, nullptr);
    retire(std::move(current_));
    current_.reset();
    scheduleIdle();
}

// Only while the output is stopped: the first callback after a start then
// fades the current ring and record in from silence.
void PlaybackEngine::resetRenderState() {
    ctx_->prevRing = nullptr;
    ctx_->prevCfg = nullptr;
    if (upmixer_) mn_upmix_reset(upmixer_->raw());
    if (binEngine_) binEngine_->reset();
}

void PlaybackEngine::ensureRunning() {
    if (idleWork_) {
        main_.cancel(*idleWork_);
        idleWork_.reset();
    }
    if (engine_ && !engine_->isRunning()) {
        resetRenderState();
        engine_->start();
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
        if (e->engine_ && e->engine_->isRunning() && !e->current_) {
            e->engine_->pause();
            e->resetRenderState();
        }
    });
}

void PlaybackEngine::retire(std::shared_ptr<StreamReader> reader) {
    if (!reader) return;
    reader->cancel();
    main_.after(retireSeconds, [r = std::move(reader)] {});
}

void PlaybackEngine::retire(std::shared_ptr<Upmixer> upmixer) {
    if (!upmixer) return;
    main_.after(retireSeconds, [u = std::move(upmixer)] {});
}

}  // namespace qm
