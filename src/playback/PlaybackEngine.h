// The one playback path, shared by the audition player and the editor (one
// of them plays at a time).
//
// It binds an audio output stream to the output device of the active
// profile and feeds it from RenderContext::render; it keeps the binaural
// renderers that turn up to 32 virtual speakers into two ears, owns the
// upmixer, the current stream reader and the current mix record, and pauses
// the output 20 s after playback stops (the callbacks really stop).
//
// The binaural renderer (loading the HRTF set takes a tenth of a second and
// more) is made only for a headphone output or a binaural mix, on a worker
// thread of its own, once per device rate, and kept; prepareBinaural()
// begins it as soon as a headphone profile is active, before any output. A binaural mix asked
// for before its renderer is ready waits (the mix before it plays on) and
// is published once it is; a session that starts with one waits for it in
// prepare(), on its worker.
//
// Playback starts with begin(), which gives a PlaybackSession (see
// PlaybackSession.h): the one way to start, follow and stop playback. The
// steps of a start (configure the output, publish the mix, open the stream
// at the output's rate and pre-fill it, hand it over) are written there and
// here, once. configure() and setConfig() stay public for what changes
// without a restart: another output profile, another mix while playing.
//
// An output left for another (a profile on another device, a server back)
// while it plays is not stopped dead: it plays on, on a render context of
// its own, while its mix fades out over one callback, and closes once its
// device has played that; the next output starts meanwhile.
//
// Threads: everything here runs on the main thread. The render thread sees
// only what the render context exposes. Replaced mix records, stream readers
// and upmixers are kept alive 3 s on the main queue before they are
// released, so the render thread, which may still use the previous ones for
// one callback, never sees freed memory. Device changes reported by the
// sound server arrive through the main queue.
#pragma once

#include "playback/PlaybackSession.h"
#include "spatial/MixBuilder.h"
#include "platform/MainQueue.h"

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

class AudioOutput;
class BinauralRenderer;
class MainQueue;
class RenderContext;
class StreamReader;
class Upmixer;

class PlaybackEngine {
public:
    static constexpr double idleSeconds = 20.0;

    // Which output configure() binds.
    struct Output {
        std::optional<std::string> deviceUID = std::nullopt;  // none: the system's default
        bool force = false;  // rebuild the stream even for the device in use
        // The output is headphones: its binaural renderer is begun at once.
        bool binaural = false;
    };

    explicit PlaybackEngine(MainQueue& mainQueue);
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Selects the output device (none: the system's default, the first the
    // server lists, or the silent null output when no server runs) and
    // builds the output stream, not yet started. Without `force` and with
    // the same device already configured nothing changes (playback goes on),
    // unless the output in use stands in for a system ranked above its own
    // (the silent output; ALSA or PipeWire while the named device's server,
    // or the default's that played before, was away) and that answers now.
    // An output left while it plays fades out before it closes, as the
    // next one fades in (the next start waits at most for its fade to be
    // rendered, two of its periods); one whose server is gone stops at once.
    // Throws AppError: the server's status with "Couldn't open the output
    // device"; 10 "Output device has no usable channels".
    void configure(const Output& output);

    // Begins making the binaural renderer for the device a headphone
    // profile names (none: the default), at the rate the system runs it
    // (else that of the output last configured), unless one is made or
    // being made for that rate: a first play on headphones then need not
    // wait for it. The output is not opened.
    void prepareBinaural(const std::optional<std::string>& deviceUID);

    // Publishes a new mix configuration to the render thread (also while
    // playing: it crossfades over one callback). A binaural one whose
    // renderer is still being made waits for it.
    void setConfig(const MixConfig& config);

    // Configures the request's device (keeping a running output on the same
    // device), publishes its mix and returns a new session, now the current
    // one: every earlier session is over. Throws what configure() or the mix
    // throws; nothing has changed then, and a current session goes on.
    std::shared_ptr<PlaybackSession> begin(PlayRequest request);

    // The output level, linear (0 is silence); it applies to the running
    // stream at once, ramped over one callback.
    void setGain(double linear);
    double gain() const;

    // What the render thread reads; for the engine's own tests.
    RenderContext& ctx() { return *ctx_; }
    int deviceChannels() const { return deviceChannels_; }
    // Where each channel of the configured device plays, when its system
    // says (PipeWire, ALSA with a channel map); empty otherwise (see
    // AudioDevices::speakersAt). What MixBuilder::config routes a speaker
    // profile by.
    const ChannelSpeakers& deviceSpeakers() const { return deviceSpeakers_; }
    double sampleRate() const { return sampleRate_; }
    const std::string& deviceName() const { return deviceName_; }
    // Which output is in use, for the status line, e.g. "JACK: system" or
    // "Silent output (no sound device)"; empty when unconfigured.
    std::string outputDescription() const;
    // The sound system of the output in use: "jack", "pw", "alsa" or "null"
    // (its UID's prefix); empty when unconfigured.
    std::string outputSystem() const;
    // Begins the message when playback moved to another sound system (or
    // to the silent output), followed by the output's name.
    static constexpr const char* kOutputChanged = "Output device changed: ";
    // That message when the output in use is the silent one or of another
    // sound system than `before` (an earlier outputSystem()); none otherwise.
    std::optional<std::string> outputNotice(const std::string& before) const;
    bool isConfigured() const { return output_ != nullptr; }
    // The output in use is the built-in silent one (nothing else can play).
    bool isSilent() const { return output_ != nullptr && silent_; }
    bool isRunning() const;
    const std::optional<std::string>& configuredKey() const { return configuredKey_; }
    const std::shared_ptr<Upmixer>& upmixer() const { return upmixer_; }
    // The binaural renderer for the output's rate is in place.
    bool hasBinaural() const { return binaural_ != nullptr; }
    // A binaural mix waits for its renderer.
    bool binauralPending() const { return waiting_.has_value(); }
    // Binaural renderers made so far (at most one per rate), and the CPU
    // time the last one took on its worker, in seconds.
    int binauralBuilds() const;
    double lastBinauralBuildCPU() const;
    // Figures of the current output stream (see AudioOutput): missed cycles,
    // the longest wall-clock and thread CPU time one callback took, the
    // period it had (in seconds), the callbacks completed and the render
    // thread's CPU time in all of them.
    int64_t xruns() const;
    // Frames played as silence because a stream's reader had not filled them
    // in time (a busy disk or machine), since the engine was made.
    int64_t starvedFrames() const;
    double longestRender() const;
    double longestRenderCPU() const;
    double period() const;
    int64_t callbacks() const;
    double renderCPU() const;
    // The render thread's CPU time all but `fraction` of the callbacks
    // stayed under (see AudioOutput::renderCPUUnder).
    double renderCPUUnder(double fraction) const;

    // Called on the main thread after the output reported a configuration
    // change (device lost or changed, server gone or at another rate).
    std::function<void()> onDeviceChange;
    // Called on the main thread when configure() has opened an output
    // (another device, or the same one rebuilt), for whoever shows it.
    std::function<void()> onOutputChange;

private:
    friend class PlaybackSession;

    // Makes `reader`'s ring the playing one, starts its fill thread and the
    // output. `startPosition` is the frame the play position starts from.
    // Throws the output's AppError when it cannot start; the reader then
    // stays the engine's until stopStream().
    void play(std::shared_ptr<StreamReader> reader, double startPosition);
    // Clears the ring slot, retires the reader and schedules the idle pause.
    void stopStream();

    struct BinauralBuild;
    struct Leaving;
    void teardown();
    void leave();
    bool waitForLeaving(int64_t count) const;
    void closeLeaving(bool now = false);
    // Begins making the renderer for the output's rate (or `rate`) unless
    // one is made or being made; returns it.
    std::shared_ptr<BinauralBuild> requestBinaural(double rate = 0);
    // Puts a finished renderer for the output's rate in place and publishes
    // the mix that waited for it.
    void adoptBinaural();
    void placeVirtualSources();
    void publish(const MixConfig& config);
    void ensureRunning();
    void scheduleIdle();
    void resetRenderState();
    void retire(std::shared_ptr<StreamReader> reader);

    MainQueue& main_;
    std::unique_ptr<RenderContext> ctx_;
    std::unique_ptr<AudioOutput> output_;
    std::unique_ptr<Leaving> leaving_;  // the output left, while its mix fades out
    std::unique_ptr<RenderContext> spare_;  // the context of the last output left
    // The first spare, made on a thread of its own at the first start: the
    // first output left then takes no megabytes of scratch from the main
    // thread.
    std::future<std::unique_ptr<RenderContext>> spareMade_;
    std::vector<std::shared_ptr<BinauralBuild>> builds_;  // one per rate, kept
    BinauralRenderer* binaural_ = nullptr;  // the one in the render context's slot
    std::vector<Direction> directions_;     // of the last binaural mix published
    std::optional<MixConfig> waiting_;      // a binaural mix waiting for its renderer
    std::optional<std::string> configuredKey_;
    std::shared_ptr<StreamReader> stream_;  // the reader whose ring is in the slot
    std::shared_ptr<RealtimeMix> mix_;      // the record in the slot
    std::shared_ptr<Upmixer> upmixer_;
    std::weak_ptr<PlaybackSession> session_;  // the current session
    std::optional<uint64_t> idleWork_;
    int deviceChannels_ = 2;
    ChannelSpeakers deviceSpeakers_;
    double sampleRate_ = 48000.0;
    std::string deviceName_;
    std::string outputUID_;
    bool silent_ = false;
    bool standIn_ = false;  // the output stands in for a system above it (see configure)
    int bestRank_ = 0;      // of the best system `rankedKey_` played on
    std::string rankedKey_;
    // Reports of an older output, or of a destroyed engine, are dropped.
    uint64_t generation_ = 0;
    std::shared_ptr<PlaybackEngine*> self_;
};

}  // namespace qm
