#include "DesktopSession.h"

#include "platform/desktop/DesktopWindows.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qm::test {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds scaled(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * loadScale() * 1000.0));
}

// Reaps the child once it ends; false when it is still running at the deadline.
bool exited(pid_t pid, std::chrono::milliseconds within, int* status = nullptr) {
    const auto deadline = Clock::now() + within;
    while (true) {
        int code = 0;
        const pid_t done = waitpid(pid, &code, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            if (status) *status = done == pid && WIFEXITED(code) ? WEXITSTATUS(code) : -1;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Reads what a child writes to `fd` until a line ends, EOF, or the deadline.
std::string readLine(int fd, std::chrono::milliseconds within) {
    std::string text;
    const auto deadline = Clock::now() + within;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void terminate(pid_t pid, bool ourChild) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!ourChild) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (kill(pid, 0) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (kill(pid, 0) == 0) kill(pid, SIGKILL);
        return;
    }
    if (!exited(pid, std::chrono::seconds(5))) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

}  // namespace

double loadScale() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    const double cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp(load / cores, 1.0, 4.0);
}

bool waitUntil(const std::function<bool()>& condition, double seconds, const std::function<void()>& pump) {
    const auto deadline = Clock::now() + scaled(seconds);
    while (true) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        if (pump) pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(pump ? 2 : 20));
    }
}

namespace {
// The session's own view of its windows (one session per process).
std::unique_ptr<DesktopWindows>& sessionWindows() {
    static std::unique_ptr<DesktopWindows> windows;
    return windows;
}
}  // namespace

DesktopSession::DesktopSession() { start(); }

void DesktopSession::start() {
    // The XDG folders of the session's programs (Thunar's and xfconfd's
    // settings, the accessibility bus's socket).
    for (const char* folder : {"config", "cache", "data", "runtime"}) {
        std::filesystem::create_directories(home_ / folder);
    }
    chmod((home_ / "runtime").c_str(), 0700);

    int displayPipe[2];
    if (pipe2(displayPipe, O_CLOEXEC) != 0) {
        failure_ = "no pipe";
        return;
    }
    const std::string fd = std::to_string(displayPipe[1]);
    xvfb_ = launch({"Xvfb", "-displayfd", fd, "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"},
                   environment({}), displayPipe[1]);
    close(displayPipe[1]);
    const std::string number = trimmed(readLine(displayPipe[0], scaled(20)));
    close(displayPipe[0]);
    if (xvfb_ < 0 || number.empty()) {
        failure_ = "Xvfb did not start";
        return;
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    unsetenv("AT_SPI_BUS_ADDRESS");
    unsetenv("NO_AT_BRIDGE");

    // The daemon closes the descriptor it printed to: one pipe for each line.
    int addressPipe[2], pidPipe[2];
    if (pipe2(addressPipe, O_CLOEXEC) != 0 || pipe2(pidPipe, O_CLOEXEC) != 0) {
        failure_ = "no pipe";
        return;
    }
    // The bus's own environment is what the services it starts get.
    const pid_t launcher = launch({"dbus-daemon", "--session", "--fork", "--nopidfile",
                                   "--print-address=" + std::to_string(addressPipe[1]),
                                   "--print-pid=" + std::to_string(pidPipe[1])},
                                  environment({}), addressPipe[1], -1, pidPipe[1]);
    close(addressPipe[1]);
    close(pidPipe[1]);
    busAddress_ = trimmed(readLine(addressPipe[0], scaled(20)));
    const std::string pidLine = trimmed(readLine(pidPipe[0], scaled(5)));
    close(addressPipe[0]);
    close(pidPipe[0]);
    if (launcher > 0) exited(launcher, scaled(10));
    if (busAddress_.empty() || pidLine.empty()) {
        failure_ = "the session bus did not start";
        return;
    }
    bus_ = static_cast<pid_t>(std::stol(pidLine));
    setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);

    windowManager_ = launch({"openbox", "--sm-disable"}, environment({}));
    std::string check;
    if (!waitUntil([&] { return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, &check, 10) == 0 &&
                                check.find("window id") != std::string::npos; },
                   20)) {
        failure_ = "openbox did not start";
        return;
    }
    if (!windowManagerTakesWindows()) {
        failure_ = "openbox does not manage windows";
        return;
    }
    sessionWindows() = makeX11DesktopWindows(display_);
}

bool DesktopSession::windowManagerTakesWindows() {
    // openbox names itself on the root before it handles requests, and a
    // window mapped in between is never managed: a probe window is mapped
    // again until openbox has put it in a frame of its own.
    Display* display = XOpenDisplay(display_.c_str());
    if (!display) return false;
    const Window root = DefaultRootWindow(display);
    const Window probe = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
    auto framed = [&] {
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, probe, &rootReturn, &parent, &children, &count)) return false;
        if (children) XFree(children);
        return parent != root;
    };
    const bool taken = waitUntil(
        [&] {
            XMapWindow(display, probe);
            XSync(display, False);
            if (waitUntil(framed, 0.5)) return true;
            XUnmapWindow(display, probe);
            XSync(display, False);
            return false;
        },
        30);
    XDestroyWindow(display, probe);
    XCloseDisplay(display);
    return taken;
}

DesktopSession::~DesktopSession() {
    closeOtherWindow();
    quitFileManager();
    sessionWindows().reset();
    terminate(windowManager_, true);
    // The services the bus started (xfconfd, the accessibility bus launcher
    // with its bus and registry) leave when it goes.
    terminate(bus_, false);
    terminate(xvfb_, true);
}

std::vector<std::string> DesktopSession::environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> out;
    auto replaced = [&](const std::string& entry) {
        const auto name = entry.substr(0, entry.find('=') + 1);
        for (const auto& e : extra) {
            if (e.compare(0, name.size(), name) == 0) return true;
        }
        for (const char* own : {"XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", "XDG_DATA_HOME=", "XDG_RUNTIME_DIR=",
                                "NO_AT_BRIDGE=", "AT_SPI_BUS_ADDRESS=", "GSETTINGS_BACKEND=", "GIO_USE_VFS=",
                                "SESSION_MANAGER=", "QT_QPA_PLATFORM="}) {
            if (entry.compare(0, std::strlen(own), own) == 0) return true;
        }
        return false;
    };
    // The test's own Qt platform (offscreen) is not the session's programs'.
    for (char** e = environ; *e; ++e) {
        if (!replaced(*e)) out.emplace_back(*e);
    }
    out.push_back("XDG_CONFIG_HOME=" + (home_ / "config").string());
    out.push_back("XDG_CACHE_HOME=" + (home_ / "cache").string());
    out.push_back("XDG_DATA_HOME=" + (home_ / "data").string());
    out.push_back("XDG_RUNTIME_DIR=" + (home_ / "runtime").string());
    out.push_back("GSETTINGS_BACKEND=memory");
    out.push_back("GIO_USE_VFS=local");
    for (const auto& e : extra) out.push_back(e);
    return out;
}

pid_t DesktopSession::launch(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                             int keepFd, int outputFd, int keepFd2) {
    // Everything the child needs is built before the fork: after it, only
    // calls that are safe in a child of a threaded process.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    // A program of the build is named by its path; others are looked up.
    std::string path = argv[0].find('/') != std::string::npos && access(argv[0].c_str(), X_OK) == 0 ? argv[0] : "";
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        if (!path.empty()) break;
        if (access((std::string(dir) + argv[0]).c_str(), X_OK) == 0) {
            path = std::string(dir) + argv[0];
            break;
        }
    }
    if (path.empty()) return -1;
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(null, 0);
        dup2(outputFd >= 0 ? outputFd : null, 1);
        dup2(null, 2);
        if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
        if (keepFd2 >= 0) fcntl(keepFd2, F_SETFD, 0);
        // Its own process group, so that a key of the terminal never reaches it.
        setpgid(0, 0);
        execve(path.c_str(), args.data(), env.data());
        _exit(127);
    }
    close(null);
    return pid;
}

int DesktopSession::run(const std::vector<std::string>& argv, std::string* output, double seconds) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t pid = launch(argv, environment({}), -1, out[1]);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    std::string text;
    const auto deadline = Clock::now() + scaled(seconds);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    if (output) *output = text;
    int status = -1;
    if (!exited(pid, std::chrono::milliseconds(200) + std::max(std::chrono::milliseconds(0),
                     std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())), &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return status;
}

pid_t DesktopSession::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra) {
    return launch(argv, environment(extra));
}

void DesktopSession::stop(pid_t pid) { terminate(pid, true); }

bool DesktopSession::xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv) == 0;
}

bool DesktopSession::xdotool(const std::vector<std::string>& arguments, const std::function<void()>& pump) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = launch(argv, environment({}));
    if (pid < 0) return false;
    int status = -1;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30, pump);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

unsigned long DesktopSession::activeWindow() {
    return sessionWindows() ? sessionWindows()->activeWindow() : 0;
}

std::optional<WindowGeometry> DesktopSession::frameOf(unsigned long window) {
    auto field = [](const std::string& text, const std::string& label) -> std::optional<long> {
        const auto at = text.find(label);
        if (at == std::string::npos) return std::nullopt;
        return std::strtol(text.c_str() + at + label.size(), nullptr, 0);
    };
    // The top-level ancestor of the client is the manager's frame.
    unsigned long top = window;
    for (int depth = 0; depth < 16; ++depth) {
        std::string tree;
        if (run({"xwininfo", "-tree", "-id", std::to_string(top)}, &tree) != 0) return std::nullopt;
        const auto at = tree.find("Parent window id:");
        if (at == std::string::npos) return std::nullopt;
        if (tree.find("(the root window)", at) < tree.find('\n', at)) break;
        top = std::strtoul(tree.c_str() + at + std::strlen("Parent window id:"), nullptr, 0);
    }
    std::string info;
    if (run({"xwininfo", "-id", std::to_string(top)}, &info) != 0) return std::nullopt;
    const auto x = field(info, "Absolute upper-left X:");
    const auto y = field(info, "Absolute upper-left Y:");
    const auto width = field(info, "Width:");
    const auto height = field(info, "Height:");
    const auto border = field(info, "Border width:");
    if (!x || !y || !width || !height || !border) return std::nullopt;
    return WindowGeometry{static_cast<int>(*x - *border), static_cast<int>(*y - *border),
                          static_cast<int>(*width + 2 * *border), static_cast<int>(*height + 2 * *border)};
}

unsigned long DesktopSession::waitForWindow(const std::function<bool(const DesktopWindowInfo&)>& wanted) {
    unsigned long found = 0;
    waitUntil(
        [&] {
            auto& windows = sessionWindows();
            if (!windows) return false;
            for (const auto id : windows->clients()) {
                const auto info = windows->info(id);
                if (info && info->identity.normal && info->onScreen && wanted(*info)) {
                    found = id;
                    return true;
                }
            }
            return false;
        },
        30, [] {
            if (sessionWindows()) sessionWindows()->dispatchEvents();
        });
    return found;
}

pid_t DesktopSession::startThunar(const std::filesystem::path& folder, const ThunarOptions& options) {
    quitFileManager();
    if (!ok()) return -1;
    auto set = [&](const std::string& property, const std::string& type, const std::string& value) {
        return run({"xfconf-query", "-c", "thunar", "-p", property, "-n", "-t", type, "-s", value}) == 0;
    };
    if (!set("/last-view", "string", options.view) || !set("/last-location-bar", "string", options.locationBar) ||
        !set("/misc-full-path-in-window-title", "bool", options.fullPathTitle ? "true" : "false") ||
        !set("/last-show-hidden", "bool", "false")) {
        failure_ = "xfconf-query failed";
        return -1;
    }
    std::vector<std::string> extra;
    if (!options.accessibilityBridge) extra.push_back("NO_AT_BRIDGE=1");
    return startFileManager({"thunar"}, folder, extra);
}

pid_t DesktopSession::startFileManager(const std::vector<std::string>& program, const std::filesystem::path& folder,
                                       const std::vector<std::string>& environment) {
    quitFileManager();
    if (!ok()) return -1;
    std::vector<std::string> argv = program;
    argv.push_back(folder.string());
    fileManager_ = spawn(argv, environment);
    if (fileManager_ < 0) {
        failure_ = program.front() + " did not start";
        return -1;
    }
    const std::string name = folder.filename().string();
    fileManagerWindow_ = waitForWindow([&](const DesktopWindowInfo& info) {
        return info.identity.pid == fileManager_ && info.title.find(name) != std::string::npos;
    });
    if (!fileManagerWindow_ || !activateFileManager()) {
        failure_ = program.front() + "'s window did not appear";
        return -1;
    }
    return fileManager_;
}

bool DesktopSession::activateFileManager() {
    if (!fileManagerWindow_) return false;
    const std::string id = std::to_string(fileManagerWindow_);
    return waitUntil([&] { return activeWindow() == fileManagerWindow_ ||
                                  (xdotool({"windowactivate", "--sync", id}) && activeWindow() == fileManagerWindow_); },
                     20);
}

bool DesktopSession::selectFirstRow(const std::function<std::vector<std::string>()>& selected,
                                    const std::string& first, const std::function<void()>& pump) {
    const std::vector<std::string> expected{first};
    int attempts = 0;
    return waitUntil(
        [&] {
            const auto now = selected();
            if (now == expected) return true;
            if (++attempts % 3 == 0) focusFileManagerView();
            xdotool({"key", now.empty() ? "Down" : "Home"});
            return waitUntil([&] { return selected() == expected; }, 3, pump);
        },
        60, pump);
}

void DesktopSession::focusFileManagerView() {
    // The window to the front again, and a click on the view's empty lower
    // part gives the view the keyboard.
    activateFileManager();
    const auto frame = frameOf(fileManagerWindow_);
    if (!frame) return;
    xdotool({"mousemove", "--window", std::to_string(fileManagerWindow_), std::to_string(frame->width * 7 / 10),
             std::to_string(frame->height * 85 / 100), "click", "1"});
}

void DesktopSession::quitFileManager() {
    if (fileManager_ > 0) {
        // A stopped file manager would never see the signal.
        kill(fileManager_, SIGCONT);
        terminate(fileManager_, true);
    }
    fileManager_ = -1;
    fileManagerWindow_ = 0;
}

unsigned long DesktopSession::openOtherWindow(int x, int y) {
    closeOtherWindow();
    const std::string geometry = "500x300+" + std::to_string(x) + "+" + std::to_string(y);
    other_ = spawn({"xmessage", "-name", "qmother", "-title", "qm other window", "-geometry", geometry,
                    "another window"});
    // xmessage (an Xt program) sets no _NET_WM_PID: found by its class.
    const unsigned long window =
        waitForWindow([](const DesktopWindowInfo& info) { return info.identity.instance == "qmother"; });
    if (!window) return 0;
    const std::string id = std::to_string(window);
    waitUntil([&] { return activeWindow() == window || (xdotool({"windowactivate", "--sync", id}) &&
                                                        activeWindow() == window); },
              20);
    return window;
}

void DesktopSession::closeOtherWindow() {
    if (other_ > 0) terminate(other_, true);
    other_ = -1;
}

DesktopSession& sharedDesktopSession() {
    static DesktopSession session;
    return session;
}

}  // namespace qm::test
