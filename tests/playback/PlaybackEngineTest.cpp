#include "playback/PlaybackEngine.h"

#include "playback/AudioDevices.h"
#include "audio/FrameSource.h"
#include "audio/StreamReader.h"
#include "spatial/Upmixer.h"
#include "platform/AppError.h"
#include "platform/MainQueue.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace qm;
using namespace std::chrono_literals;

namespace {

// A reader over `source`, pre-filled as the players do before play().
std::shared_ptr<StreamReader> openReader(std::shared_ptr<FrameSource> source, double rate,
                                         bool loop = false) {
    const int64_t len = source->length();
    auto reader = std::make_shared<StreamReader>(std::move(source), rate, 0, len, loop, 0, len);
    while (mn_ring_write_space(reader->ring()) >= StreamReader::kBlockFrames && reader->fillOnce()) {
    }
    return reader;
}

std::shared_ptr<FrameSource> memory(const test::Planar& p, double rate) {
    return std::make_shared<MemorySource>(p, rate);
}

// Runs the main queue's due work until `cond` holds.
bool pumpUntil(ManualMainQueue& q, const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        q.runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(2ms);
    }
    q.runDue();
    return cond();
}

MixConfig stereoTo(int rows, std::vector<float> matrix) {
    MixConfig c;
    c.inChannels = 2;
    c.rows = rows;
    c.matrix = std::move(matrix);
    c.binLeft = kNoDeviceChannel;
    c.binRight = kNoDeviceChannel;
    return c;
}

class PlaybackEngineJack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    }
    ManualMainQueue queue;
};

}  // namespace

TEST_F(PlaybackEngineJack, PlaysAFileToTheChosenDeviceThroughTheMatrixAndRecoversFromItsRemoval) {
    auto dev = std::make_unique<test::JackTestDevice>("qmspeakers", 4, 48000 * 3);
    ASSERT_TRUE(dev->ok());
    PlaybackEngine engine(queue);
    int changes = 0;
    engine.onDeviceChange = [&] { ++changes; };

    auto all = AudioDevices::allOutputs();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].uid, "jack:qmspeakers");

    engine.configure(std::string("jack:qmspeakers"), false);
    EXPECT_EQ(engine.deviceChannels(), 4);
    EXPECT_EQ(engine.sampleRate(), 48000.0);
    EXPECT_EQ(engine.deviceName(), "qmspeakers");
    EXPECT_EQ(engine.outputDescription(), "JACK: qmspeakers");
    EXPECT_FALSE(engine.isRunning()) << "configure prepares, play starts";

    test::TempDir dir;
    const auto file = dir / "tone.wav";
    const int64_t frames = 48000;
    test::writeTestFile(file, 2, frames, 48000, {test::FileKind::wav, 32, true});
    // L, R, their mean and the inverted left on four device channels.
    const MixConfig cfg = stereoTo(4, {1, 0, 0, 1, 0.5f, 0.5f, -1, 0});
    engine.setConfig(cfg);
    engine.play(openReader(std::make_shared<FileSource>(file), engine.sampleRate()), 0);
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(pumpUntil(queue, [&] { return mn_i64_load(engine.ctx().finished) == 1; }, 5s));
    EXPECT_EQ(mn_f64_load(engine.ctx().position), double(frames - 1));
    std::this_thread::sleep_for(30ms);

    // Align the recording with the file on the left channel, then compare
    // every channel past the one-callback fade-in and the port connections.
    const int64_t rec = dev->recorded();
    auto expect = [&](int c, int64_t t) {
        float l = test::staircase(0, t), r = test::staircase(1, t);
        return cfg.matrix[c * 2] * l + cfg.matrix[c * 2 + 1] * r;
    };
    int64_t offset = -1;
    for (int64_t o = 0; o + 5000 < rec && offset < 0; ++o) {
        bool match = true;
        for (int64_t t = 4096; t < 4160 && match; ++t) match = dev->channel(0)[o + t] == expect(0, t);
        if (match) offset = o;
    }
    ASSERT_GE(offset, 0) << "the file's frames did not reach the device";
    ASSERT_LE(offset + frames, rec);
    for (int64_t t = 4096; t < frames; ++t) {
        for (int c = 0; c < 4; ++c) {
            ASSERT_NEAR(dev->channel(c)[offset + t], expect(c, t), 1e-6) << "channel " << c << " frame " << t;
        }
    }
    EXPECT_EQ(changes, 0);

    // The device goes away while a loop plays: a configuration change.
    engine.play(openReader(std::make_shared<FileSource>(file), engine.sampleRate(), true), 0);
    std::this_thread::sleep_for(50ms);
    dev->close();
    ASSERT_TRUE(pumpUntil(queue, [&] { return changes > 0; }, 3s));
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(engine.configuredKey().has_value());

    // It comes back; the player stops, reconfigures with force and plays on.
    dev = std::make_unique<test::JackTestDevice>("qmspeakers", 4, 48000);
    ASSERT_TRUE(dev->ok());
    const double reached = mn_f64_load(engine.ctx().position);
    engine.stop();
    engine.configure(std::string("jack:qmspeakers"), true);
    engine.setConfig(cfg);
    engine.play(openReader(std::make_shared<FileSource>(file), engine.sampleRate(), true), reached);
    ASSERT_TRUE(pumpUntil(queue, [&] { return dev->recorded() > 9600; }, 3s));
    std::this_thread::sleep_for(50ms);
    bool heard = false;
    for (int64_t t = 0; t < dev->recorded(); ++t) heard |= dev->channel(3)[t] != 0.0f;
    EXPECT_TRUE(heard);
    EXPECT_EQ(engine.xruns(), 0);
    engine.stop();
}

TEST_F(PlaybackEngineJack, ConfigureKeepsARunningEngineAndFallsBackToTheDefaultDevice) {
    PlaybackEngine engine(queue);
    engine.configure(std::nullopt, false);
    EXPECT_EQ(engine.configuredKey(), "default");
    EXPECT_EQ(engine.deviceName(), "System Output");
    EXPECT_EQ(engine.outputDescription(), "JACK: system");
    engine.setConfig(stereoTo(2, {1, 0, 0, 1}));
    engine.play(openReader(memory(test::staircaseSignal(2, 48000 * 4), 48000), 48000, true), 0);
    ASSERT_TRUE(engine.isRunning());

    // Same device, no force: nothing changes, playback goes on.
    engine.configure(std::nullopt, false);
    EXPECT_TRUE(engine.isRunning());
    const double p = mn_f64_load(engine.ctx().position);
    ASSERT_TRUE(pumpUntil(queue, [&] { return mn_f64_load(engine.ctx().position) > p + 1000; }, 2s));

    // A UID nobody has: the default device under the name "Unavailable device".
    engine.configure(std::string("jack:nobody"), false);
    EXPECT_FALSE(engine.isRunning()) << "a new device is built stopped";
    EXPECT_EQ(engine.configuredKey(), "jack:nobody");
    EXPECT_EQ(engine.deviceName(), "Unavailable device");
    EXPECT_EQ(engine.outputDescription(), "JACK: system");
    engine.stop();
}

TEST_F(PlaybackEngineJack, PausesTwentySecondsAfterStopUnlessPlayedAgain) {
    PlaybackEngine engine(queue);
    engine.configure(std::nullopt, false);
    engine.setConfig(stereoTo(2, {1, 0, 0, 1}));
    auto source = memory(test::staircaseSignal(2, 48000), 48000);
    engine.play(openReader(source, 48000, true), 0);
    engine.stop();
    queue.advance(19.0);
    EXPECT_TRUE(engine.isRunning());
    engine.play(openReader(source, 48000, true), 0);
    queue.advance(5.0);
    EXPECT_TRUE(engine.isRunning()) << "play cancelled the pause";
    engine.stop();
    queue.advance(20.0);
    EXPECT_FALSE(engine.isRunning());
    // Paused means no callbacks: a ring put in the slot is not read.
    auto probe = openReader(source, 48000);
    const int32_t before = mn_ring_available(probe->ring());
    mn_slot_store(engine.ctx().ringSlot, probe->ring());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(mn_ring_available(probe->ring()), before);
    mn_f64_store(engine.ctx().position, -1.0);
    engine.play(openReader(source, 48000, true), 0);
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(pumpUntil(queue, [&] { return mn_f64_load(engine.ctx().position) > 100; }, 2s));
    engine.stop();
}

TEST_F(PlaybackEngineJack, KeepsItsUpmixerForTheSameRequestAndRetiresReplacedOnesLater) {
    PlaybackEngine engine(queue);
    engine.configure(std::nullopt, false);
    MixConfig cfg;
    cfg.upmix = UpmixRequest{{SpeakerID::L, SpeakerID::R},
                             {SpeakerID::L, SpeakerID::R, SpeakerID::C, SpeakerID::Ls, SpeakerID::Rs},
                             UpmixParams{}};
    cfg.inChannels = 5;
    cfg.rows = 2;
    cfg.matrix.assign(10, 0.0f);
    cfg.matrix[0] = cfg.matrix[6] = 1.0f;
    engine.setConfig(cfg);
    std::shared_ptr<Upmixer> first = engine.upmixer();
    ASSERT_TRUE(first);
    auto* firstRecord = static_cast<const mn_mix_config*>(mn_slot_load(engine.ctx().cfgSlot));
    EXPECT_EQ(firstRecord->upmix, first->raw());
    cfg.matrix[0] = 0.5f;
    engine.setConfig(cfg);
    EXPECT_EQ(engine.upmixer(), first) << "same request, same rate: same upmixer";

    cfg.upmix->target.push_back(SpeakerID::LFE);
    cfg.inChannels = 6;
    cfg.matrix.assign(12, 0.0f);
    engine.setConfig(cfg);
    EXPECT_NE(engine.upmixer(), first);
    std::weak_ptr<Upmixer> old = first;
    first.reset();
    queue.advance(2.9);
    EXPECT_FALSE(old.expired()) << "a replaced upmixer lives on for 3 s";
    queue.advance(0.2);
    EXPECT_TRUE(old.expired());

    cfg.upmix.reset();
    cfg.inChannels = 2;
    cfg.matrix = {1, 0, 0, 1};
    engine.setConfig(cfg);
    EXPECT_FALSE(engine.upmixer());
}

TEST(PlaybackEngineNull, PlaysSilentlyWithoutASoundServer) {
    const char* saved = std::getenv("JACK_DEFAULT_SERVER");
    std::string keep = saved ? saved : "";
    setenv("JACK_DEFAULT_SERVER", "qm-no-such-server", 1);
    ManualMainQueue queue;
    PlaybackEngine engine(queue);
    engine.configure(std::nullopt, false);
    if (saved) setenv("JACK_DEFAULT_SERVER", keep.c_str(), 1);
    else unsetenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(engine.outputDescription(), "Silent output (no sound server)");
    EXPECT_EQ(engine.deviceChannels(), 2);
    EXPECT_EQ(engine.sampleRate(), 48000.0);
    engine.setConfig(stereoTo(2, {1, 0, 0, 1}));
    auto t0 = std::chrono::steady_clock::now();
    engine.play(openReader(memory(test::staircaseSignal(2, 9600), 48000), 48000), 0);
    ASSERT_TRUE(pumpUntil(queue, [&] { return mn_i64_load(engine.ctx().finished) == 1; }, 3s));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(secs, 0.15) << "the null output runs in real time";
    EXPECT_EQ(mn_f64_load(engine.ctx().position), 9599.0);
    engine.stop();
}
