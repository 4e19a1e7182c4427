// Moves audio from a frame source into a real-time ring at the output rate,
// between a start and an end frame or around a loop region, and stamps each
// frame it writes with its position in the source (in source frames).
//
// One reader serves one play request: it is constructed, pre-filled by its
// owner (preFill), started once, and runs on its own fill thread until it is
// cancelled or its stream ends; it never restarts. It sets the ring's end-of-stream flag exactly when the source is
// exhausted (never while looping).
//
// Threads: one writer at a time, first the constructing thread (pre-fill),
// then the fill thread; the render thread only reads the ring. cancel() may
// be called from any thread. The destructor cancels and waits for the fill
// thread (at most one 4 ms wait or one block), then destroys the ring; the
// owner must make sure the render side no longer reads it.
//
// When the rates differ by more than 0.5 Hz the source is resampled; stamps
// then follow the converted frames: the first converted frame carries the
// start frame, each next one advances by source rate / output rate.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/FrameSource.h"
#include "rt/mn_ring.h"

namespace qm {

class Resampler;

// Which frames of the source a stream plays, in source frames.
struct StreamRange {
    int64_t start = 0;      // the first frame played (clamped into the source)
    int64_t end = 0;        // without a loop the stream ends here (exclusive)
    bool loop = false;      // wrap from loopEnd back to loopStart, never ending
    int64_t loopStart = 0;  // the loop region [loopStart, loopEnd), clamped into
    int64_t loopEnd = 0;    // the source; an empty region plays once instead
};

class StreamReader {
public:
    static constexpr int kBlockFrames = 4096;
    static constexpr int kMaxChannels = 64;
    // A pre-filled ring holds at least this many frames (or is nearly full).
    static constexpr int kPreFillFrames = 8192;

    // Throws AppError: 1 "Unsupported channel count (N)" for a source
    // outside 1 to 64 channels, 2 when the ring cannot be made, 3 when the
    // block buffers cannot be made, 4 "Can't resample this file". Nothing
    // stays allocated after an error.
    StreamReader(std::shared_ptr<FrameSource> source, double outputRate, const StreamRange& range);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Produces one block (at most 4096 frames) into the ring; false when the
    // stream has ended (the ring's end-of-stream flag is then set). The
    // caller makes sure 4096 frames are free in the ring.
    bool fillOnce();
    // Fills blocks before start() until kPreFillFrames frames are readable,
    // fewer than one block's room is free, the reader is cancelled or the
    // stream ends, so that the first callbacks find frames waiting.
    void preFill();
    // Starts the fill thread; later calls do nothing.
    void start();
    // Stops the fill thread within one wait or one block.
    void cancel();
    bool cancelled() const;

    mn_ring* ring() const { return ring_; }
    int channels() const { return channels_; }
    bool converting() const { return converter_ != nullptr; }
    // Source frames per output frame.
    double ratio() const { return ratio_; }
    int64_t endFrame() const { return endFrame_; }
    bool looping() const { return loop_; }

private:
    // Reads up to `limit` frames at the current position, wrapping around the
    // loop region; returns (first frame, count).
    std::pair<int64_t, int64_t> readSource(float* const* buffer, int64_t limit);
    bool fillPlain();
    bool fillConverted();
    void run();

    mn_ring* ring_ = nullptr;
    int channels_ = 0;
    std::shared_ptr<FrameSource> source_;
    std::unique_ptr<Resampler> converter_;
    std::vector<float> inData_;
    std::vector<float*> inBuf_;
    std::vector<float> outData_;
    std::vector<float*> outBuf_;
    double ratio_ = 1;
    int64_t endFrame_ = 0;
    bool loop_ = false;
    int64_t loopStart_ = 0;
    int64_t loopEnd_ = 0;
    int64_t filePos_ = 0;
    double virtualPos_ = 0;
    bool sourceDone_ = false;
    std::vector<double> positions_;
    mutable std::mutex lock_;
    bool cancelled_ = false;
    std::thread thread_;
};

}  // namespace qm
