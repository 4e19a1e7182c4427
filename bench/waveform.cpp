// The cost of a waveform overview against decoding the same file alone.
//
// Files: 10 minutes of 48 kHz stereo and 2 minutes of 48 kHz 16-channel
// audio, 24-bit WAV, written once into a temporary folder. "Decode" reads
// the whole file through the audio file reader in the overview's own chunk
// size; "Overview" computes the full overview (with its progress
// snapshots). Both run on a warm page cache; compare their times.
#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "audio/WaveformOverview.h"
#include "platform/AudioFileReader.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

// A noisy sine per channel, written in blocks so memory stays small.
void writeFile(const std::filesystem::path& path, int channels, int64_t frames) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    if (channels > 2) info.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_24;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + path.string());
    const int64_t block = 65536;
    std::vector<float> buf(static_cast<size_t>(block * channels));
    uint32_t noise = 12345;
    for (int64_t pos = 0; pos < frames; pos += block) {
        const int64_t n = std::min(block, frames - pos);
        for (int64_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1664525u + 1013904223u;
                float r = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
                buf[static_cast<size_t>(i * channels + c)] =
                    0.5f * std::sin(static_cast<float>(pos + i) * 0.01f * static_cast<float>(c + 1)) +
                    0.1f * r;
            }
        sf_writef_float(f, buf.data(), n);
    }
    sf_close(f);
}

struct Files {
    test::TempDir dir;
    std::filesystem::path stereo = dir / "stereo-10min.wav";
    std::filesystem::path wide = dir / "16ch-2min.wav";
    Files() {
        writeFile(stereo, 2, 48000LL * 600);
        writeFile(wide, 16, 48000LL * 120);
    }
};

Files& files() {
    static Files f;
    return f;
}

const std::filesystem::path& fileFor(const benchmark::State& state) {
    return state.range(0) == 2 ? files().stereo : files().wide;
}

void BM_Decode(benchmark::State& state) {
    const auto& path = fileFor(state);
    for (auto _ : state) {
        auto reader = AudioFileReader::open(path);
        const auto& fmt = reader->format();
        const int64_t chunk = WaveformOverview::geometry(fmt.frames, fmt.channels).chunkFrames;
        std::vector<std::vector<float>> buf(static_cast<size_t>(fmt.channels),
                                            std::vector<float>(static_cast<size_t>(chunk)));
        std::vector<float*> ptrs;
        for (auto& b : buf) ptrs.push_back(b.data());
        int64_t pos = 0;
        while (int64_t n = reader->read(pos, ptrs.data(), chunk)) pos += n;
        benchmark::DoNotOptimize(buf[0][0]);
        state.counters["frames"] = static_cast<double>(pos);
    }
}

void BM_Overview(benchmark::State& state) {
    const auto& path = fileFor(state);
    std::atomic<bool> cancelled{false};
    for (auto _ : state) {
        int snapshots = 0;
        WaveformOverview::compute(path, cancelled, [&](auto d) {
            ++snapshots;
            benchmark::DoNotOptimize(d->maxs[0][0]);
        });
        state.counters["snapshots"] = snapshots;
    }
}

}  // namespace

BENCHMARK(BM_Decode)->Arg(2)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Overview)->Arg(2)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
