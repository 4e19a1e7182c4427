// The one playback path, shared by the audition player and the editor (one
// of them plays at a time).
//
// It binds an audio output stream to the output device of the active
// profile and feeds it from RenderContext::render; it keeps the binaural
// renderer that turns up to 32 virtual speakers into two ears, owns the
// upmixer, the current stream reader and the current mix record, and pauses
// the output 20 s after playback stops (the callbacks really stop).
//
// One play, as both players do it: configure(uid, false); build a MixConfig
// with deviceChannels(); setConfig(); open a StreamReader at sampleRate() and
// pre-fill its ring; play(reader, startFrame).
//
// Threads: everything here runs on the main thread. The render thread sees
// only what the render context exposes. Replaced mix records, stream readers
// and upmixers are kept alive 3 s on the main queue before they are
// released, so the render thread, which may still use the previous ones for
// one callback, never sees freed memory. Device changes reported by the
// sound server arrive through the main queue.
#pragma once

#include "spatial/MixBuilder.h"
#include "playback/RenderContext.h"
#include "platform/MainQueue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qm {

class AudioOutput;
class BinauralRenderer;
class MainQueue;
class StreamReader;
class Upmixer;

class PlaybackEngine {
public:
    static constexpr double idleSeconds = 20.0;
    static constexpr double retireSeconds = kRetireSeconds;

    explicit PlaybackEngine(MainQueue& mainQueue);
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Selects the output device (none: the system's default, the first the
    // server lists, or the silent null output when no server runs) and
    // builds the output stream, not yet started. With `force` false and the
    // same device already configured nothing changes (playback goes on).
    // Throws AppError: the server's status with "Couldn't open the output
    // device"; 10 "Output device has no usable channels".
    void configure(const std::optional<std::string>& deviceUID, bool force);

    // Publishes a new mix configuration to the render thread (also while
    // playing: it crossfades over one callback).
    void setConfig(const MixConfig& config);

    // Makes `reader`'s ring the playing one, starts its fill thread and the
    // output. `startPosition` is the frame the play position starts from.
    // Throws the output's AppError when it cannot start; the reader then
    // stays current until stop().
    void play(std::shared_ptr<StreamReader> reader, double startPosition);

    // Clears the ring slot, retires the reader and schedules the idle pause.
    void stop();

    RenderContext& ctx() { return *ctx_; }
    int deviceChannels() const { return deviceChannels_; }
    double sampleRate() const { return sampleRate_; }
    const std::string& deviceName() const { return deviceName_; }
    // Which output is in use, for the status line, e.g. "JACK: system" or
    // "Silent output (no sound server)"; empty when unconfigured.
    std::string outputDescription() const;
    bool isConfigured() const { return engine_ != nullptr; }
    bool isRunning() const;
    const std::optional<std::string>& configuredKey() const { return configuredKey_; }
    const std::shared_ptr<Upmixer>& upmixer() const { return upmixer_; }
    bool hasBinaural() const { return binEngine_ != nullptr; }
    // Missed cycles of the current output stream, the longest time one of
    // its callbacks took and the period it had, in seconds.
    int64_t xruns() const;
    double longestRender() const;
    double period() const;

    // Called on the main thread after the output reported a configuration
    // change (device lost or changed, server gone or at another rate).
    std::function<void()> onDeviceChange;

private:
    void teardown();
    void setupBinaural(double sampleRate);
    void ensureRunning();
    void scheduleIdle();
    void resetRenderState();
    void retire(std::shared_ptr<StreamReader> reader);
    void retire(std::shared_ptr<Upmixer> upmixer);

    MainQueue& main_;
    std::unique_ptr<RenderContext> ctx_;
    std::unique_ptr<AudioOutput> engine_;
    std::unique_ptr<BinauralRenderer> binEngine_;
    std::optional<std::string> configuredKey_;
    std::shared_ptr<StreamReader> current_;
    std::shared_ptr<RealtimeMix> currentConfig_;
    std::shared_ptr<Upmixer> upmixer_;
    std::optional<uint64_t> idleWork_;
    int deviceChannels_ = 2;
    double sampleRate_ = 48000.0;
    std::string deviceName_;
    // Reports of an older output, or of a destroyed engine, are dropped.
    uint64_t generation_ = 0;
    std::shared_ptr<PlaybackEngine*> self_;
};

}  // namespace qm
