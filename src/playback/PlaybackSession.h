// One start of playback of one source through the shared playback engine,
// from the request to its end: the way every player (the audition player,
// the editor, whoever comes next) starts, follows and stops playback.
//
//   auto session = engine.begin({.deviceUID = ..., .mix = ..., .source = ...,
//                                .range = {.start = ..., .end = ...}});   // main thread
//   session->prepare();                  // worker thread: open, pre-fill
//   if (session->start()) ...            // main thread: it plays
//   session->position(); session->finished();   // main thread, 30 times a second
//   session->stop();                     // main thread
//
// Playback is exclusive: the engine plays one session at a time, and
// begin() makes the new session the current one, so every earlier session
// is over from then on, whoever owns it (the player's is over once the editor
// begins one, and the other way round). An earlier session that was playing
// goes on sounding until the new one starts, which replaces its stream
// without a gap; an earlier session that is still being prepared never
// starts. stop() ends playback only while its session is current, so a
// player that lost the engine cannot stop another's sound.
//
// Threads: prepare() runs once, on the caller's worker thread (never the
// main thread, which must not wait for the disk); everything else belongs to
// the main thread. A session may outlive its engine: it is then over.
#pragma once

#include "audio/StreamReader.h"
#include "spatial/MixBuilder.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qm {

class FrameSource;
class PlaybackEngine;

// What a session plays, and where.
struct PlayRequest {
    // The output device (an output profile's device UID); none: the default.
    std::optional<std::string> deviceUID = std::nullopt;
    // The output is headphones: the binaural renderer is begun with it.
    bool binaural = false;
    // The mix for the configured output, given its channel count; called
    // once, in begin(), on the main thread.
    std::function<MixConfig(int deviceChannels)> mix = nullptr;
    // Opens the source (a file, or samples in memory); called once, in
    // prepare(), on the worker thread. May throw AppError.
    std::function<std::shared_ptr<FrameSource>()> source = nullptr;
    // The frames to play, in source frames; the play position starts at
    // range.start.
    StreamRange range = {};
};

class PlaybackSession {
    struct Key {
        explicit Key() = default;
    };

public:
    // Made by PlaybackEngine::begin() only.
    PlaybackSession(Key, std::weak_ptr<PlaybackEngine*> engine, PlayRequest request, double outputRate);
    ~PlaybackSession();
    PlaybackSession(const PlaybackSession&) = delete;
    PlaybackSession& operator=(const PlaybackSession&) = delete;

    // Worker thread, once: opens the source, makes the stream reader at the
    // output's rate and pre-fills its ring (StreamReader::preFill). Returns
    // early, without an error, when the session is over meanwhile. Throws
    // AppError from the source or the reader; the session then never plays.
    void prepare();

    // Main thread, after prepare() returned: hands the stream to the output
    // and starts it. Returns true when it plays; false, without a sound, when
    // the session is over (a newer one began, or it was stopped), has no
    // stream, or its prepare() has not returned yet. Throws the output's AppError when the output cannot start; the
    // stream then stays the engine's until the session stops.
    bool start();

    // Main thread: ends playback when this session is the current one (its
    // stream, or the earlier one still sounding while it was prepared, leaves
    // the output, which pauses 20 s later); otherwise only ends the session.
    void stop();

    // Main thread: no newer session began, this one was not stopped and the
    // engine still exists.
    bool isCurrent() const;
    // Main thread: current and started.
    bool isPlaying() const;
    // Main thread: the play position (a frame of the source) of what the
    // output plays while this session is current: its own stream once
    // started, before that the stream it is about to replace. Once the
    // session is over, the last position it read.
    double position() const;
    // Main thread: this session's stream played to its end and the output
    // has taken every frame of it (never while looping).
    bool finished() const;
    // Main thread: what went wrong reading the source (it ended before its
    // length, damaged frames played as silence), for the player to show.
    std::optional<std::string> problem() const;
    // Main thread: the session is over because its output went away while
    // it played (a device unplugged, the sound server gone, the device's
    // format changed); its owner may play on from position() on the output
    // there is now.
    bool outputLost() const { return outputLost_; }

    const StreamRange& range() const { return request_.range; }

private:
    friend class PlaybackEngine;
    void end();  // the engine's: a newer session began, or the engine goes
    void loseOutput();  // the engine's: the output it played on went away
    PlaybackEngine* engine() const;

    std::weak_ptr<PlaybackEngine*> engine_;
    PlayRequest request_;
    // Set when its mix waits for a binaural renderer: prepare() waits too.
    std::shared_future<void> binaural_;
    double outputRate_;
    std::atomic<bool> over_{false};
    bool started_ = false;
    bool outputLost_ = false;
    mutable double lastPosition_;
    // The reader prepare() makes, until start() hands it over; guarded
    // because stop() may cancel it while prepare() is still filling it, and
    // `prepared_` says that the filling is over.
    mutable std::mutex lock_;
    std::shared_ptr<StreamReader> reader_;
    std::shared_ptr<FrameSource> source_;
    bool prepared_ = false;
};

}  // namespace qm
