// The sound server stopping (SIGTERM, as when a user restarts it) or crashing
// (SIGKILL) under the whole application: the player, the editor and the
// monitor all on one server, as the composition root wires them: a dummy
// JACK server of 16 capture and 16 playback ports, and the private PipeWire
// daemon. The process must live on, each model must say what happened, the
// players must go on on the next output from where they were, and the
// server, once started again, must be used again. And a JACK server beside
// the daemon: once it stops, the players go on on the daemon and say so.
#include "app/shell/AppModel.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>

#include "app/EventLoopWait.h"
#include "app/editor/EditorModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "playback/PlaybackEngine.h"
#include "support/AudioFiles.h"
#include "support/JackServer.h"
#include "support/PipeWireDaemon.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSilentChange = "Output device changed: Silent output (no sound device)";

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return test::untilEventLoop(condition, limit);
}

// Whether the playhead moves on from where it is now.
bool movesOn(PlayheadModel& playhead) {
    const double from = playhead.frame();
    return until([&] { return playhead.frame() > from + 2400; }, 5s);
}

// One sound server the scenario runs on.
class Server {
public:
    virtual ~Server() = default;
    virtual bool running() const = 0;
    virtual void end(int signal) = 0;
    // Starts the server again, with the monitor's source on it.
    virtual bool restart() = 0;
    virtual QString monitorSource() const = 0;
    virtual int sourceChannels() const = 0;
    // The player's output (the default device).
    virtual std::string output() const = 0;
};

class JackSide final : public Server {
public:
    bool running() const override { return server_.running(); }
    void end(int signal) override { signal == SIGKILL ? server_.kill() : server_.terminate(); }
    bool restart() override {
        server_.restart();
        return server_.running();
    }
    QString monitorSource() const override { return QStringLiteral("jack:system"); }
    int sourceChannels() const override { return 16; }
    std::string output() const override { return "JACK: system"; }

private:
    test::OnlySound only_{test::OnlySound::System::jack};
    test::JackServer server_{48000, 256, 16, 16, 256};
};

class PipeWireSide final : public Server {
public:
    PipeWireSide() {
        if (daemon().running() || daemon().start()) makeSource();
    }
    bool running() const override { return daemon().running() && source_ && source_->ok(); }
    void end(int signal) override { daemon().stop(signal); }
    bool restart() override {
        if (!daemon().start()) return false;
        makeSource();
        return source_->ok();
    }
    QString monitorSource() const override { return QStringLiteral("pw:qm-bus"); }
    int sourceChannels() const override { return 4; }
    std::string output() const override { return "PipeWire: Test Stereo"; }

private:
    static test::PipeWireDaemon& daemon() { return test::sharedPipeWire(); }
    void makeSource() {
        source_ = test::PipeWireTestNode::source("qm-bus", std::vector<std::vector<float>>(4, std::vector<float>(480)),
                                                 true);
    }
    test::OnlySound only_{test::OnlySound::System::pipewire};
    std::unique_ptr<test::PipeWireTestNode> source_;
};

// A professional's JACK server beside the desktop's PipeWire daemon (no ALSA
// device): JACK plays while it runs, the daemon once it stops.
class JackBesidePipeWire final : public Server {
public:
    bool running() const override { return server_.running() && daemon_.running(); }
    void end(int signal) override { signal == SIGKILL ? server_.kill() : server_.terminate(); }
    bool restart() override {
        server_.restart();
        return server_.running();
    }
    QString monitorSource() const override { return QStringLiteral("jack:system"); }
    int sourceChannels() const override { return 2; }
    std::string output() const override { return "JACK: system"; }

private:
    static test::PipeWireDaemon& started() {
        test::PipeWireDaemon& daemon = test::sharedPipeWire();
        if (!daemon.running()) daemon.start();
        return daemon;
    }
    test::PipeWireDaemon& daemon_ = started();
    test::OnlySound only_{test::OnlySound::System::servers};
    test::JackServer server_{48000, 256, 2, 2};
};

class SoundServerLoss : public testing::Test {
protected:
    void SetUp() override {
        test::writeTestFile(dir_ / "player.wav", 2, 48000 * 10, 48000);
        test::writeTestFile(dir_ / "editor.wav", 2, 48000 * 10, 48000);
    }
    void TearDown() override { app_.reset(); }

    void makeApp(const Server& server) {
        app_ = std::make_unique<AppModel>(pieces_.platform(dir_.path()));
        app_->start();
        app_->editor().open(dir_ / "editor.wav");
        ASSERT_TRUE(until([&] { return app_->editor().doc() && !app_->editor().busy(); }));
        // Unsaved work in the editor, which the server's end must not cost.
        app_->editor().setSelection(FrameRange{1000, 2000});
        app_->editor().silence();
        ASSERT_TRUE(app_->editor().doc()->dirty);
        app_->editor().setSelection(std::nullopt);
        app_->player().load(dir_ / "player.wav", false);
        ASSERT_TRUE(until([&] { return app_->player().info().has_value(); }));
        app_->player().setLoop(true);
        app_->editor().setLoopPlayback(true);
        app_->monitor().setSourceUID(server.monitorSource());
    }

    // The monitor runs on the server's source.
    void startMonitor(const Server& server) {
        app_->monitor().start();
        ASSERT_TRUE(until([&] { return app_->monitor().running(); })) << app_->monitor().message()->toStdString();
        EXPECT_EQ(app_->monitor().inputChannels(), server.sourceChannels());
    }

    // After the server's end: the monitor stopped and says why; it does not
    // start while no server runs, and says so again.
    void expectMonitorStopped() {
        MonitorEngine& monitor = app_->monitor();
        ASSERT_TRUE(until([&] { return !monitor.running(); }));
        ASSERT_TRUE(monitor.message());
        EXPECT_EQ(*monitor.message(), QString("The sound server stopped"));
        monitor.start();
        EXPECT_FALSE(monitor.running());
        EXPECT_TRUE(monitor.message());
    }

    // The player and the monitor together, the server ends; then the editor
    // beside the monitor, the server ends again; each time it comes back.
    void run(Server& server, int signal);

    test::TempDir dir_;
    test::FakePieces pieces_;
    std::unique_ptr<AppModel> app_;
};

void SoundServerLoss::run(Server& server, int signal) {
    makeApp(server);
    PlayerModel& player = app_->player();
    EditorModel& editor = app_->editor();
    PlaybackEngine& engine = app_->engine();

    // The player and the monitor run together on the server.
    player.play(12000);
    ASSERT_TRUE(until([&] { return player.isPlaying(); }));
    startMonitor(server);
    ASSERT_EQ(engine.outputDescription(), server.output());
    ASSERT_TRUE(movesOn(*player.playhead()));

    // The server goes: the player goes on, silently, from where it was.
    const double reached = player.playhead()->frame();
    server.end(signal);
    ASSERT_TRUE(until([&] { return player.message().has_value(); }, 10s));
    EXPECT_EQ(*player.message(), kSilentChange);
    EXPECT_TRUE(engine.isSilent());
    ASSERT_TRUE(until([&] { return player.isPlaying(); }));
    EXPECT_GE(player.playhead()->frame(), reached) << "not from the start or the cue";
    EXPECT_TRUE(movesOn(*player.playhead())) << "playback goes on, silently";
    expectMonitorStopped();
    ASSERT_TRUE(editor.doc());
    EXPECT_TRUE(editor.doc()->dirty) << "the editor's work is kept";

    // A server again: the next start plays on it, the monitor starts when asked.
    ASSERT_TRUE(server.restart());
    player.play(24000);
    ASSERT_TRUE(until([&] { return player.isPlaying() && engine.outputDescription() == server.output(); }));
    EXPECT_TRUE(movesOn(*player.playhead()));
    startMonitor(server);
    EXPECT_FALSE(app_->monitor().message());

    // Now the editor plays beside the monitor, and the server goes again.
    editor.play(5000);
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    EXPECT_FALSE(player.isPlaying());
    ASSERT_TRUE(movesOn(*editor.playhead()));
    const double editorReached = editor.playhead()->frame();
    server.end(signal);
    ASSERT_TRUE(until([&] { return editor.message().has_value(); }, 10s));
    EXPECT_EQ(*editor.message(), kSilentChange);
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    EXPECT_GE(editor.playhead()->frame(), editorReached);
    EXPECT_TRUE(movesOn(*editor.playhead())) << "the editor goes on, silently, and its transport shows it";
    EXPECT_FALSE(player.isPlaying());
    expectMonitorStopped();

    // Once more a server: the editor's next start plays on it.
    ASSERT_TRUE(server.restart());
    editor.play(5000);
    ASSERT_TRUE(until([&] { return editor.isPlaying() && engine.outputDescription() == server.output(); }));
    EXPECT_TRUE(movesOn(*editor.playhead()));
    editor.stop();
    EXPECT_TRUE(editor.doc()->dirty);
    app_.reset();  // the models let go of the server's clients before the server goes
}

// The JACK server stops while the PipeWire daemon runs: the player, then
// (in a new run of the program, on JACK again) the editor, go on on the
// daemon's default sink from where they were, and say where; the player's
// status names that output.
TEST_F(SoundServerLoss, JackStoppedBesidePipeWireThePlayerAndTheEditorGoOnThereAndSaySo) {
    JackBesidePipeWire server;
    if (!server.running()) GTEST_SKIP() << "jackd or the PipeWire daemon could not be started";
    const std::string onPipeWire = "PipeWire: Test Stereo";
    const std::string said = std::string(PlayerModel::kDeviceChanged) + onPipeWire;
    makeApp(server);
    {
        PlayerModel& player = app_->player();
        player.play(12000);
        ASSERT_TRUE(until([&] { return player.isPlaying(); }));
        ASSERT_EQ(app_->engine().outputDescription(), server.output());
        EXPECT_EQ(player.output(), server.output());
        ASSERT_TRUE(movesOn(*player.playhead()));
        const double reached = player.playhead()->frame();
        server.end(SIGTERM);
        ASSERT_TRUE(until([&] { return player.message() == said; }, 10s)) << player.message().value_or("no message");
        EXPECT_EQ(app_->engine().outputDescription(), onPipeWire);
        EXPECT_FALSE(app_->engine().isSilent());
        EXPECT_EQ(player.output(), onPipeWire) << "the status names the output in use";
        ASSERT_TRUE(until([&] { return player.isPlaying(); }));
        EXPECT_GE(player.playhead()->frame(), reached) << "not from the start or the cue";
        EXPECT_TRUE(movesOn(*player.playhead()));
        player.stop();
    }

    ASSERT_TRUE(server.restart());
    app_.reset();
    makeApp(server);
    EditorModel& editor = app_->editor();
    editor.play(5000);
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    ASSERT_EQ(app_->engine().outputDescription(), server.output());
    ASSERT_TRUE(movesOn(*editor.playhead()));
    const double reached = editor.playhead()->frame();
    server.end(SIGTERM);
    ASSERT_TRUE(until([&] { return editor.message() == said; }, 10s)) << editor.message().value_or("no message");
    ASSERT_TRUE(until([&] { return editor.isPlaying(); }));
    EXPECT_GE(editor.playhead()->frame(), reached);
    EXPECT_TRUE(movesOn(*editor.playhead())) << "the editor plays on, and its transport shows it";
    EXPECT_EQ(app_->engine().outputDescription(), onPipeWire);
    EXPECT_EQ(app_->player().output(), onPipeWire);
    editor.stop();
    EXPECT_TRUE(editor.doc()->dirty);
    app_.reset();
}

class SoundServerLossJack : public SoundServerLoss, public testing::WithParamInterface<int> {};
class SoundServerLossPipeWire : public SoundServerLoss, public testing::WithParamInterface<int> {};

std::string signalName(const testing::TestParamInfo<int>& info) {
    return info.param == SIGKILL ? "SIGKILL" : "SIGTERM";
}

}  // namespace

TEST_P(SoundServerLossJack, PlayerAndMonitorTogetherThenTheEditor) {
    JackSide server;
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    run(server, GetParam());
}

TEST_P(SoundServerLossPipeWire, PlayerAndMonitorTogetherThenTheEditor) {
    PipeWireSide server;
    if (!server.running()) GTEST_SKIP() << "the PipeWire daemon could not be started";
    run(server, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Endings, SoundServerLossJack, testing::Values(SIGTERM, SIGKILL), signalName);
INSTANTIATE_TEST_SUITE_P(Endings, SoundServerLossPipeWire, testing::Values(SIGTERM, SIGKILL), signalName);
