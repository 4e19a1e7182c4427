// Where a stream reader takes its frames from: a file on disk (FileSource)
// or planar samples in memory with an optional click track (MemorySource).
//
// A source is read by one thread at a time (the stream reader's pre-fill,
// then its fill thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

class AudioFileReader;

// The shape in which read() delivers frames: planar 32-bit float.
struct FrameFormat {
    double sampleRate = 0;
    int channels = 0;
    uint32_t layoutTag = 0;  // channel layout tag, 0 when there is none
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual FrameFormat processingFormat() const = 0;
    virtual int64_t length() const = 0;
    // Fills `buffer` (processingFormat().channels buffers with room for
    // `frames` frames each) from `position` with at most `frames` frames and
    // returns how many it delivered: 0 at or after the end, before the start,
    // or on a read error.
    virtual int64_t read(float* const* buffer, int64_t position, int64_t frames) = 0;
    // What went wrong in the reads so far, in a user's words (the source
    // ended before its length, damaged frames were read as silence), or
    // nothing. Any thread, also while another reads.
    virtual std::optional<std::string> problem() const { return std::nullopt; }
};

class FileSource final : public FrameSource {
public:
    // Opens the file; throws the audio file reader's AppError when it cannot.
    explicit FileSource(const std::filesystem::path& url);
    ~FileSource() override;

    FrameFormat processingFormat() const override { return format_; }
    int64_t length() const override { return length_; }
    int64_t read(float* const* buffer, int64_t position, int64_t frames) override;
    std::optional<std::string> problem() const override;

private:
    std::unique_ptr<AudioFileReader> file_;
    std::string name_;
    FrameFormat format_;
    int64_t length_ = 0;
    std::atomic<int64_t> endedAt_{-1};  // where a read came up short, or -1
    std::atomic<int64_t> damaged_{0};
};

class MemorySource final : public FrameSource {
public:
    struct Click {
        int64_t frame = 0;
        bool accent = false;
    };

    // 1 or 2 channels as a plain count, 3 or more with the layout tag of
    // discrete channels; an empty list gives one channel of length 0.
    // Clicks are sorted by frame; they sound on channels 0 and 1 only.
    MemorySource(std::vector<std::vector<float>> channels, double sampleRate,
                 std::vector<Click> clicks = {});

    FrameFormat processingFormat() const override { return format_; }
    int64_t length() const override;
    int64_t read(float* const* buffer, int64_t position, int64_t frames) override;

    const std::vector<float>& tick() const { return tick_; }
    const std::vector<float>& tock() const { return tock_; }

private:
    std::vector<std::vector<float>> channels_;
    FrameFormat format_;
    std::vector<Click> clicks_;
    std::vector<float> tick_;
    std::vector<float> tock_;
};

}  // namespace qm
