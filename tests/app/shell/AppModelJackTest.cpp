// Exclusive playback through the root on a dummy JACK server: the player
// and the editor share one engine, and a stand-in device records what the
// engine sends. The player's file holds -0.25 on both channels, the
// editor's +0.5, so the recording tells whose sound arrived and whether
// both ever did at once (0.25). A run in which the server missed a cycle
// is not judged sample by sample.
#include "app/shell/AppModel.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/player/PlayerModel.h"
#include "playback/PlaybackEngine.h"
#include "app/shell/AppFakes.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kPeriod = 256;
constexpr float kPlayerLevel = -0.25f;
constexpr float kEditorLevel = 0.5f;

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return test::untilEventLoop(condition, limit);
}

void writeLevel(const fs::path& file, float level, double seconds) {
    const auto frames = static_cast<size_t>(48000 * seconds);
    test::writeAudioFile(file, {std::vector<float>(frames, level), std::vector<float>(frames, level)}, 48000,
                         {test::FileKind::wav, 16});
}

struct Recording {
    const test::JackTestDevice& device;
    // The first index at or after `from` where `level` arrived on the left channel, or -1.
    int64_t first(int64_t from, float level) const {
        for (int64_t i = std::max<int64_t>(from, 0); i < device.recorded(); ++i)
            if (device.channel(0)[size_t(i)] == level) return i;
        return -1;
    }
    // Indexes in [from, to) whose sample (either channel) satisfies `bad`.
    int64_t count(int64_t from, int64_t to, const std::function<bool(float)>& bad) const {
        int64_t n = 0;
        for (int64_t i = std::max<int64_t>(from, 0); i < to; ++i)
            for (int c = 0; c < 2; ++c) n += bad(device.channel(c)[size_t(i)]);
        return n;
    }
};

class AppModelJack : public testing::Test {
protected:
    void SetUp() override {
        if (!server_.running()) GTEST_SKIP() << "jackd could not be started";
        device_ = std::make_unique<test::JackTestDevice>("qmroot", 2, 48000 * 60);
        ASSERT_TRUE(device_->ok());
        writeLevel(dir_ / "player.wav", kPlayerLevel, 20);
        writeLevel(dir_ / "editor.wav", kEditorLevel, 20);
        app_ = std::make_unique<AppModel>(pieces_.platform(dir_.path()));
        app_->settings().update([](AppSettings& s) {
            auto& nearfield = s.profiles[1];
            nearfield.deviceUID = "jack:qmroot";
            nearfield.outputs = {0, 1};
            nearfield.trimsDB = {0, 0};
            s.activeProfileID = nearfield.id;
        });
        app_->start();
        app_->editor().open(dir_ / "editor.wav");
        ASSERT_TRUE(until([&] { return app_->editor().doc() && !app_->editor().busy(); }));
        app_->player().load(dir_ / "player.wav", false);
        ASSERT_TRUE(until([&] { return app_->player().info().has_value(); }));
    }
    void TearDown() override {
        app_.reset();
        device_.reset();
    }

    test::JackServer server_;
    test::TempDir dir_;
    test::FakePieces pieces_;
    std::unique_ptr<test::JackTestDevice> device_;
    std::unique_ptr<AppModel> app_;
};

}  // namespace

TEST_F(AppModelJack, TheEditorStartingStopsThePlayerWithinAPeriodAndParksItsPlayhead) {
    auto& player = app_->player();
    auto& editor = app_->editor();
    Recording rec{*device_};
    struct Row {
        const char* what;
        std::function<void()> start;
        int64_t parkedAt;
    };
    const std::vector<Row> rows{
        {"cued", [&] { player.seek(48000); }, 48000},
        {"with a selection", [&] { player.select(FrameRange{96000, 144000}); }, 96000},
    };
    int judged = 0;
    for (const auto& row : rows) {
        row.start();
        ASSERT_TRUE(until([&] { return player.isPlaying(); })) << row.what;
        const int64_t heard = device_->recorded();
        ASSERT_TRUE(until([&] { return rec.first(heard, kPlayerLevel) >= 0; })) << row.what;
        const int64_t missed = app_->engine().xruns();

        editor.play();
        const int64_t stopped = device_->recorded();
        EXPECT_FALSE(player.isPlaying()) << row.what << ": stopped before the editor's start returns";
        EXPECT_EQ(player.playhead()->frame(), row.parkedAt) << row.what;
        ASSERT_TRUE(until([&] { return editor.isPlaying(); })) << row.what;
        ASSERT_TRUE(until([&] { return rec.first(stopped, kEditorLevel) >= 0; })) << row.what;
        const int64_t editorFrom = rec.first(stopped, kEditorLevel);
        ASSERT_TRUE(until([&] { return device_->recorded() > editorFrom + 48000 / 2; }));
        if (app_->engine().xruns() == missed) {
            ++judged;
            // One period may still be on its way when the stop is asked for.
            EXPECT_EQ(rec.count(stopped + 2 * kPeriod, device_->recorded(), [](float v) { return v < 0; }), 0)
                << row.what << ": the player's sound after its stop";
            EXPECT_EQ(rec.count(editorFrom + kPeriod, editorFrom + 48000 / 2,
                                [](float v) { return v != kEditorLevel; }),
                      0)
                << row.what << ": something besides the editor's sound once it arrived";
        }
        editor.stop();
        ASSERT_TRUE(until([&] { return !editor.isPlaying(); }));
        player.clearSelection();
    }
    RecordProperty("judged", judged);
}

TEST_F(AppModelJack, ThePlayerStartingMakesTheEditorShowItselfStopped) {
    auto& player = app_->player();
    auto& editor = app_->editor();
    Recording rec{*device_};
    editor.play();
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    ASSERT_TRUE(until([&] { return rec.first(0, kEditorLevel) >= 0; }));
    const int64_t missed = app_->engine().xruns();

    player.play();
    EXPECT_FALSE(editor.isPlaying()) << "the editor yields at once";
    const int64_t asked = device_->recorded();
    ASSERT_TRUE(until([&] { return player.isPlaying(); }));
    ASSERT_TRUE(until([&] { return rec.first(asked, kPlayerLevel) >= 0; }));
    const int64_t playerFrom = rec.first(asked, kPlayerLevel);
    ASSERT_TRUE(until([&] { return device_->recorded() > playerFrom + 48000 / 2; }));
    EXPECT_FALSE(editor.isPlaying());
    if (app_->engine().xruns() == missed) {
        EXPECT_EQ(rec.count(playerFrom + kPeriod, playerFrom + 48000 / 2,
                            [](float v) { return v != kPlayerLevel; }),
                  0)
            << "two streams rendered at once";
    }
    player.stop();
}
