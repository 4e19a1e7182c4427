// Streaming writer of the WAV files the system creates: 24-bit integer PCM
// in the WAVE_FORMAT_EXTENSIBLE layout with a channel mask, and a
// broadcast-wave (bext) chunk carrying a description, the originator and the
// creation date and time.
//
// The whole 678-byte header is written when the writer is created; sample
// blocks are appended as they are rendered; finish() pads the data and
// patches the two size fields. A file abandoned before finish() keeps sizes
// of 0. Samples are clamped to [-1, 1] and scaled by 2^23 - 1, so -1.0 is
// stored as -8 388 607 and NaN as full scale. A data chunk that would pass
// the 32-bit RIFF size is refused with code 20 before anything of the block
// is written.
//
// One thread at a time; no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/AppError.h"

namespace qm {

class WavFileWriter {
public:
    // The largest data chunk: keeps the RIFF size of header plus data in 32 bits.
    static constexpr uint64_t kMaxDataBytes = 4294901759ull;  // 2^32 - 65 537
    static constexpr uint64_t kDataSizeOffset = 674;
    static constexpr uint64_t kHeaderBytes = 678;
    // Code of the AppError thrown when the folder or file cannot be made or
    // written (the text names the file and the system's reason).
    static constexpr int kWriteFailed = kFileWriteFailed;

    // Creates the parent folders, creates or truncates the file and writes
    // the header. `mask` is the WAVE speaker mask (0 when there is none);
    // the caller appends channels in the order the mask implies.
    WavFileWriter(const std::filesystem::path& url, double sampleRate, int channels, uint32_t mask,
                  const std::string& description);
    // Writes into the open, empty file `fd`, which stays the caller's (it is
    // not closed); `name` is the file name errors give.
    WavFileWriter(int fd, const std::string& name, double sampleRate, int channels, uint32_t mask,
                  const std::string& description);
    ~WavFileWriter();
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    // Appends `frames` frames from planar buffers, one per input channel.
    // Channels the caller does not pass (or passes as null) are written as
    // silence; buffers beyond the writer's channel count are ignored.
    void append(std::span<const float* const> channels, int64_t frames);
    void append(std::span<float* const> channels, int64_t frames);
    // Appends whole planar arrays; the first array's length is the frame
    // count, and a shorter array is read as silence past its end.
    void appendAll(const std::vector<std::vector<float>>& channels);
    // Pads, patches the sizes and closes the file (one it opened itself).
    void finish();

    int channels() const { return channels_; }
    uint64_t dataBytes() const { return dataBytes_; }

    // Sample conversion: the three bytes stored for one sample, as a value.
    static int32_t sampleValue(float x);

private:
    friend struct WavFileWriterTestAccess;

    // Interleaves and converts `frames` frames starting at frame `offset`
    // of the inputs into scratch_; each input has `lengths[c]` frames.
    size_t convert(const float* const* inputs, const int64_t* lengths, size_t inputCount,
                   int64_t offset, int64_t frames);
    void writeBlock(size_t bytes, const char* limitText);
    void writeAt(uint64_t offset, const void* data, size_t size);
    void writeAll(const void* data, size_t size);
    void writeHeader(double sampleRate, uint32_t mask, const std::string& description);
    [[noreturn]] void fail(const std::string& what) const;

    int channels_ = 0;
    int fd_ = -1;
    bool ownsFd_ = true;
    std::string name_;
    uint64_t dataBytes_ = 0;
    uint64_t dataSizeOffset_ = kDataSizeOffset;
    std::vector<uint8_t> scratch_;
};

}  // namespace qm
