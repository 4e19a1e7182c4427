// From a click on a speaker of the monitor window's map to the changed
// output at a stand-in speaker device (a stereo profile), on a dummy JACK
// server at a 256-frame period, in periods (the goal: the next period, 1).
// The floor is the same solo written straight into the engine's state,
// without the view. Each iteration toggles the solo of L and reads, from
// the recorded output, the cycle in which R left what it played before; the
// manual time is that many periods, and the counters give the periods and,
// for the click, its ratio to the floor's mean.
//
// Each change is also heard as a mastering engineer would: the largest
// sample-to-sample step around it against the largest step the signal
// takes by itself (the tests' support/Clicks.h), as click_ratio; and, on a
// 9.1.6 profile of the same device, the "Upmix" switch of the window is
// clicked on and off, its click ratio beside the solo's. Changes during which the server missed a cycle are
// not counted.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMouseEvent>

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>

#include "ViewBench.h"
#include "../Latencies.h"
#include "support/Clicks.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/MonitorFixture.h"
#include "ui/monitor/MonitorLive.h"
#include "ui/monitor/MonitorView.h"
#include "ui/monitor/SpeakerMap.h"
#include "ui/monitor/UpmixRow.h"

#include <QToolButton>

using namespace qm;

namespace {

constexpr int period = 256;

struct Setup {
    std::unique_ptr<test::JackServer> server = std::make_unique<test::JackServer>(48000, period, 2, 2, 256);
    static constexpr int channels = 16;
    std::unique_ptr<test::JackTestSource> daw;
    std::unique_ptr<test::JackTestDevice> speakers;
    std::unique_ptr<test::MonitorFixture> f;
    std::unique_ptr<MonitorView> view;
    double floorMean = 0;

    Setup() {
        if (!server->running()) return;
        std::vector<std::vector<float>> s(2, std::vector<float>(48000));
        for (size_t c = 0; c < 2; ++c)
            for (size_t t = 0; t < s[c].size(); ++t)
                s[c][t] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 1000.0 * double(t) / 48000.0));
        daw = std::make_unique<test::JackTestSource>("Workstation", s, true);
        speakers = std::make_unique<test::JackTestDevice>("Speakers", channels, 120 * 48000);
        f = std::make_unique<test::MonitorFixture>();
        f->useProfile(LayoutID::stereo, OutputProfile::Kind::speakers, "jack:Speakers");
        f->edit([](MonitorState& st) { st.source = MonitorSource::stereo; });
        f->engine->setSourceUID(QString("jack:Workstation"));
        view = std::make_unique<MonitorView>(*f->engine, f->settings);
        view->resize(720, 640);
        view->show();
        f->engine->start();
    }
    ~Setup() {
        view.reset();
        f.reset();
        speakers.reset();
        daw.reset();
    }
    bool ok() const { return f && f->engine->running(); }

    void settle(int64_t frames) {
        const int64_t from = speakers->recorded();
        test::waitFor([&] { return speakers->recorded() > from + frames; }, &f->queue);
    }

    // Toggles the solo of L by `toggle`; the periods until R changed, or -1.
    int64_t measure(const std::function<void()>& toggle) {
        settle(4 * period);
        const bool soloing = f->engine->state().solo.empty();
        const int64_t from = speakers->recorded();
        const int64_t clicked = speakers->frameTime();
        const int64_t xruns = f->engine->stream()->xruns();
        const int missed = speakers->cycles().missed() + daw->cycles().missed();
        toggle();
        settle(8 * period);
        const int64_t changed = test::changeCycleTime(*speakers, *daw, 1, from, [&](int64_t p) {
            return soloing ? daw->sample(1, p) : 0.0f;
        });
        noteClick(from, xruns, missed, 12000);
        return changed < 0 ? -1 : test::periodsAfter(clicked, changed, period);
    }

    // The click ratio of the change made at recorded frame `from`, over the
    // `window` frames after it, unless a cycle was missed meanwhile.
    std::vector<double> clicks;
    void noteClick(int64_t from, int64_t xruns, int missed, int64_t window) {
        settle(window + 9600);
        if (f->engine->stream()->xruns() != xruns ||
            speakers->cycles().missed() + daw->cycles().missed() != missed || from < 9600)
            return;
        test::Planar out;
        for (int c = 0; c < channels; ++c)
            out.emplace_back(speakers->channel(c).begin() + (from - 9600),
                             speakers->channel(c).begin() + speakers->recorded());
        clicks.push_back(test::clickRatio(out, 9600, 9600 + window, 9600).ratio);
    }
};

Setup* setup = nullptr;

// A left click, pressed and released over the button's centre.
void click(QWidget* w) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    const QPointF global = w->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

void reportClicks(benchmark::State& state) {
    state.counters["click_ratio_p50"] = bench::percentile(setup->clicks, 0.5);
    state.counters["click_ratio_max"] = bench::percentile(setup->clicks, 1.0);
    state.counters["clicks_judged"] = double(setup->clicks.size());
    setup->clicks.clear();
}

void run(benchmark::State& state, bool viaView) {
    if (!setup->ok()) {
        state.SkipWithError("no dummy JACK server, or the monitor did not start");
        return;
    }
    setup->clicks.clear();
    double total = 0;
    int64_t worst = 0, count = 0;
    for (auto _ : state) {
        const int64_t periods = setup->measure([viaView] {
            if (viaView)
                click(setup->view->speakerMap()->button(SpeakerID::L));
            else
                setup->f->edit([](MonitorState& s) {
                    if (!s.solo.erase(SpeakerID::L)) s.solo.insert(SpeakerID::L);
                });
        });
        if (periods < 0) {
            state.SkipWithError("no change arrived");
            return;
        }
        state.SetIterationTime(double(periods) * period / 48000.0);
        total += double(periods);
        worst = std::max(worst, periods);
        ++count;
    }
    const double mean = count ? total / double(count) : 0;
    state.counters["periods"] = mean;
    state.counters["worst_periods"] = double(worst);
    state.counters["xruns"] = double(setup->f->engine->stream()->xruns());
    if (!viaView) setup->floorMean = mean;
    if (viaView && setup->floorMean > 0) state.counters["ratio_to_floor"] = mean / setup->floorMean;
    reportClicks(state);
}

void BM_StateWriteToOutput(benchmark::State& state) { run(state, false); }
void BM_SpeakerClickToOutput(benchmark::State& state) { run(state, true); }

// The window's "Upmix" switch clicked on and off: how loud the step at each
// change is, beside the solo's.
void BM_UpmixSwitchClick(benchmark::State& state) {
    if (setup->ok()) {
        setup->f->useProfile(LayoutID::l916, OutputProfile::Kind::speakers, "jack:Speakers", "Room");
        test::waitFor([&] { return setup->ok(); }, &setup->f->queue);
    }
    auto* toggle = setup->ok() ? setup->view->upmixRow()->findChild<QToolButton*>("upmix") : nullptr;
    if (!toggle || !toggle->isEnabled()) {
        state.SkipWithError("no dummy JACK server, or no upmix offered");
        return;
    }
    std::vector<double> on, off;
    for (auto _ : state) {
        setup->clicks.clear();
        setup->settle(4 * period);
        const int64_t from = setup->speakers->recorded();
        const int64_t xruns = setup->f->engine->stream()->xruns();
        const int missed = setup->speakers->cycles().missed() + setup->daw->cycles().missed();
        const bool turningOn = !setup->f->engine->state().upmix.enabled;
        click(toggle);
        // A new upmix kernel settles about 55 ms before it crossfades in.
        setup->noteClick(from, xruns, missed, int64_t(0.6 * 48000));
        for (double r : setup->clicks) (turningOn ? on : off).push_back(r);
    }
    setup->clicks.clear();
    for (const auto& [name, values] : {std::pair{"on", &on}, std::pair{"off", &off}}) {
        state.counters[std::string(name) + "_click_ratio_p50"] = bench::percentile(*values, 0.5);
        state.counters[std::string(name) + "_click_ratio_max"] = bench::percentile(*values, 1.0);
        state.counters[std::string(name) + "_judged"] = double(values->size());
    }
}

// The floor first, so that the click's ratio can be given.
BENCHMARK(BM_StateWriteToOutput)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeakerClickToOutput)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpmixSwitchClick)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, setup); }
