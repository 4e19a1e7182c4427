#include "audio/WaveformOverview.h"

#include <algorithm>
#include <chrono>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/AppError.h"
#include "platform/AudioFileReader.h"

namespace qm::WaveformOverview {

namespace {

// Minimum and maximum of n > 0 samples, four lanes at a time where the
// machine has SSE.
void minMax(const float* x, int64_t n, float& outMin, float& outMax) {
    int64_t i = 0;
    float mn = x[0], mx = x[0];
#if defined(__SSE2__)
    if (n >= 8) {
        __m128 mn0 = _mm_loadu_ps(x), mx0 = mn0;
        __m128 mn1 = _mm_loadu_ps(x + 4), mx1 = mn1;
        for (i = 8; i + 8 <= n; i += 8) {
            __m128 a = _mm_loadu_ps(x + i), b = _mm_loadu_ps(x + i + 4);
            mn0 = _mm_min_ps(mn0, a);
            mx0 = _mm_max_ps(mx0, a);
            mn1 = _mm_min_ps(mn1, b);
            mx1 = _mm_max_ps(mx1, b);
        }
        alignas(16) float lo[4], hi[4];
        _mm_store_ps(lo, _mm_min_ps(mn0, mn1));
        _mm_store_ps(hi, _mm_max_ps(mx0, mx1));
        mn = std::min({lo[0], lo[1], lo[2], lo[3]});
        mx = std::max({hi[0], hi[1], hi[2], hi[3]});
    }
#endif
    for (; i < n; ++i) {
        mn = std::min(mn, x[i]);
        mx = std::max(mx, x[i]);
    }
    outMin = mn;
    outMax = mx;
}

std::shared_ptr<const WaveformData> snapshot(const Geometry& g, int64_t loaded,
                                             const std::vector<std::vector<float>>& mins,
                                             const std::vector<std::vector<float>>& maxs) {
    auto d = std::make_shared<WaveformData>();
    d->channels = g.channels;
    d->bucketFrames = g.bucketFrames;
    d->bucketCount = g.bucketCount;
    d->loadedBuckets = std::min(loaded, g.bucketCount);
    d->mins = mins;
    d->maxs = maxs;
    return d;
}

}  // namespace

Geometry geometry(int64_t frames, int channels) {
    Geometry g;
    const int64_t length = std::max<int64_t>(frames, 1);
    g.channels = std::clamp(channels, 0, kMaxChannels);
    g.bucketFrames = std::max<int64_t>(1, (length + kTargetBuckets - 1) / kTargetBuckets);
    g.bucketCount = (length + g.bucketFrames - 1) / g.bucketFrames;
    g.chunkFrames = g.bucketFrames <= kChunkLimit ? g.bucketFrames * (kChunkLimit / g.bucketFrames)
                                                  : g.bucketFrames;
    return g;
}

void compute(AudioFileReader& reader, const std::atomic<bool>& cancelled, const Publish& publish,
             double updateInterval) {
    using Clock = std::chrono::steady_clock;
    const auto& fmt = reader.format();
    const Geometry g = geometry(fmt.frames, fmt.channels);

    // One reused buffer per channel of the file: the reader fills all of
    // them even though only the first 16 are described.
    const int fileChannels = std::max(fmt.channels, 0);
    std::vector<std::vector<float>> buffer(static_cast<size_t>(fileChannels),
                                           std::vector<float>(static_cast<size_t>(g.chunkFrames)));
    std::vector<float*> pointers;
    for (auto& b : buffer) pointers.push_back(b.data());

    std::vector<std::vector<float>> mins(static_cast<size_t>(g.channels),
                                         std::vector<float>(static_cast<size_t>(g.bucketCount), 0.f));
    std::vector<std::vector<float>> maxs = mins;
    auto lastUpdate = Clock::now();
    const auto interval = std::chrono::duration<double>(updateInterval);

    if (cancelled.load()) return;
    int64_t position = 0, loaded = 0;
    while (fileChannels > 0) {
        int64_t got = 0;
        try {
            got = reader.read(position, pointers.data(), g.chunkFrames);
        } catch (const AppError&) {
            break;
        }
        if (got <= 0) break;
        const int64_t firstBucket = position / g.bucketFrames;
        const int64_t buckets = (got + g.bucketFrames - 1) / g.bucketFrames;
        for (int c = 0; c < g.channels; ++c) {
            const float* samples = buffer[static_cast<size_t>(c)].data();
            for (int64_t k = 0; k < buckets; ++k) {
                const int64_t index = firstBucket + k;
                if (index >= g.bucketCount) break;
                const int64_t start = k * g.bucketFrames;
                const int64_t count = std::min(g.bucketFrames, got - start);
                minMax(samples + start, count, mins[static_cast<size_t>(c)][static_cast<size_t>(index)],
                       maxs[static_cast<size_t>(c)][static_cast<size_t>(index)]);
            }
        }
        loaded += buckets;
        position += got;
        if (Clock::now() - lastUpdate > interval) {
            lastUpdate = Clock::now();
            publish(snapshot(g, loaded, mins, maxs));
        }
        if (cancelled.load()) return;
        if (loaded >= g.bucketCount) break;
    }
    if (cancelled.load()) return;
    publish(snapshot(g, g.bucketCount, mins, maxs));
}

void compute(const std::filesystem::path& file, const std::atomic<bool>& cancelled,
             const Publish& publish, double updateInterval) {
    std::unique_ptr<AudioFileReader> reader;
    try {
        reader = AudioFileReader::open(file);
    } catch (const AppError&) {
        return;
    }
    compute(*reader, cancelled, publish, updateInterval);
}

}  // namespace qm::WaveformOverview
