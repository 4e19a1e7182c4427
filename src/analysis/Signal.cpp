#include "analysis/Signal.h"

#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/Resampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace qm {

namespace Signal {

PlanarAudio readPlanar(const std::filesystem::path& url) { return readPlanar(url, {}); }

PlanarAudio readPlanar(const std::filesystem::path& url, const std::function<void(const Block&)>& block) {
    auto reader = AudioFileReader::open(url);
    const AudioStreamFormat& f = reader->format();
    PlanarAudio out;
    out.sampleRate = f.sampleRate;
    const int channels = std::max(f.channels, 0);
    if (f.frames < 1 || channels == 0) {
        out.channels.assign(size_t(std::max(1, channels)), {});
        return out;
    }
    if (f.frames > int64_t(UINT32_MAX)) throw AppError(40, "File too large to load");
    try {
        // Each channel sized in place: copies of one zeroed channel would
        // write every page of the whole file once more before it is read.
        out.channels.resize(size_t(channels));
        for (auto& c : out.channels) c.resize(size_t(f.frames));
    } catch (const std::bad_alloc&) {
        throw AppError(40, "File too large to load");
    } catch (const std::length_error&) {
        throw AppError(40, "File too large to load");
    }
    constexpr int64_t kBlock = 16384;
    std::vector<float*> at(static_cast<size_t>(channels));
    int64_t done = 0;
    while (done < f.frames) {
        for (int c = 0; c < channels; ++c) at[size_t(c)] = out.channels[size_t(c)].data() + done;
        const int64_t got = reader->read(done, at.data(), std::min(kBlock, f.frames - done));
        if (got <= 0) break;
        if (block) block({at.data(), channels, done, got, f.frames});
        done += got;
    }
    for (auto& c : out.channels) c.resize(size_t(done));
    out.damagedFrames = reader->damagedFrames();
    return out;
}

std::vector<float> mono(const std::vector<std::vector<float>>& channels) {
    if (channels.empty()) return {};
    if (channels.size() == 1) return channels[0];
    size_t len = channels[0].size();
    for (const auto& c : channels) len = std::min(len, c.size());
    std::vector<float> sum(len, 0.0f);
    for (const auto& c : channels)
        for (size_t i = 0; i < len; ++i) sum[i] += c[i];
    const float scale = 1.0f / float(channels.size());
    for (float& v : sum) v *= scale;
    return sum;
}

std::vector<float> resample(const std::vector<float>& x, double from, double to) {
    if (std::fabs(from - to) <= 0.5 || x.empty()) return x;
    try {
        auto out = Resampler::resample({x}, from, to);
        if (out.size() == 1) return std::move(out[0]);
    } catch (const std::exception&) {
        // Handled below: an empty signal rather than one at the wrong rate.
    }
    return {};
}

float rms(const std::vector<float>& x, long start, long end) {
    start = std::max(start, 0L);
    end = std::min(end, long(x.size()));
    if (end <= start) return 0;
    double acc = 0;
    for (long i = start; i < end; ++i) acc += double(x[i]) * x[i];
    return float(std::sqrt(acc / double(end - start)));
}

std::vector<float> hanning(int n) {
    if (n < 2) return {1.0f};
    std::vector<float> w(n);
    for (int i = 0; i < n; ++i) w[i] = float(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1)));
    return w;
}

std::vector<float> autocorrelation(const std::vector<float>& x, long maxLag) {
    const long count = long(x.size());
    const long L = std::max(std::min(count, maxLag), 1L);
    std::vector<float> r(L, 0.0f);
    for (long k = 0; k < L; ++k) {
        double acc = 0;
        const float* a = x.data() + k;
        const float* b = x.data();
        for (long j = 0, m = count - k; j < m; ++j) acc += double(a[j]) * b[j];
        r[k] = float(acc);
    }
    return r;
}

}  // namespace Signal

namespace {
int checkedSize(int n) {
    if (n < 2 || !std::has_single_bit(unsigned(n)))
        throw std::invalid_argument("RealFFT size must be a power of two >= 2, got " + std::to_string(n));
    return n;
}
}  // namespace

RealFFT::RealFFT(int size)
    : n(checkedSize(size)),
      log2n(unsigned(std::countr_zero(unsigned(size)))),
      re(size / 2 + 1, 0.0f),
      im(size / 2 + 1, 0.0f),
      plan_(size) {}

void RealFFT::forward(const float* x) { plan_.forward(x, re.data(), im.data()); }

void RealFFT::magnitudes(const float* x, float* out) {
    forward(x);
    for (int k = 0, m = n / 2 + 1; k < m; ++k) out[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
}

}  // namespace qm
