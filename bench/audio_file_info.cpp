// AudioFileInfo::load over a folder of 2000 small generated WAVs, as the
// library scanner will call it: items per second are files per second.
// Opening and closing each file with libsndfile alone is measured beside it
// as the floor the platform sets.
#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace {

struct Folder {
    qm::test::TempDir dir;
    std::vector<std::filesystem::path> files;

    Folder() {
        for (int i = 0; i < 2000; ++i) {
            auto file = dir / ("sfx_" + std::to_string(i) + ".wav");
            qm::test::AudioFileOptions options;
            options.bits = i % 2 ? 24 : 16;
            if (i % 4 == 0) options.bextDescription = "Generated sound " + std::to_string(i);
            if (i % 8 == 1) options.channelMask = 0x3F;
            qm::test::writeTestFile(file, i % 8 == 1 ? 6 : 2, 4800, 48000, options);
            files.push_back(file);
        }
    }
};

Folder& folder() {
    static Folder f;
    return f;
}

void BM_AudioFileInfoLoad(benchmark::State& state) {
    auto& files = folder().files;
    for (auto _ : state) {
        for (const auto& f : files) benchmark::DoNotOptimize(qm::AudioFileInfo::load(f));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_AudioFileInfoLoad)->Unit(benchmark::kMillisecond);

void BM_SndfileOpenClose(benchmark::State& state) {
    auto& files = folder().files;
    for (auto _ : state) {
        for (const auto& f : files) {
            SF_INFO info{};
            SNDFILE* s = sf_open(f.c_str(), SFM_READ, &info);
            benchmark::DoNotOptimize(info.frames);
            sf_close(s);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files.size()));
}
BENCHMARK(BM_SndfileOpenClose)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
