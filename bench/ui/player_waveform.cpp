// The player strip's two costs against the time one playhead frame may
// take (33.3 ms at the player's 30 Hz):
//
// - "content": a full picture of a 1600 x 240 strip with 16 lanes over a
//   6000-bucket overview (background, selection, lanes, labels, note), at
//   device pixel ratios 1 and 2;
// - "playhead": one move of the playhead on the shown strip, from setting
//   the position to the repaint of the two strips it touches (the picture
//   is not rendered again; the benchmark checks that).
//
// Counters: the time in ms and its ratio to the 33.3 ms frame.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include <cmath>
#include <memory>

#include "ViewBench.h"
#include "ui/player/WaveformView.h"

using namespace qm;

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 240;
constexpr int kLanes = 16;
constexpr int64_t kBuckets = 6000;
constexpr int64_t kFrames = kBuckets * 1440;  // 3 minutes at 48 kHz
constexpr double kFrameMs = 1000.0 / 30;

std::shared_ptr<const WaveformData> overview() {
    auto d = std::make_shared<WaveformData>();
    d->channels = kLanes;
    d->bucketCount = kBuckets;
    d->loadedBuckets = kBuckets;
    d->bucketFrames = 1440;
    uint32_t noise = 12345;
    d->mins.resize(kLanes);
    d->maxs.resize(kLanes);
    for (int k = 0; k < kLanes; ++k) {
        for (int64_t i = 0; i < kBuckets; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const float r = static_cast<float>(noise >> 8) / 16777216.0f;
            const float beat = static_cast<float>(std::exp(-static_cast<double>(i % 33) / 8.0));
            d->maxs[static_cast<size_t>(k)].push_back(0.3f * beat * r + 0.01f);
            d->mins[static_cast<size_t>(k)].push_back(-0.3f * beat * r - 0.01f);
        }
    }
    return d;
}

void setUp(WaveformView& view, const std::shared_ptr<const WaveformData>& data) {
    view.setData(data);
    view.setTotalFrames(kFrames);
    std::vector<QString> labels;
    for (int k = 0; k < kLanes; ++k) labels.push_back(QString::number(k + 1));
    view.setLaneLabels(labels);
    view.setSelection(FrameRange{kFrames / 4, kFrames / 2});
    view.resize(kWidth, kHeight);
}

void BM_PlayerStripContent(benchmark::State& state) {
    const double dpr = static_cast<double>(state.range(0));
    const auto data = overview();
    WaveformView view;
    view.setStyle(state.range(1) ? WaveformView::Style::hud : WaveformView::Style::window);
    setUp(view, data);
    QImage image(static_cast<int>(kWidth * dpr), static_cast<int>(kHeight * dpr), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    double seconds = 0;
    for (auto _ : state) {
        image.fill(Qt::transparent);
        const auto t0 = bench::Clock::now();
        view.renderTo(image);
        const double s = bench::since(t0);
        seconds += s;
        state.SetIterationTime(s);
        benchmark::DoNotOptimize(image.constBits());
    }
    const double ms = seconds / static_cast<double>(state.iterations()) * 1e3;
    state.counters["ms"] = ms;
    state.counters["frame_ms"] = kFrameMs;
    state.counters["ratio"] = ms / kFrameMs;
    state.SetLabel(std::string(state.range(1) ? "hud" : "window") + " dpr" + std::to_string(int(dpr)));
}
BENCHMARK(BM_PlayerStripContent)->ArgsProduct({{1, 2}, {0, 1}})->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_PlayerStripPlayheadMove(benchmark::State& state) {
    const auto data = overview();
    WaveformView view;
    setUp(view, data);
    view.show();
    QApplication::processEvents();
    const int renders = view.renderCount();
    double seconds = 0;
    int64_t step = 0;
    for (auto _ : state) {
        const auto t0 = bench::Clock::now();
        view.setPlayhead(static_cast<double>((step++ * 1600) % kFrames));
        QApplication::processEvents();
        const double s = bench::since(t0);
        seconds += s;
        state.SetIterationTime(s);
    }
    if (view.renderCount() != renders) state.SkipWithError("the playhead rendered the picture again");
    const double ms = seconds / static_cast<double>(state.iterations()) * 1e3;
    state.counters["ms"] = ms;
    state.counters["frame_ms"] = kFrameMs;
    state.counters["ratio"] = ms / kFrameMs;
}
BENCHMARK(BM_PlayerStripPlayheadMove)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

struct NoSetup {};
NoSetup* none = nullptr;

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, none); }
