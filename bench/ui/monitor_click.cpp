// From a click on a speaker of the monitor window's map to the changed
// output at a stand-in speaker device, on a dummy JACK server at a
// 256-frame period, in periods (the goal: the next period, 1). The floor
// is the same solo written straight into the engine's state, without the
// view. Each iteration toggles the solo of L and reads, from the recorded
// output, the cycle in which R left what it played before; the manual time
// is that many periods, and the counters give the periods and, for the
// click, its ratio to the floor's mean.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMouseEvent>

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>

#include "ViewBench.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/MonitorFixture.h"
#include "ui/monitor/MonitorLive.h"
#include "ui/monitor/MonitorView.h"
#include "ui/monitor/SpeakerMap.h"

using namespace qm;

namespace {

constexpr int period = 256;

struct Setup {
    std::unique_ptr<test::JackServer> server = std::make_unique<test::JackServer>(48000, period, 2, 2, 256);
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
        speakers = std::make_unique<test::JackTestDevice>("Speakers", 2, 120 * 48000);
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
        toggle();
        settle(8 * period);
        const int64_t changed = test::changeCycleTime(*speakers, *daw, 1, from, [&](int64_t p) {
            return soloing ? daw->sample(1, p) : 0.0f;
        });
        return changed < 0 ? -1 : test::periodsAfter(clicked, changed, period);
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

void run(benchmark::State& state, bool viaView) {
    if (!setup->ok()) {
        state.SkipWithError("no dummy JACK server, or the monitor did not start");
        return;
    }
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
}

void BM_StateWriteToOutput(benchmark::State& state) { run(state, false); }
void BM_SpeakerClickToOutput(benchmark::State& state) { run(state, true); }

// The floor first, so that the click's ratio can be given.
BENCHMARK(BM_StateWriteToOutput)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeakerClickToOutput)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, setup); }
