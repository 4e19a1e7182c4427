// Which sound system plays: a JACK server when one answers (beside a
// PipeWire daemon too), else the PipeWire daemon, else ALSA's default device
// (here a null plug-in of the test's own configuration), else the silent
// output; asked afresh at every refresh. Named *PipeWire* so that it runs
// alone.
#include "platform/AudioDuplex.h"
#include "platform/AudioOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "support/JackServer.h"
#include "support/PipeWireDaemon.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

// Points ALSA's configuration at a file of the test's own while it lives.
class AlsaConfig {
public:
    explicit AlsaConfig(const std::string& text) {
        test::writeBytes(dir_ / "asound.conf", text);
        const char* old = std::getenv("ALSA_CONFIG_PATH");
        previous_ = old ? old : "";
        setenv("ALSA_CONFIG_PATH", (dir_ / "asound.conf").c_str(), 1);
    }
    ~AlsaConfig() { setenv("ALSA_CONFIG_PATH", previous_.c_str(), 1); }

private:
    test::TempDir dir_;
    std::string previous_;
};

struct Counter {
    std::atomic<int64_t> frames{0};
    static void render(void* user, uint32_t n, float* const* channels, uint32_t count) {
        for (uint32_t c = 0; c < count; ++c)
            for (uint32_t t = 0; t < n; ++t) channels[c][t] = 0.0f;
        static_cast<Counter*>(user)->frames.fetch_add(n);
    }
};

}  // namespace

TEST(SoundBackendsPipeWire, TheFirstSystemThatAnswersIsUsedAtEveryRefresh) {
    test::PipeWireDaemon& pipewire = test::sharedPipeWire();
    if (!pipewire.running() && !pipewire.start()) GTEST_SKIP() << "the PipeWire daemon could not be started";
    AlsaConfig alsa("pcm.!default { type null }\n");
    {
        test::JackServer jack;  // a professional's server beside the desktop's daemon
        if (!jack.running()) GTEST_SKIP() << "jackd could not be started";
        const auto outputs = AudioOutputs::list();
        ASSERT_FALSE(outputs.empty());
        EXPECT_EQ(outputs.front().uid, "jack:system");
        EXPECT_EQ(outputs.front().name, "JACK: system");
        for (const auto& s : AudioDuplexes::sources()) EXPECT_EQ(s.uid.rfind("jack:", 0), 0u) << s.uid;
    }
    setenv("JACK_DEFAULT_SERVER", "qm-no-server", 1);
    EXPECT_EQ(AudioOutputs::list().front().uid, "pw:qm-stereo") << "the server gone, the daemon plays";
    EXPECT_EQ(AudioOutputs::list().front().name, "PipeWire: Test Stereo");

    pipewire.stop(SIGTERM);
    const auto outputs = AudioOutputs::list();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs.front().uid, "alsa:default") << "neither answers: ALSA's default device";
    EXPECT_EQ(outputs.front().name, "ALSA: default");
    EXPECT_EQ(outputs.front().channels, 2);
    EXPECT_FALSE(AudioDuplexes::supports(outputs.front())) << "ALSA has no monitor";
    EXPECT_TRUE(AudioDuplexes::sources().empty());
    Counter counter;
    auto out = AudioOutputs::open(outputs.front(), &Counter::render, &counter, [] {});
    EXPECT_EQ(out->description(), "ALSA: default");
    EXPECT_EQ(out->channels(), 2);
    out->start();
    const auto end = std::chrono::steady_clock::now() + test::timeout(10s);
    while (counter.frames.load() < 4800 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
    out->pause();
    EXPECT_GE(counter.frames.load(), 4800) << "our thread pulls the render function";
    const int64_t stopped = counter.frames.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(counter.frames.load(), stopped) << "pause() stops the thread";
    out.reset();

    {
        AlsaConfig none("# no device\n");
        const auto silent = AudioOutputs::list();
        ASSERT_EQ(silent.size(), 1u);
        EXPECT_EQ(silent.front().uid, AudioOutputs::nullUID);
        EXPECT_EQ(silent.front().name, "Silent output (no sound device)");
    }
    ASSERT_TRUE(pipewire.start());
    EXPECT_EQ(AudioOutputs::list().front().uid, "pw:qm-stereo") << "the daemon back, the next refresh has it";
}
