// The monitor's "start" through the composition root on a dummy JACK server
// whose own client offers capture ports (the source) and playback ports
// (the output): the reply goes out before the stream starts, and a later
// request sees it running. Run serially (the name holds "Jack").
#include "app/shell/AppModel.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/core/SettingsStore.h"
#include "app/monitor/MonitorEngine.h"
#include "app/shell/AppFakes.h"
#include "support/JackServer.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    return test::untilEventLoop(condition, limit);
}

}  // namespace

TEST(CommandRouterJack, MonitorStartAnswersAtOnceAndALaterRequestSeesItRunning) {
    test::JackServer server(48000, 256, 2, 2);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::TempDir dir;
    test::FakePieces pieces;
    AppModel app(pieces.platform(dir.path()));
    auto& monitor = app.monitor();
    app.settings().update([](AppSettings& s) {
        auto& nearfield = s.profiles[1];  // stereo speakers
        nearfield.deviceUID = "jack:system";
        nearfield.outputs = {0, 1};
        nearfield.trimsDB = {0, 0};
    });
    monitor.setProfileID(app.settings().value().profiles[1].id);
    monitor.setSourceUID(QString("jack:system"));
    MonitorState state = monitor.state();
    state.source = MonitorSource::stereo;
    monitor.setState(state);

    const auto started = app.handle("monitor", {{"action", "start"}});
    EXPECT_EQ(started["running"], false);
    EXPECT_EQ(started["ok"], true);
    EXPECT_FALSE(monitor.running()) << "the reply waited for the start";
    ASSERT_TRUE(until([&] { return monitor.running(); })) << monitor.message().value_or("").toStdString();
    EXPECT_EQ(app.handle("monitor", {})["running"], true);

    const auto stopped = app.handle("monitor", {{"action", "stop"}});
    EXPECT_EQ(stopped["running"], false);
    EXPECT_FALSE(monitor.stream());
    // A start that cannot succeed answers all the same and says why in the
    // monitor's message.
    monitor.setSourceUID(QString("jack:gone"));
    EXPECT_EQ(app.handle("monitor", {{"action", "start"}})["running"], false);
    ASSERT_TRUE(until([&] { return monitor.message().has_value(); }));
    EXPECT_FALSE(monitor.running());
}
