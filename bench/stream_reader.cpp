// The stream reader's throughput in multiples of real time, against decoding
// the same file with libsndfile alone: a 2-channel 44.1 kHz file played at
// 48 kHz (resampled) and a 16-channel 48 kHz file (streamed as it is).
#include <benchmark/benchmark.h>

#include <sndfile.h>

#include <memory>
#include <vector>

#include "audio/FrameSource.h"
#include "audio/StreamReader.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace {

struct Files {
    qm::test::TempDir dir;
    std::filesystem::path stereo44 = dir / "stereo44.wav";
    std::filesystem::path multi16 = dir / "sixteen48.wav";
    Files() {
        qm::test::writeTestFile(stereo44, 2, 44100 * 20, 44100, {qm::test::FileKind::wav, 24});
        qm::test::writeTestFile(multi16, 16, 48000 * 5, 48000, {qm::test::FileKind::wavex, 24});
    }
};

Files& files() {
    static Files f;
    return f;
}

void readerThroughput(benchmark::State& state, const std::filesystem::path& path, double outputRate) {
    double seconds = 0;
    for (auto _ : state) {
        auto src = std::make_shared<qm::FileSource>(path);
        const double sourceSeconds = double(src->length()) / src->processingFormat().sampleRate;
        qm::StreamReader reader(src, outputRate, {.start = 0, .end = src->length()});
        const int ch = reader.channels();
        std::vector<std::vector<float>> out(size_t(ch), std::vector<float>(qm::StreamReader::kBlockFrames));
        std::vector<float*> ptrs;
        for (auto& c : out) ptrs.push_back(c.data());
        while (reader.fillOnce())
            while (mn_ring_read(reader.ring(), ptrs.data(), qm::StreamReader::kBlockFrames, nullptr) > 0) {
            }
        seconds += sourceSeconds;
    }
    state.counters["xRealTime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void sndfileThroughput(benchmark::State& state, const std::filesystem::path& path) {
    double seconds = 0;
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        std::vector<float> block(size_t(4096) * size_t(info.channels));
        while (sf_readf_float(f, block.data(), 4096) > 0) benchmark::DoNotOptimize(block.data());
        sf_close(f);
        seconds += double(info.frames) / info.samplerate;
    }
    state.counters["xRealTime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void BM_Reader_Stereo44To48(benchmark::State& s) { readerThroughput(s, files().stereo44, 48000); }
void BM_Sndfile_Stereo44(benchmark::State& s) { sndfileThroughput(s, files().stereo44); }
void BM_Reader_Sixteen48(benchmark::State& s) { readerThroughput(s, files().multi16, 48000); }
void BM_Sndfile_Sixteen48(benchmark::State& s) { sndfileThroughput(s, files().multi16); }

BENCHMARK(BM_Reader_Stereo44To48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sndfile_Stereo44)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reader_Sixteen48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sndfile_Sixteen48)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
