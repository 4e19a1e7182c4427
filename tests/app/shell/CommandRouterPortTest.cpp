// The command table as programs meet it: the composition root on the real
// control port, asked by curl. These tests hold the ctest resource lock
// "port47806".
#include "app/shell/AppModel.h"

#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/LoopbackClient.h"
#include "support/TempDir.h"

using namespace qm;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

struct Reply {
    std::string status;  // the status line
    json body;
};

// Runs curl with the control header while the event loop serves.
Reply curl(const std::string& url) {
    QProcess process;
    process.start("curl", {"--silent", "--include", "--max-time", "10", "-H", "X-Quillmarsh: 1",
                           QString::fromStdString(url)});
    test::runUntil([&] { return process.state() == QProcess::NotRunning; }, 15s);
    const std::string out = process.readAllStandardOutput().toStdString();
    const auto line = out.find("\r\n");
    const auto head = out.find("\r\n\r\n");
    if (line == std::string::npos || head == std::string::npos) return {out, nullptr};
    return {out.substr(0, line), json::parse(out.substr(head + 4), nullptr, false)};
}

}  // namespace

TEST(CommandRouterPort, CurlDimsTheMonitorAndHearsOfAWordInTheWrongCase) {
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.controlPort = ControlServer::port;
    AppModel app(std::move(platform));
    app.start();
    ASSERT_TRUE(app.control().isListening()) << "port 47806 is taken";

    const Reply dim = curl("http://127.0.0.1:47806/monitor/?action=dim");
    EXPECT_EQ(dim.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(dim.body, (json{{"ok", true},
                              {"dim", true},
                              {"mute", false},
                              {"mode", "Full"},
                              {"volume", 0.0},
                              {"running", false},
                              {"upmix", false},
                              {"upmixPreset", "Music"},
                              {"upmixAvailable", false}}));
    EXPECT_TRUE(app.monitor().state().dim);

    const Reply status = curl("http://127.0.0.1:47806/Status");
    EXPECT_EQ(status.status, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(status.body, (json{{"error", "unknown command Status"}}));
}

TEST(CommandRouterPort, APortInUseIsSaidNotSilentlyGivenUp) {
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 0));
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.controlPort = other.serverPort();
    AppModel app(std::move(platform));
    app.start();
    EXPECT_FALSE(app.control().isListening());
    EXPECT_EQ(app.player().message(), "Control port " + std::to_string(other.serverPort()) +
                                          " is in use; remote commands are off");
}
