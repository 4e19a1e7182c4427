// The control port as programs meet it: the real port, 47806, asked by curl.
// These tests hold the ctest resource lock "port47806".
#include "app/shell/ControlServer.h"

#include <QProcess>

#include <gtest/gtest.h>

#include "app/shell/LoopbackClient.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

namespace {

// Runs curl (its output with the reply's head) while the event loop serves.
std::string curl(const QStringList& arguments) {
    QProcess process;
    process.start("curl", QStringList{"--silent", "--include", "--max-time", "10"} + arguments);
    runUntil([&] { return process.state() == QProcess::NotRunning; }, 15s);
    return process.readAllStandardOutput().toStdString();
}

}  // namespace

TEST(ControlServerEndToEnd, AnswersProgramsOnTheRealPortOnly) {
    ControlServer server;
    std::vector<std::string> commands;
    server.setHandler([&](const std::string& command, const ControlServer::Parameters& parameters) {
        commands.push_back(command);
        return nlohmann::json{{"command", command}, {"name", parameters.count("name") ? parameters.at("name") : ""}};
    });
    server.start();
    ASSERT_TRUE(server.isListening()) << "port 47806 is taken";
    ASSERT_EQ(server.serverPort(), 47806);

    // 47806 is BABE: listened on by 127.0.0.1 alone, and not at all over IPv6.
    EXPECT_EQ(listeningEntries(47806, false), std::vector<std::string>{"0100007F:BABE"});
    EXPECT_TRUE(listeningEntries(47806, true).empty());
    // Other loopback addresses find nothing; no other address of the machine is tried.
    RawConnection other("127.0.0.2", 47806);
    EXPECT_EQ(other.connectError(), ECONNREFUSED);
    RawConnection six("::1", 47806);
    EXPECT_FALSE(six.connected());

    EXPECT_EQ(curl({"-H", "X-Quillmarsh: 1", "http://127.0.0.1:47806/profile?name=Near%20field"}),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 41\r\n"
              "Connection: close\r\n\r\n{\"command\":\"profile\",\"name\":\"Near field\"}");
    // curl names the host as the user wrote it; "localhost" is ours too.
    EXPECT_TRUE(curl({"-H", "X-Quillmarsh: 1", "http://localhost:47806/status"}).starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(curl({"http://127.0.0.1:47806/status"}),
              "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n\r\n{\"error\":\"forbidden\"}");
    EXPECT_EQ(commands, (std::vector<std::string>{"profile", "status"}));
}
