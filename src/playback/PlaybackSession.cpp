#include "playback/PlaybackSession.h"

#include "playback/PlaybackEngine.h"
#include "playback/RenderContext.h"

namespace qm {

PlaybackSession::PlaybackSession(Key, std::weak_ptr<PlaybackEngine*> engine, PlayRequest request,
                                 double outputRate)
    : engine_(std::move(engine)),
      request_(std::move(request)),
      outputRate_(outputRate),
      lastPosition_(static_cast<double>(request_.range.start)) {}

// A reader never handed over was never seen by the render thread: it goes at
// once, with the session.
PlaybackSession::~PlaybackSession() = default;

PlaybackEngine* PlaybackSession::engine() const {
    auto self = engine_.lock();
    return self ? *self : nullptr;
}

void PlaybackSession::prepare() {
    if (over_.load()) return;
    std::shared_ptr<FrameSource> source = request_.source();
    auto reader = std::make_shared<StreamReader>(source, outputRate_, request_.range);
    {
        std::lock_guard guard(lock_);
        source_ = source;
        reader_ = reader;
        if (over_.load()) reader->cancel();
    }
    reader->preFill();
    if (binaural_.valid()) binaural_.wait();
    // Under the lock: start() sees the reader filled, never half-way.
    std::lock_guard guard(lock_);
    prepared_ = true;
}

std::optional<std::string> PlaybackSession::problem() const {
    std::lock_guard guard(lock_);
    return source_ ? source_->problem() : std::nullopt;
}

void PlaybackSession::end() {
    over_.store(true);
    std::lock_guard guard(lock_);
    if (reader_ && !started_) reader_->cancel();
}

void PlaybackSession::loseOutput() {
    outputLost_ = true;
    stop();
}

bool PlaybackSession::start() {
    PlaybackEngine* engine = this->engine();
    std::shared_ptr<StreamReader> reader;
    {
        std::lock_guard guard(lock_);
        if (!prepared_) return false;  // prepare() has not returned yet
        reader = std::move(reader_);
        reader_.reset();
    }
    if (!engine || over_.load() || started_ || !reader) return false;
    engine->play(std::move(reader), static_cast<double>(request_.range.start));
    started_ = true;
    return true;
}

void PlaybackSession::stop() {
    if (PlaybackEngine* engine = this->engine(); engine && isCurrent()) {
        lastPosition_ = position();
        engine->stopStream();
    }
    end();
}

bool PlaybackSession::isCurrent() const { return !over_.load() && engine() != nullptr; }

bool PlaybackSession::isPlaying() const { return started_ && isCurrent(); }

double PlaybackSession::position() const {
    if (PlaybackEngine* engine = this->engine(); engine && isCurrent())
        lastPosition_ = mn_f64_load(engine->ctx().position);
    return lastPosition_;
}

bool PlaybackSession::finished() const {
    PlaybackEngine* engine = this->engine();
    return engine && started_ && isCurrent() && mn_i64_load(engine->ctx().finished) != 0;
}

}  // namespace qm
