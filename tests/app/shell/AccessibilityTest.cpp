// Accessibility against the system's own bus launcher, started on demand by
// a private session bus; the root's watch over it with fakes for the rest.
#include "app/shell/Accessibility.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/DBusStandIn.h"
#include "app/shell/AppModel.h"
#include "app/shell/FinderTracker.h"
#include "app/shell/AppFakes.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    return test::untilEventLoop(condition, limit);
}

// IsEnabled set from outside, as the desktop's own settings would.
bool setEnabled(const test::PrivateBus& bus, bool on) {
    QProcess gdbus;
    gdbus.start("gdbus", {"call", "--address", bus.address(), "--dest", "org.a11y.Bus", "--object-path",
                          "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set", "org.a11y.Status",
                          "IsEnabled", on ? "<true>" : "<false>"});
    return gdbus.waitForFinished(10000) && gdbus.exitCode() == 0;
}

// The answer of an asynchronous read.
std::optional<bool> checked(Accessibility& ax) {
    std::optional<bool> answer;
    ax.checkTrusted([&](bool on) { answer = on; });
    EXPECT_FALSE(answer) << "never answered within the call";
    until([&] { return answer.has_value(); });
    return answer;
}

}  // namespace

TEST(Accessibility, TrustedIsTheLaunchersIsEnabledWithADisplay) {
    test::PrivateBus bus(true);
    bool display = true;
    BusAccessibility ax(bus.connect("ax"), [&] { return display; });
    EXPECT_FALSE(ax.trusted()) << "off until switched on";
    EXPECT_EQ(checked(ax), false);

    ax.grant();
    ASSERT_TRUE(until([&] { return ax.trusted(); })) << "granting sets IsEnabled";
    EXPECT_EQ(checked(ax), true);

    display = false;
    EXPECT_FALSE(ax.trusted()) << "no display: the tap cannot run";
    EXPECT_EQ(checked(ax), false);
    display = true;

    ASSERT_TRUE(setEnabled(bus, false));
    EXPECT_FALSE(ax.trusted());
}

TEST(Accessibility, WithoutABusNothingChangesAndNothingWaits) {
    BusAccessibility ax(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nobus"),
                        [] { return true; });
    EXPECT_FALSE(ax.trusted());
    EXPECT_EQ(checked(ax), false);
    ax.grant();
    EXPECT_FALSE(ax.trusted());
    QDBusConnection::disconnectFromBus("nobus");
}

namespace {

class AccessibilityWatch : public testing::Test {
protected:
    // The root over the real accessibility on the private bus, fakes else.
    void make() {
        AppPlatform p = pieces_.platform(dir_.path());
        p.accessibility = std::make_unique<BusAccessibility>(bus_.connect("root"), [] { return true; });
        app_ = std::make_unique<AppModel>(std::move(p));
    }
    void TearDown() override { app_.reset(); }

    test::PrivateBus bus_{true};
    test::TempDir dir_;
    test::FakePieces pieces_;
    std::unique_ptr<AppModel> app_;
};

}  // namespace

TEST_F(AccessibilityWatch, TrustedAtStartTheTapStartsAndNoPollRuns) {
    ASSERT_TRUE(setEnabled(bus_, true));
    make();
    EXPECT_TRUE(app_->axTrusted());
    app_->start();
    EXPECT_EQ(pieces_.tap->starts, 1);
    EXPECT_FALSE(app_->trustPollRunning());
}

TEST_F(AccessibilityWatch, GrantedWhileRunningIsNoticedAtTheNextTick) {
    ASSERT_TRUE(setEnabled(bus_, false));
    make();
    EXPECT_FALSE(app_->axTrusted());
    app_->start();
    EXPECT_TRUE(app_->trustPollRunning());
    EXPECT_EQ(pieces_.tap->starts, 0);
    // The file manager in front, so that taking up the observer shows.
    pieces_.files->answer = {FileManagerAccessibility::Outcome::ok, {"/m/a.wav"}};
    pieces_.windows->activate(test::FakePieces::kThunar);
    ASSERT_TRUE(until([&] { return app_->finder().currentAudio().has_value(); }));
    EXPECT_EQ(pieces_.files->observeCalls, 0);

    // A tick or two go by untrusted.
    until([] { return false; }, std::chrono::milliseconds(AppModel::kTrustPollMs + 500));
    EXPECT_FALSE(app_->axTrusted());

    ASSERT_TRUE(setEnabled(bus_, true));
    QElapsedTimer noticed;
    noticed.start();
    ASSERT_TRUE(until([&] { return app_->axTrusted(); }, std::chrono::milliseconds(AppModel::kTrustPollMs + 1000)));
    testing::Test::RecordProperty("noticedAfterMs", std::to_string(noticed.elapsed()));
    EXPECT_EQ(pieces_.tap->starts, 1);
    EXPECT_EQ(pieces_.files->observeCalls, 1) << "refreshAX once";
    EXPECT_FALSE(app_->trustPollRunning());

    // Switched off again: the root keeps its answer.
    ASSERT_TRUE(setEnabled(bus_, false));
    until([] { return false; }, std::chrono::milliseconds(AppModel::kTrustPollMs + 300));
    EXPECT_TRUE(app_->axTrusted());
    EXPECT_EQ(pieces_.tap->starts, 1);
}
