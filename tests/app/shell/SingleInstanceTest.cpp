// One instance per user: a second launch hands its files to the first over
// the runtime folder's socket; a socket left by a dead instance is taken
// over; a message over the limit is dropped. SIGTERM and SIGINT reach the
// main thread as a quit request.
#include "app/shell/SingleInstance.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "app/EventLoopWait.h"
#include "app/shell/QuitSignals.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

bool spin(const std::function<bool()>& done, int ms = 5000) {
    return test::untilEventLoop(done, std::chrono::milliseconds(ms));
}

}  // namespace

TEST(SingleInstance, ASecondLaunchHandsItsFilesToTheFirst) {
    test::TempDir dir;
    const QString path = QString::fromStdString((dir / "q.socket").string());
    SingleInstance first(path);
    ASSERT_FALSE(first.handOverOrServe({}));
    ASSERT_TRUE(first.listening());
    // Only the user may connect; the socket is a file, not an abstract name.
    struct stat st {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);

    std::vector<std::vector<fs::path>> received;
    QObject::connect(&first, &SingleInstance::filesReceived,
                     [&](const std::vector<fs::path>& files) { received.push_back(files); });

    // The second launch blocks on its own thread as a real one would.
    bool handed = false;
    std::thread second([&] {
        SingleInstance launch(path);
        handed = launch.handOverOrServe({dir / "a.wav", "relative.wav"});
    });
    ASSERT_TRUE(spin([&] { return !received.empty(); }));
    second.join();
    EXPECT_TRUE(handed);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], (std::vector<fs::path>{dir / "a.wav", fs::current_path() / "relative.wav"}));
}

TEST(SingleInstance, AStaleSocketIsTakenOver) {
    test::TempDir dir;
    const std::string path = (dir / "q.socket").string();
    // A socket file nobody listens on any more.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(fs::exists(path));

    SingleInstance launch(QString::fromStdString(path));
    EXPECT_FALSE(launch.handOverOrServe({"/x/a.wav"}));
    EXPECT_TRUE(launch.listening());
}

TEST(SingleInstance, MessagesAreBoundedBothWays) {
    // The sender cuts at whole lines under the limit.
    std::vector<fs::path> many(10000, fs::path("/" + std::string(40, 'a') + ".wav"));
    const QByteArray message = SingleInstance::encode(many);
    EXPECT_LE(message.size(), SingleInstance::kMaxMessage);
    EXPECT_TRUE(message.endsWith('\n'));
    EXPECT_EQ(SingleInstance::decode(message).size(), static_cast<size_t>(message.count('\n')));

    // The server drops a sender that goes over it.
    test::TempDir dir;
    const QString path = QString::fromStdString((dir / "q.socket").string());
    SingleInstance server(path);
    ASSERT_FALSE(server.handOverOrServe({}));
    int received = 0;
    QObject::connect(&server, &SingleInstance::filesReceived, [&] { ++received; });
    QLocalSocket flood;
    flood.connectToServer(path);
    ASSERT_TRUE(flood.waitForConnected(1000));
    flood.write(QByteArray(SingleInstance::kMaxMessage + 100, 'x').prepend("/"));
    ASSERT_TRUE(spin([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
    spin([] { return false; }, 200);
    EXPECT_EQ(received, 0);
}

TEST(QuitSignals, TermAndIntBecomeAQuitOnTheMainThread) {
    for (int signal : {SIGTERM, SIGINT}) {
        std::vector<int> seen;
        QuitSignals quit([&](int s) { seen.push_back(s); });
        ASSERT_TRUE(quit.installed());
        ::raise(signal);
        EXPECT_TRUE(spin([&] { return !seen.empty(); })) << signal;
        EXPECT_EQ(seen, std::vector<int>{signal});
    }
}
