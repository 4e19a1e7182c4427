#include "JackServer.h"

#include "support/Timeouts.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qm::test {

namespace {

bool serverAnswers(const std::string& name) {
    std::string cmd = "JACK_NO_START_SERVER=1 jack_lsp -s " + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

JackServer::JackServer(int rate, int period, int capture, int playback, int ports)
    : rate_(rate), period_(period), capture_(capture), playback_(playback), ports_(ports) {
    static std::atomic<int> instances{0};
    const int instance = instances.fetch_add(1);
    // No underscore after the process id: files of the server are found by
    // the name followed by one.
    name_ = "qmtest" + std::to_string(getpid()) + (instance ? "n" + std::to_string(instance) : std::string());
    if (const char* old = std::getenv("JACK_DEFAULT_SERVER")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    restart();
}

void JackServer::restart() {
    if (pid_ > 0) return;
    // Servers started at the same moment by parallel test processes contend
    // for the shared registry and some exit at once: start again after a
    // short random wait.
    std::minstd_rand rng(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 6 && pid_ < 0; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 250));
        start(rate_, period_, capture_, playback_, ports_);
    }
    // A server of the same name takes over the slot a dead one left.
    if (pid_ > 0) unclean_ = false;
}

void JackServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unclean_ = true;
}

void JackServer::start(int rate, int period, int capture, int playback, int ports) {
    std::string rateArg = std::to_string(rate);
    std::string periodArg = std::to_string(period);
    std::string captureArg = std::to_string(capture);
    std::string playbackArg = std::to_string(playback);
    std::string portsArg = std::to_string(ports);
    // The child's freopen would write out whatever the parent had buffered.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Keep the server quiet; its port limit stays small to save /dev/shm.
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execlp("jackd", "jackd", "-n", name_.c_str(), "-p", portsArg.c_str(), "-d", "dummy",
               "-r", rateArg.c_str(), "-p", periodArg.c_str(), "-C", captureArg.c_str(), "-P",
               playbackArg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return;
    pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + timeout(std::chrono::seconds(10));
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        if (serverAnswers(name_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

JackServer::~JackServer() {
    terminate();
    // A server that did not stop cleanly keeps its slot in the machine's
    // registry of servers, and once eight are taken no server starts any
    // more: one clean run under the same name frees it.
    if (unclean_) {
        restart();
        terminate();
    }
    // Semaphores of clients still open when the server went.
    const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ignored);
    }
    if (hadPrevious_) {
        setenv("JACK_DEFAULT_SERVER", previous_.c_str(), 1);
    } else {
        unsetenv("JACK_DEFAULT_SERVER");
    }
}

void JackServer::terminate() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            // Servers die of SIGPIPE when a client's socket closes under their notifications.
            unclean_ = unclean_ || WIFSIGNALED(status) || WEXITSTATUS(status) != 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    unclean_ = true;
}

JackServer& sharedJackServer() {
    static JackServer server;
    return server;
}

}  // namespace qm::test
