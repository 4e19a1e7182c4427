// Audio from a copied link: the real downloader fetching an MP3 from a
// loopback server, and a stand-in downloader (a script that records its
// arguments and environment) for the result and failure rules.
#include "app/shell/LinkLoader.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "app/EventLoopWait.h"
#include "app/HttpStandIn.h"
#include "app/core/SettingsStore.h"
#include "app/library/LibraryModel.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/AppModel.h"
#include "audio/AudioFileInfo.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"
#include "support/TmpfsMount.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kStandIn = QM_STANDIN_DOWNLOADER;

bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
    return test::untilEventLoop(condition, limit);
}

std::vector<std::string> readLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Everything in a folder, hidden entries included.
std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> out;
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Gone, or a zombie waiting for its new parent to collect it.
bool ended(pid_t pid) {
    if (::kill(pid, 0) != 0) return errno == ESRCH;
    const std::string stat = test::readBytes("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// A loopback HTTP server on threads of its own (the test's event loop runs
// the downloads meanwhile) with bodies no download should take whole: a
// sparse file of 3 GB served with its length, an endless body without one,
// a slow trickle, and transfers broken off after dropAfter() bytes of each
// connection: "/drops.mp3" declares kDeclared bytes and answers every
// request from its first byte (no ranges), "/resumes.mp3" serves the
// resumable() body from the range asked for. Counts the body bytes it sent
// and the GET requests of each path.
class StreamServer {
public:
    static constexpr uint64_t kDeclared = 8u << 20;

    explicit StreamServer(const fs::path& sparse) : sparse_(sparse) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 16) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            throw std::runtime_error("no loopback port");
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept(); });
    }
    ~StreamServer() {
        stop_ = true;
        acceptor_.join();
        std::lock_guard lock(mutex_);
        for (auto& w : workers_) w.join();
        ::close(listen_);
    }
    std::string url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    uint64_t sent() const { return sent_; }
    int gets(const std::string& path) {
        std::lock_guard lock(mutex_);
        return gets_[path];
    }
    // Set before the requests they serve.
    void setBrokenTransfers(size_t dropAfter, std::chrono::milliseconds pausePer64k) {
        dropAfter_ = dropAfter;
        pause_ = pausePer64k;
    }
    void setResumable(std::string body) { resumable_ = std::move(body); }

private:
    void accept() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const timeval wait{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            std::lock_guard lock(mutex_);
            workers_.emplace_back([this, fd] {
                serve(fd);
                ::close(fd);
            });
        }
    }

    // Sends all of `data` unless the client went or the server stops.
    bool send(int fd, const char* data, size_t size, bool body = true) {
        while (size > 0 && !stop_) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return false;
            if (body) sent_ += uint64_t(n);
            data += n;
            size -= size_t(n);
        }
        return size == 0;
    }

    void serve(int fd) {
        std::string head;
        char buffer[65536];
        while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return;
            head.append(buffer, size_t(n));
        }
        const bool headOnly = head.starts_with("HEAD ");
        const std::string path = head.substr(head.find(' ') + 1, head.find(' ', head.find(' ') + 1) - head.find(' ') - 1);
        if (!headOnly) {
            std::lock_guard lock(mutex_);
            ++gets_[path];
        }
        // "Range: bytes=N-", honoured for "/resumes.mp3" only.
        size_t from = 0;
        if (const size_t at = head.find("\r\nRange: bytes="); at != std::string::npos)
            from = std::stoull(head.substr(at + 15));
        if (path != "/resumes.mp3" || from >= resumable_.size()) from = 0;
        std::string answer = from > 0 ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        answer += "Content-Type: audio/mpeg\r\nConnection: close\r\n";
        if (path == "/big.mp3") answer += "Content-Length: " + std::to_string(fs::file_size(sparse_)) + "\r\n";
        if (path == "/slow.mp3") answer += "Content-Length: 100000000\r\n";
        if (path == "/drops.mp3") answer += "Content-Length: " + std::to_string(kDeclared) + "\r\n";
        if (path == "/resumes.mp3") {
            answer += "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(resumable_.size() - from) + "\r\n";
            if (from > 0)
                answer += "Content-Range: bytes " + std::to_string(from) + "-" +
                          std::to_string(resumable_.size() - 1) + "/" + std::to_string(resumable_.size()) + "\r\n";
        }
        answer += "\r\n";
        if (!send(fd, answer.data(), answer.size(), false) || headOnly) return;
        std::memset(buffer, 0, sizeof buffer);
        if (path == "/drops.mp3") {
            for (size_t left = dropAfter_; left > 0;) {
                const size_t n = std::min(left, sizeof buffer);
                if (!send(fd, buffer, n)) break;
                left -= n;
                std::this_thread::sleep_for(pause_.load());
            }
        } else if (path == "/resumes.mp3") {
            const size_t n = std::min(dropAfter_.load(), resumable_.size() - from);
            send(fd, resumable_.data() + from, n);
        } else if (path == "/big.mp3") {
            const int file = ::open(sparse_.c_str(), O_RDONLY | O_CLOEXEC);
            for (uint64_t at = 0, size = fs::file_size(sparse_); at < size;) {
                const ssize_t n = ::pread(file, buffer, sizeof buffer, off_t(at));
                if (n <= 0 || !send(fd, buffer, size_t(n))) break;
                at += uint64_t(n);
            }
            ::close(file);
        } else if (path == "/endless.mp3") {
            while (send(fd, buffer, sizeof buffer)) {
            }
        } else {
            while (send(fd, buffer, 1024)) std::this_thread::sleep_for(50ms);
        }
    }

    fs::path sparse_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<size_t> dropAfter_{0};
    std::atomic<std::chrono::milliseconds> pause_{};
    std::string resumable_;
    std::thread acceptor_;
    std::mutex mutex_;  // the workers and the counts
    std::vector<std::thread> workers_;
    std::map<std::string, int> gets_;
};

class LinkDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        test::writeTestFile(dir_ / "source.wav", 2, 48000, 48000, {test::FileKind::wav, 16});
        qputenv("QM_STANDIN_LOG", QByteArray::fromStdString((dir_ / "log.txt").string()));
        qputenv("QM_STANDIN_SOURCE", QByteArray::fromStdString((dir_ / "source.wav").string()));
        qputenv("QM_STANDIN_MODE", "ok");
    }
    void TearDown() override {
        app_.reset();
        for (const char* name : {"QM_STANDIN_LOG", "QM_STANDIN_SOURCE", "QM_STANDIN_MODE"}) qunsetenv(name);
    }

    void mode(const char* m) { qputenv("QM_STANDIN_MODE", m); }
    fs::path links() const { return dir_ / "Pulls" / "Links"; }

    // Runs one download with the stand-in (or `tool`) and waits for its end.
    LinkLoader::DownloadResult run(const std::string& link = "https://example.test/v/1",
                                   LinkLoader::DownloadOptions options = {}, const std::string& tool = kStandIn,
                                   std::chrono::milliseconds limit = 30s) {
        std::optional<LinkLoader::DownloadResult> result;
        int calls = 0;
        LinkLoader::download(
            link, links(), tool,
            [&](const LinkLoader::DownloadResult& r) {
                result = r;
                ++calls;
            },
            options, &owner_);
        EXPECT_TRUE(until([&] { return result.has_value(); }, limit)) << link;
        until([] { return false; }, 50ms);
        EXPECT_EQ(calls, 1);
        return result.value_or(LinkLoader::DownloadResult{});
    }

    void make(const std::string& clipboard, const std::string& custom = kStandIn) {
        AppPlatform p = pieces_.platform(dir_.path());
        clipboard_ = QString::fromStdString(clipboard);
        p.clipboard = [this] { return clipboard_; };
        app_ = std::make_unique<AppModel>(std::move(p));
        app_->settings().update([&](AppSettings& s) {
            s.pullsFolder = (dir_ / "Pulls").string();
            s.ytDlpPath = custom;
            s.autoPlay = false;
        });
        QObject::connect(&app_->player(), &PlayerModel::messageChanged, [this] {
            messages_.push_back(app_->player().message().value_or("<none>"));
        });
    }

    test::TempDir dir_;
    QObject owner_;  // of the downloads started by run()
    test::FakePieces pieces_;
    QString clipboard_;
    std::unique_ptr<AppModel> app_;
    std::vector<std::string> messages_;
};

}  // namespace

TEST_F(LinkDownloadTest, TheToolGetsItsArgumentsAndSearchPathAndTheLastPathLineIsTaken) {
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", "/opt/mine/bin:/usr/bin:/bin");
    const auto result = run("https://example.test/v/1");
    qputenv("PATH", oldPath);
    ASSERT_TRUE(result.file) << result.error;
    EXPECT_EQ(*result.file, links() / "Tune [id1].wav");
    EXPECT_EQ(test::readBytes(*result.file), test::readBytes(dir_ / "source.wav"));
    EXPECT_EQ(entries(links()), std::vector<std::string>{"Tune [id1].wav"}) << "the staging folder is gone";

    auto log = readLines(dir_ / "log.txt");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "PATH=/usr/local/bin:/usr/bin:/bin:/opt/mine/bin:/usr/bin:/bin");
    std::vector<std::string> args(log.begin() + 1, log.end());
    ASSERT_EQ(args.size(), 14u);
    const std::string output = args[10].substr(4);
    EXPECT_EQ(fs::path(output).parent_path().parent_path(), links()) << "written into a folder inside Links";
    EXPECT_TRUE(fs::path(output).parent_path().filename().string().starts_with(".qm-link-"));
    args[10] = "ARG=" + fs::path(output).filename().string();
    EXPECT_EQ(args, (std::vector<std::string>{"ARG=--no-playlist", "ARG=--no-progress", "ARG=--retries", "ARG=2",
                                              "ARG=--fragment-retries", "ARG=2", "ARG=-x",
                                              "ARG=--audio-format", "ARG=wav", "ARG=-o",
                                              "ARG=%(title).120B [%(id)s].%(ext)s", "ARG=--print",
                                              "ARG=after_move:filepath", "ARG=https://example.test/v/1"}));
    EXPECT_EQ(LinkLoader::searchPath(std::nullopt), "/usr/local/bin:/usr/bin:/bin:");
}

TEST_F(LinkDownloadTest, FailuresTellTheToolsErrorAndLeaveLinksAsItWas) {
    fs::create_directories(links());
    test::writeBytes(links() / "old.wav", "old");
    // A staging folder left by a process that is gone goes at the next start.
    fs::create_directories(links() / ".qm-link-999999999-abc/x");
    const struct {
        const char* mode;
        int code;
        std::string error;
    } cases[] = {
        {"nopath", 0, "ERROR: [generic] Unsupported URL"},
        {"error", 1, "ERROR: no such video"},
        {"half", 1, "ERROR: interrupted"},
        {"passwd", 0, "yt-dlp failed"},
        {"unknown", 3, "yt-dlp failed"},
    };
    for (const auto& c : cases) {
        mode(c.mode);
        const auto result = run();
        EXPECT_FALSE(result.file) << c.mode;
        EXPECT_EQ(result.code, c.code) << c.mode;
        EXPECT_EQ(result.error, c.error) << c.mode;
        EXPECT_EQ(entries(links()), std::vector<std::string>{"old.wav"}) << c.mode;
    }
    EXPECT_EQ(LinkLoader::pathLine("a\n/x/1.wav\n\nb\n/x/2.wav\nc"), "/x/2.wav");
    EXPECT_EQ(LinkLoader::pathLine("a\nb"), std::nullopt);
    EXPECT_EQ(LinkLoader::errorLine("ERROR: a\r\nWARNING: b\n"), "ERROR: a");
    EXPECT_EQ(LinkLoader::errorLine("ERROR: \r[download] Got error: x\r\n"), "ERROR: [download] Got error: x");

    // A folder that cannot be made: its reason.
    test::writeBytes(dir_ / "file", "x");
    std::optional<LinkLoader::DownloadResult> result;
    LinkLoader::download("https://x.test/", dir_ / "file" / "Links", kStandIn,
                         [&](const LinkLoader::DownloadResult& r) { result = r; });
    ASSERT_TRUE(until([&] { return result.has_value(); }));
    EXPECT_FALSE(result->file);
    EXPECT_TRUE(result->error.starts_with("Couldn't create the folder Links")) << result->error;
}

TEST_F(LinkDownloadTest, AHungToolIsEndedWithWhatItStarted) {
    mode("hang");
    const auto start = std::chrono::steady_clock::now();
    LinkLoader::DownloadOptions options;
    options.stallTimeout = 2s;
    options.killGrace = 500ms;
    const auto result = run("https://example.test/v/1", options);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(result.file);
    EXPECT_EQ(result.error, "yt-dlp stopped responding");
    EXPECT_GE(took, 2s);
    EXPECT_EQ(entries(links()), std::vector<std::string>{});

    pid_t shell = 0, child = 0;
    for (const auto& line : readLines(dir_ / "log.txt"))
        if (line.starts_with("PIDS=")) std::sscanf(line.c_str(), "PIDS=%d %d", &shell, &child);
    ASSERT_GT(shell, 0);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(until([&] { return ended(shell) && ended(child); }, 5s)) << "the tool's child is ended too";
}

TEST_F(LinkDownloadTest, TheRootChecksTheClipboardFindsTheToolAndPlaysTheResult) {
    // Not a link: nothing runs.
    for (const char* text : {"", "   \n", "/home/u/a.wav", "HTTPS://x", "ftp://x", "http//x"}) {
        make(text);
        app_->openCopiedLink();
        EXPECT_EQ(app_->player().message(), "Copy a link first") << text;
        app_.reset();
    }
    EXPECT_FALSE(fs::exists(dir_ / "log.txt"));

    // No usable tool: the custom path is not executable, the places looked in hold none.
    test::writeBytes(dir_ / "plain", "#!/bin/sh\n");
    make("http://example.test/v", (dir_ / "plain").string());
    LinkLoader::DownloadOptions options;
    options.toolLocations = {(dir_ / "missing").string()};
    app_->setDownloadOptions(options);
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "yt-dlp not found. Install with: sudo apt install yt-dlp ffmpeg (or: pipx install yt-dlp)");
    until([] { return false; }, 200ms);
    EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "no process started";

    // The places looked in are tried after it; the link goes without its blanks.
    options.toolLocations = {(dir_ / "missing").string(), kStandIn};
    app_->setDownloadOptions(options);
    clipboard_ = "  https://example.test/watch?v=1\n";
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "Downloading audio from example.test\u2026");
    const fs::path file = links() / "Tune [id1].wav";
    ASSERT_TRUE(until([&] { return app_->player().info() && app_->player().info()->url == file; }))
        << app_->player().message().value_or("");
    EXPECT_TRUE(until([&] { return app_->player().isPlaying(); })) << "plays with auto-play off";
    EXPECT_EQ(app_->library().folder(), links());
    EXPECT_EQ(readLines(dir_ / "log.txt").back(), "ARG=https://example.test/watch?v=1");
    EXPECT_EQ(messages_.back(), "<none>");

    // A failure: its text, the player and the library untouched.
    app_->player().stop();
    mode("error");
    app_->openCopiedLink();
    ASSERT_TRUE(until([&] { return app_->player().message() == "ERROR: no such video"; }));
    EXPECT_EQ(app_->player().info()->url, file);
    EXPECT_EQ(app_->library().folder(), links());
}

TEST_F(LinkDownloadTest, TheRealDownloaderFetchesAnMp3AsWavAndKeepsTheFirstCopy) {
    const auto tool = LinkLoader::ytDlp("");
    if (!tool) GTEST_SKIP() << "yt-dlp is not installed (scripts/setup.sh)";
    qunsetenv("QM_STANDIN_MODE");
    const fs::path mp3 = dir_ / "tone.mp3";
    {
        // Three seconds of tone.
        const auto tone = test::sineSignal(2, 3 * 44100, 44100, 440, 0.4f);
        test::writeAudioFile(dir_ / "tone.wav", tone, 44100, {test::FileKind::wav, 16});
        test::encodeWithFfmpeg(dir_ / "tone.wav", mp3, "-c:a libmp3lame -b:a 128k");
    }
    const QByteArray body = QByteArray::fromStdString(test::readBytes(mp3));
    test::HttpStandIn server([&](const test::HttpRequest& request) {
        if (request.path != "/tone.mp3") return test::HttpAnswer(404, "no", "text/plain");
        return test::HttpAnswer(200, request.method == "HEAD" ? QByteArray() : body, "audio/mpeg");
    });
    const QString link = server.base().toString() + "tone.mp3";

    make("  " + link.toStdString() + "\n", "");
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "Downloading audio from 127.0.0.1\u2026");
    const fs::path file = links() / "tone [tone].wav";
    ASSERT_TRUE(until([&] { return app_->player().info() && app_->player().info()->url == file; }, 60s))
        << app_->player().message().value_or("");
    EXPECT_EQ(messages_, (std::vector<std::string>{"Downloading audio from 127.0.0.1\u2026", "<none>"}));
    const auto info = AudioFileInfo::load(file);
    EXPECT_NEAR(static_cast<double>(info.frames) / info.sampleRate, 3.0, 0.1);
    EXPECT_TRUE(until([&] { return app_->player().isPlaying(); })) << "plays with auto-play off";
    EXPECT_EQ(app_->library().folder(), links());

    // The same link again: the first file is kept and played.
    app_->player().stop();
    const auto written = fs::last_write_time(file);
    const std::string bytes = test::readBytes(file);
    fs::last_write_time(file, written - 1h);
    messages_.clear();
    app_->openCopiedLink();
    ASSERT_TRUE(until([&] { return messages_.size() == 2; }, 60s));
    EXPECT_EQ(messages_.back(), "<none>");
    EXPECT_EQ(fs::last_write_time(file), written - 1h);
    EXPECT_EQ(test::readBytes(file), bytes);
    EXPECT_EQ(entries(links()), std::vector<std::string>{"tone [tone].wav"});
    EXPECT_TRUE(until([&] { return app_->player().isPlaying(); }));
}

TEST_F(LinkDownloadTest, ARootThatGoesEndsItsDownloadAndLeavesNoStagingFolder) {
    make("https://example.test/v/2");
    mode("hang");
    app_->openCopiedLink();
    pid_t shell = 0, child = 0;
    ASSERT_TRUE(until([&] {
        for (const auto& line : readLines(dir_ / "log.txt"))
            if (line.starts_with("PIDS=")) std::sscanf(line.c_str(), "PIDS=%d %d", &shell, &child);
        return child > 0;
    }));
    EXPECT_EQ(entries(links()).size(), 1u) << "its staging folder";
    app_.reset();
    EXPECT_TRUE(until([&] { return ended(shell) && ended(child); }, 5s));
    EXPECT_EQ(entries(links()), std::vector<std::string>{});
}

// The real downloader against bodies past the limit: a 3 GB file (sparse on
// the server's side) and an endless one are stopped at the limit, nothing
// lands in Links, the staging folder goes; a trickle is stopped at the time
// limit.
TEST_F(LinkDownloadTest, TheRealDownloaderStopsAtTheSizeAndTimeLimits) {
    const auto tool = LinkLoader::ytDlp("");
    if (!tool) GTEST_SKIP() << "yt-dlp is not installed (scripts/setup.sh)";
    {
        std::ofstream(dir_ / "big.bin").put('\0');
    }
    fs::resize_file(dir_ / "big.bin", 3ull << 30);
    StreamServer server(dir_ / "big.bin");
    fs::create_directories(links());
    test::writeBytes(links() / "old.wav", "old");

    auto fetch = [&](const char* path, const LinkLoader::DownloadOptions& options) {
        return run(server.url(path), options, *tool, 60s);
    };
    LinkLoader::DownloadOptions options;
    options.sizeLimit = 24u << 20;
    for (const char* path : {"/big.mp3", "/endless.mp3"}) {
        SCOPED_TRACE(path);
        const uint64_t before = server.sent();
        const auto result = fetch(path, options);
        EXPECT_FALSE(result.file);
        EXPECT_EQ(result.error, "The download was stopped: it is larger than 25 MB");
        EXPECT_EQ(entries(links()), std::vector<std::string>{"old.wav"}) << "no file and no staging folder";
        EXPECT_LT(server.sent() - before, 512u << 20) << "the transfer ended near the limit";
    }

    options.sizeLimit = LinkLoader::kMaxDownloadBytes;
    options.timeLimit = 3s;
    const auto start = std::chrono::steady_clock::now();
    const auto result = fetch("/slow.mp3", options);
    EXPECT_FALSE(result.file);
    EXPECT_EQ(result.error, "The download was stopped after 3 seconds");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(entries(links()), std::vector<std::string>{"old.wav"});
    EXPECT_EQ(LinkLoader::tooLargeText(LinkLoader::kMaxDownloadBytes, false),
              "The download was stopped: it is larger than 4.0 GB");
    EXPECT_EQ(LinkLoader::tooLongText(30min), "The download was stopped after 30 minutes");
}

// A server that breaks the transfer off after the same number of bytes of
// every connection. Where it takes no range the tool starts from the first
// byte each time, cutting its file back: it gives up after its retries,
// having fetched a bounded number of bytes, and the watch counts what the
// restarts threw away against the size limit. Where it takes ranges each
// retry goes on from where the last broke off, and the file arrives.
TEST_F(LinkDownloadTest, ATransferThatKeepsBreakingOffCostsABoundedNumberOfBytes) {
    const auto tool = LinkLoader::ytDlp("");
    if (!tool) GTEST_SKIP() << "yt-dlp is not installed (scripts/setup.sh)";
    StreamServer server(dir_ / "unused");
    fs::create_directories(links());
    test::writeBytes(links() / "old.wav", "old");
    auto fetch = [&](const char* path, const LinkLoader::DownloadOptions& options) {
        return run(server.url(path), options, *tool, 90s);
    };
    // The first request of each run is the tool's look at what the link is.
    const int attempts = 1 + LinkLoader::kRetries;

    // Broken off at 2 MB of 8, at full speed: the tool's retries end it.
    server.setBrokenTransfers(2u << 20, 0ms);
    auto result = fetch("/drops.mp3", {});
    EXPECT_FALSE(result.file);
    EXPECT_EQ(result.error, "ERROR: [download] Got error: Downloaded 2097152 bytes, expected 8388608 bytes. "
                            "Giving up after 2 retries");
    EXPECT_EQ(server.gets("/drops.mp3"), 1 + attempts);
    EXPECT_LE(server.sent(), 3 * StreamServer::kDeclared);
    EXPECT_EQ(entries(links()), std::vector<std::string>{"old.wav"}) << "no file and no staging folder";

    // At 1 MB/s, under a limit of 3 MB that no single try reaches: the
    // second try passes it with what the first wrote, and is stopped.
    server.setBrokenTransfers(2u << 20, 64ms);
    const uint64_t before = server.sent();
    const int getsBefore = server.gets("/drops.mp3");
    LinkLoader::DownloadOptions options;
    options.sizeLimit = 3u << 20;
    result = fetch("/drops.mp3", options);
    EXPECT_FALSE(result.file);
    EXPECT_EQ(result.error, LinkLoader::startedOverText(3u << 20));
    EXPECT_EQ(result.error,
              "The download was stopped: the transfer kept breaking off and starting over, 3 MB written in all");
    EXPECT_LT(server.gets("/drops.mp3") - getsBefore, 1 + attempts) << "stopped before the tool's last try";
    EXPECT_LE(server.sent() - before, 3 * (2u << 20));
    EXPECT_EQ(entries(links()), std::vector<std::string>{"old.wav"});

    // Ranges taken: three tries of 20 kB bring a file of about 48 kB.
    {
        const auto tone = test::sineSignal(2, 3 * 44100, 44100, 440, 0.4f);
        test::writeAudioFile(dir_ / "tone.wav", tone, 44100, {test::FileKind::wav, 16});
        test::encodeWithFfmpeg(dir_ / "tone.wav", dir_ / "tone.mp3", "-c:a libmp3lame -b:a 128k");
    }
    const std::string mp3 = test::readBytes(dir_ / "tone.mp3");
    ASSERT_GT(mp3.size(), 40000u);
    ASSERT_LT(mp3.size(), 60000u);
    server.setResumable(mp3);
    server.setBrokenTransfers(20000, 0ms);
    result = fetch("/resumes.mp3", {});
    ASSERT_TRUE(result.file) << result.error;
    EXPECT_EQ(*result.file, links() / "resumes [resumes].wav");
    const auto info = AudioFileInfo::load(*result.file);
    EXPECT_NEAR(static_cast<double>(info.frames) / info.sampleRate, 3.0, 0.1);
    EXPECT_EQ(server.gets("/resumes.mp3"), 1 + 3);
    EXPECT_EQ(entries(links()), (std::vector<std::string>{"old.wav", "resumes [resumes].wav"}));
}

// Where the pulls folder has less room than the cap, the room is the limit
// (a small tmpfs mounted for the test stands for a full disk).
TEST_F(LinkDownloadTest, TheSizeLimitFollowsTheFreeSpace) {
    bool roomBound = true;
    EXPECT_EQ(LinkLoader::sizeLimit(dir_.path(), 1000, &roomBound), 1000u);
    EXPECT_FALSE(roomBound);
    test::TmpfsMount small(dir_ / "small", 16u << 20);
    if (!small.mounted()) GTEST_SKIP() << small.refused();
    const uint64_t limit = LinkLoader::sizeLimit(dir_ / "small", LinkLoader::kMaxDownloadBytes, &roomBound);
    EXPECT_TRUE(roomBound);
    EXPECT_EQ(limit, (16u << 20) - (16u << 20) / 8);
    test::writeBytes(dir_ / "small/taken", std::string(8u << 20, 'x'));
    EXPECT_EQ(LinkLoader::sizeLimit(dir_ / "small", LinkLoader::kMaxDownloadBytes), (8u << 20) - (8u << 20) / 8);
    EXPECT_EQ(LinkLoader::tooLargeText(limit, true), "The download was stopped: the pulls folder has room for 15 MB only");
}

// A second request while a download runs starts nothing and says so; once
// it ended, the next one starts.
TEST_F(LinkDownloadTest, OneDownloadAtATime) {
    make("https://example.test/v/3");
    LinkLoader::DownloadOptions options;
    options.stallTimeout = 1500ms;
    options.killGrace = 200ms;
    options.toolLocations = {kStandIn};
    app_->setDownloadOptions(options);
    mode("hang");
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "Downloading audio from example.test\u2026");
    ASSERT_TRUE(until([&] { return entries(links()).size() == 1; }));
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "A download is already running");
    until([] { return false; }, 300ms);
    EXPECT_EQ(entries(links()).size(), 1u) << "one staging folder";
    ASSERT_TRUE(until([&] { return app_->player().message() == std::optional<std::string>("yt-dlp stopped responding"); }));
    mode("ok");
    app_->openCopiedLink();
    EXPECT_EQ(app_->player().message(), "Downloading audio from example.test\u2026");
    EXPECT_TRUE(until([&] { return app_->player().info().has_value(); }));
}
