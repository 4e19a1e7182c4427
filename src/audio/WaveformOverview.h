// Whole-file waveform overviews: per-channel minimum and maximum peaks over
// about 6000 equal buckets, computed in one pass over the file and handed
// out as progressively more complete snapshots.
//
// compute() runs on whatever thread calls it (the models run it on a
// worker) and calls `publish` on that same thread; snapshots are immutable
// and may be passed to other threads freely. The cancel flag may be set
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace qm {

class AudioFileReader;

// One snapshot of an overview; each progressive update is a new instance.
struct WaveformData {
    int channels = 0;            // channels described, at most 16
    int64_t bucketFrames = 1;    // source frames per bucket
    int64_t bucketCount = 1;     // buckets covering the whole file
    int64_t loadedBuckets = 0;   // computed so far; bucketCount in the final snapshot
    std::vector<std::vector<float>> mins;  // per channel, bucketCount values (0 where not computed)
    std::vector<std::vector<float>> maxs;
};

namespace WaveformOverview {

inline constexpr int64_t kTargetBuckets = 6000;
inline constexpr int kMaxChannels = 16;
inline constexpr int64_t kChunkLimit = 65536;
inline constexpr double kUpdateInterval = 0.12;  // seconds between progress snapshots

struct Geometry {
    int channels = 0;        // min(file channels, 16)
    int64_t bucketFrames = 1;
    int64_t bucketCount = 1;
    int64_t chunkFrames = 1; // the most whole buckets that fit in 65536 frames, at least one bucket
};

// The bucket layout for a file of `frames` frames (0 counts as 1) and
// `channels` channels.
Geometry geometry(int64_t frames, int channels);

using Publish = std::function<void(std::shared_ptr<const WaveformData>)>;

// Reads the whole file from frame 0 in chunks and publishes a snapshot
// whenever more than `updateInterval` seconds have passed since the last
// one, then a final snapshot with every bucket counted as loaded (buckets a
// read error kept from being reached stay 0). Once `cancelled` is set,
// nothing more is published, not even the final snapshot. A read error
// ends the pass early without being reported.
void compute(AudioFileReader& reader, const std::atomic<bool>& cancelled, const Publish& publish,
             double updateInterval = kUpdateInterval);
// As above for a file on disk; a file that cannot be opened publishes
// nothing at all.
void compute(const std::filesystem::path& file, const std::atomic<bool>& cancelled,
             const Publish& publish, double updateInterval = kUpdateInterval);

}  // namespace WaveformOverview

}  // namespace qm
