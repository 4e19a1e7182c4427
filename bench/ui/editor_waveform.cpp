// The editor waveform's redraw against its floor, at the zooms that matter.
//
// A 3-minute 48 kHz document (stereo and 16 channels) with a 120 BPM grid
// and pins, drawn into a 1600 x 600 view at device pixel ratios 1 and 2:
// at fit, at 255 and 256 frames a pixel (either side of the peak cache), at
// one frame a pixel and at the closest zoom (64 frames across). "view" is
// the view's whole picture (background, tints, grid, lanes, selection,
// cursor, ruler and flags); "floor" is the bare min/max pass over the same
// samples (or peaks) plus the bare fill of the same column rectangles
// (through the same pixel fill the view uses).
// Each iteration times both, side by side; the counters give both times
// and their ratio. The view's picture must stay under one 60 Hz frame
// (16.7 ms).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "ViewBench.h"
#include "edit/PeakCache.h"
#include "ui/editor/EditorWaveGeometry.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/widgets/RectFill.h"

using namespace qm;

namespace {

constexpr double kRate = 48000;
constexpr int64_t kFrames = static_cast<int64_t>(180 * kRate);
constexpr int kWidth = 1600;
constexpr int kHeight = 600;

struct Document {
    std::shared_ptr<const EditorModel::Channels> channels;
    PeakCache peaks;
    explicit Document(int lanes) {
        EditorModel::Channels ch(static_cast<size_t>(lanes), std::vector<float>(static_cast<size_t>(kFrames)));
        uint32_t noise = 12345;
        for (int c = 0; c < lanes; ++c) {
            auto& x = ch[static_cast<size_t>(c)];
            for (int64_t i = 0; i < kFrames; ++i) {
                noise = noise * 1664525u + 1013904223u;
                const float r = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
                const float beat = static_cast<float>(std::exp(-static_cast<double>(i % 24000) / 4000.0));
                x[static_cast<size_t>(i)] = 0.8f * beat * r;
            }
        }
        peaks.rebuild(ch);
        channels = std::make_shared<const EditorModel::Channels>(std::move(ch));
    }
};

const Document& document(int lanes) {
    static Document stereo(2);
    static Document wide(16);
    return lanes == 2 ? stereo : wide;
}

// The zooms, as the number of frames across the view.
int64_t viewLength(int zoom) {
    switch (zoom) {
        case 0: return kFrames;        // fit
        case 1: return 255 * kWidth;   // just under the cache
        case 2: return 256 * kWidth;   // from the cache
        case 3: return kWidth;         // one frame a pixel
        default: return 64;            // the closest zoom
    }
}
const char* zoomName(int zoom) {
    static const char* names[] = {"fit", "255fpp", "256fpp", "1fpp", "closest"};
    return names[zoom];
}

// The bare pass: the plainest min/max loop and one fill of the rectangles.
void floorPass(const Document& doc, int64_t start, int64_t length, QPainter& p) {
    const int n = static_cast<int>(doc.channels->size());
    const double fpp = static_cast<double>(length) / kWidth;
    std::vector<QRectF> rects;
    for (int lane = 0; lane < n; ++lane) {
        const auto box = editorwave::lane(kHeight, n, lane);
        const auto& x = (*doc.channels)[static_cast<size_t>(lane)];
        const auto& mins = doc.peaks.mins[static_cast<size_t>(lane)];
        const auto& maxs = doc.peaks.maxs[static_cast<size_t>(lane)];
        rects.clear();
        for (int px = 0; px < kWidth; ++px) {
            int64_t a = start + static_cast<int64_t>(fpp * px);
            int64_t b = std::max(start + static_cast<int64_t>(fpp * (px + 1)), a + 1);
            float lo = 0, hi = 0;
            if (fpp >= 256) {
                for (int64_t k = a / 256; k < std::min<int64_t>(b / 256, static_cast<int64_t>(mins.size())); ++k) {
                    lo = std::min(lo, mins[static_cast<size_t>(k)]);
                    hi = std::max(hi, maxs[static_cast<size_t>(k)]);
                }
            } else {
                for (int64_t k = a; k < std::min<int64_t>(b, kFrames); ++k) {
                    lo = std::min(lo, x[static_cast<size_t>(k)]);
                    hi = std::max(hi, x[static_cast<size_t>(k)]);
                }
            }
            rects.emplace_back(px, box.centre - box.amplitude * hi, 1, std::max(box.amplitude * (hi - lo), 0.75f * 1.0));
        }
        widgets::fillRects(p, rects, Qt::blue);
    }
}

void BM_EditorWaveform(benchmark::State& state) {
    const int lanes = static_cast<int>(state.range(0));
    const double dpr = static_cast<double>(state.range(1));
    const int zoom = static_cast<int>(state.range(2));
    const Document& doc = document(lanes);

    EditorWaveView view;
    view.resize(kWidth, kHeight);
    view.channels = doc.channels;
    view.peaks = &doc.peaks;
    view.frames = kFrames;
    view.viewLength = viewLength(zoom);
    view.viewStart = (kFrames - view.viewLength) / 2;
    for (double t = 0.5; t < 180; t += 0.5) view.beats.push_back(static_cast<int64_t>(t * kRate));
    for (double t = 0.5; t < 180; t += 2) view.downbeats.push_back(static_cast<int64_t>(t * kRate));
    view.introEnd = static_cast<int64_t>(16.5 * kRate);
    view.loopRange = FrameRange{static_cast<int64_t>(16.5 * kRate), static_cast<int64_t>(80.5 * kRate)};
    view.endingStart = static_cast<int64_t>(160.5 * kRate);
    view.pins = {{PinKind::introEnd, *view.introEnd}, {PinKind::loopEnd, view.loopRange->upper},
                 {PinKind::endingStart, *view.endingStart}};
    view.selection = FrameRange{view.viewStart + view.viewLength / 4, view.viewStart + view.viewLength / 2};
    view.cursor = view.viewStart + view.viewLength / 3;

    QImage image(static_cast<int>(kWidth * dpr), static_cast<int>(kHeight * dpr), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    double viewSeconds = 0, floorSeconds = 0, worst = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        view.renderTo(image);
        const auto t1 = std::chrono::steady_clock::now();
        {
            QPainter p(&image);
            floorPass(doc, view.viewStart, view.viewLength, p);
        }
        const auto t2 = std::chrono::steady_clock::now();
        const double v = std::chrono::duration<double>(t1 - t0).count();
        viewSeconds += v;
        floorSeconds += std::chrono::duration<double>(t2 - t1).count();
        worst = std::max(worst, v);
        state.SetIterationTime(v);
        benchmark::DoNotOptimize(image.constBits());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["view_ms"] = viewSeconds / n * 1e3;
    state.counters["floor_ms"] = floorSeconds / n * 1e3;
    state.counters["ratio"] = viewSeconds / floorSeconds;
    state.counters["worst_ms"] = worst * 1e3;
    state.SetLabel(std::string(zoomName(zoom)) + " " + std::to_string(lanes) + "ch dpr" + std::to_string(int(dpr)));
}

BENCHMARK(BM_EditorWaveform)
    ->ArgsProduct({{2, 16}, {1, 2}, {0, 1, 2, 3, 4}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

// The documents are made on first use; nothing needs setting up first.
struct NoSetup {};
NoSetup* none = nullptr;

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, none); }
