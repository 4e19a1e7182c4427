// Clicks of the audition player at a stand-in device on a dummy JACK server,
// as a mastering engineer would hear them: for each change, the largest
// sample-to-sample step around it against the largest step the signal takes
// by itself (tests' support/Clicks.h), at periods of 64 and 256 frames. The
// file holds uncorrelated tones between 500 Hz and 2 kHz at -12 dBFS. The
// floor is a change of the output level (-6 dB and back), which the render
// path ramps over one period; beside it, the upmix turned on and off on a
// 7.1.4 speaker profile, binaural rendering turned on and off (the upmix on
// a headphone profile on the same device), and a switch to a stereo
// profile on another device and back, heard at both devices (the one left
// and the next). Changes during which the server missed a cycle are not
// counted.
//
// The machine is shared: the ratios are what the path does, the counts of
// changes judged say how many were left.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/Clicks.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Profiles.h"
#include "support/TempDir.h"

#include "Latencies.h"
#include "MainLoop.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;

UpmixSettings upmix(bool on) { return test::upmixSettings(on); }

struct Rig {
    std::unique_ptr<test::JackServer> server;
    std::unique_ptr<test::JackTestDevice> device;
    std::unique_ptr<test::JackTestDevice> other;  // a stereo device beside it
    test::TempDir dir;
    ManualMainQueue queue;
    std::unique_ptr<PlaybackEngine> engine;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<PlayerModel> model;
    OutputProfile bed = test::profileInLayoutOrder(LayoutID::l714, OutputProfile::Kind::speakers, "jack:qmclick");
    OutputProfile phones = test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::headphones, "jack:qmclick");
    OutputProfile near = test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::speakers, "jack:qmother");

    explicit Rig(int period) {
        server = std::make_unique<test::JackServer>(kRate, period, 2, 0);
        if (!server->running()) return;
        device = std::make_unique<test::JackTestDevice>("qmclick", 12, int64_t(kRate) * 400);
        other = std::make_unique<test::JackTestDevice>("qmother", 2, int64_t(kRate) * 400);
        engine = std::make_unique<PlaybackEngine>(queue);
        settings = std::make_unique<SettingsStore>(std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string())));
        settings->update([&](AppSettings& s) {
            s.profiles.push_back(bed);
            s.profiles.push_back(phones);
            s.profiles.push_back(near);
            s.activeProfileID = bed.id;
        });
        model = std::make_unique<PlayerModel>(*engine, *settings);
        const auto file = dir / "tones.wav";
        test::writeAudioFile(file, test::tones(2, int64_t(kRate) * 300, 0.25, kRate, 500, 2000), kRate,
                             {.bits = 32, .isFloat = true});
        model->load(file, false);
        pump([&] { return model->info().has_value(); });
    }
    ~Rig() {
        if (model) model->stop();
        model.reset();
        engine.reset();
        queue.advance(100);
    }
    bool ok() const { return device && device->ok() && other && other->ok() && model && model->info(); }

    bool pump(const std::function<bool()>& done) { return bench::pumpUntil(queue, done); }
    bool listen(double seconds, const test::JackTestDevice& at) {
        const int64_t from = at.recorded();
        return pump([&] { return at.recorded() > from + int64_t(seconds * kRate); });
    }
    bool listen(double seconds) { return listen(seconds, *device); }
    int missed() const { return device->cycles().missed() + other->cycles().missed(); }
    int channelsOf(const test::JackTestDevice& d) const { return &d == device.get() ? 12 : 2; }
    // The click ratio at `d` of a change asked for at its frame `at`.
    double ratioAt(const test::JackTestDevice& d, int64_t at) const {
        test::Planar out;
        for (int c = 0; c < channelsOf(d); ++c)
            out.emplace_back(d.channel(c).begin() + (at - 9600), d.channel(c).begin() + d.recorded());
        return test::clickRatio(out, 9600, 9600 + int64_t(kRate * 0.6), 9600).ratio;
    }
    // The click ratio of `act`, or -1 when the server missed a cycle meanwhile.
    double measure(const std::function<void()>& act) {
        const int64_t xruns = engine->xruns();
        const int before = missed();
        const int64_t at = device->recorded();
        act();
        if (!listen(0.85)) return -1;
        if (engine->xruns() != xruns || missed() != before) return -1;
        return ratioAt(*device, at);
    }
    // The click ratios at the device left and at the next of a switch to
    // `profile` on `next`, or -1s when the server missed a cycle meanwhile.
    std::pair<double, double> measureSwitch(const OutputProfile& profile, test::JackTestDevice& left,
                                            test::JackTestDevice& next) {
        const int before = missed();
        const int64_t leftAt = left.recorded(), nextAt = next.recorded();
        model->selectProfile(profile.id);
        if (!listen(0.85, left) || !listen(0.85, next)) return {-1, -1};
        // The new output's missed cycles count from its opening.
        if (engine->xruns() != 0 || missed() != before) return {-1, -1};
        return {ratioAt(left, leftAt), ratioAt(next, nextAt)};
    }
};

void PlayerClicks(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    Rig rig(period);
    if (!rig.ok()) {
        state.SkipWithError("jackd could not be started, or the file not loaded");
        return;
    }
    rig.model->setUpmix(upmix(false));
    rig.model->play(0);
    if (!rig.pump([&] { return rig.model->isPlaying(); }) || !rig.listen(0.5)) {
        state.SkipWithError("the player made no sound");
        return;
    }
    std::map<std::string, std::vector<double>> ratios;
    auto note = [&](const std::string& what, double r) {
        if (r >= 0) ratios[what].push_back(r);
    };
    for (auto _ : state) {
        rig.model->selectProfile(rig.bed.id);
        rig.listen(0.3);
        note("level", rig.measure([&] { rig.model->setVolumeDB(-6); }));
        note("level", rig.measure([&] { rig.model->setVolumeDB(0); }));
        note("upmix_on", rig.measure([&] { rig.model->setUpmix(upmix(true)); }));
        note("upmix_off", rig.measure([&] { rig.model->setUpmix(upmix(false)); }));
        rig.model->selectProfile(rig.phones.id);
        rig.listen(0.3);
        note("binaural_on", rig.measure([&] { rig.model->setUpmix(upmix(true)); }));
        note("binaural_off", rig.measure([&] { rig.model->setUpmix(upmix(false)); }));
        rig.model->setUpmix(upmix(false));
        rig.model->selectProfile(rig.bed.id);
        rig.listen(0.3);
        const auto [away, there] = rig.measureSwitch(rig.near, *rig.device, *rig.other);
        note("other_device_left", away);
        note("other_device_next", there);
        const auto [back, here] = rig.measureSwitch(rig.bed, *rig.other, *rig.device);
        note("back_device_left", back);
        note("back_device_next", here);
    }
    const double floor = bench::percentile(ratios["level"], 0.5);
    for (const auto& [what, values] : ratios) {
        state.counters[what + "_p50"] = bench::percentile(values, 0.5);
        state.counters[what + "_max"] = bench::percentile(values, 1.0);
        state.counters[what + "_judged"] = double(values.size());
        if (what != "level" && floor > 0) state.counters[what + "_over_level"] = bench::percentile(values, 0.5) / floor;
    }
}

}  // namespace

BENCHMARK(PlayerClicks)->Arg(64)->Arg(256)->ArgName("period")->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }
