#include "KeyRecorder.h"

#include "platform/desktop/DesktopWindows.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef QM_KEY_RECORDER
#error "QM_KEY_RECORDER names the recorder client"
#endif

namespace qm::test {

namespace {

std::vector<std::string> logLines(const std::filesystem::path& log) {
    std::ifstream file(log);
    std::vector<std::string> lines;
    std::string line;
    // A line still being written has no end yet: only whole lines count.
    while (std::getline(file, line)) {
        if (!file.eof()) lines.push_back(line);
    }
    return lines;
}

}  // namespace

KeyRecorder::KeyRecorder(DesktopSession& session, Options options) : session_(session) {
    if (!session.ok()) {
        failure_ = session.failure();
        return;
    }
    const auto log = folder_ / "keys.log";
    std::vector<std::string> argv{QM_KEY_RECORDER, "--log", log.string(), "--instance", options.instance,
                                  "--class", options.windowClass, "--geometry",
                                  std::to_string(options.x) + "," + std::to_string(options.y)};
    if (!options.processName.empty()) argv.insert(argv.end(), {"--comm", options.processName});
    if (options.netWmPid >= 0) argv.insert(argv.end(), {"--pid", std::to_string(options.netWmPid)});
    if (!options.takesFocus) argv.push_back("--no-input");
    pid_ = session.spawn(argv);
    if (pid_ < 0) {
        failure_ = "the key recorder did not start";
        return;
    }
    waitUntil(
        [&] {
            const auto lines = logLines(log);
            for (const auto& line : lines) {
                if (line.rfind("window ", 0) == 0) window_ = std::strtoul(line.c_str() + 7, nullptr, 10);
            }
            return window_ != 0;
        },
        20);
    if (window_ == 0) {
        failure_ = "the key recorder's window did not appear";
        return;
    }
    // Managed: in the client list and shown.
    auto windows = makeX11DesktopWindows(session.display());
    const bool managed = waitUntil(
        [&] {
            for (const auto id : windows->clients()) {
                if (id != window_) continue;
                const auto info = windows->info(id);
                return info && info->onScreen;
            }
            return false;
        },
        20, [&] { windows->dispatchEvents(); });
    if (!managed) failure_ = "the window manager did not take the key recorder's window";
}

KeyRecorder::~KeyRecorder() {
    if (pid_ > 0) session_.stop(pid_);
}

std::vector<RecordedKey> KeyRecorder::keys() const {
    std::vector<RecordedKey> keys;
    for (const auto& line : logLines(folder_ / "keys.log")) {
        std::istringstream fields(line);
        std::string kind, state;
        RecordedKey key;
        fields >> kind;
        if (kind != "press" && kind != "release") continue;
        fields >> key.keysym >> state >> key.monotonicNs;
        key.press = kind == "press";
        key.state = static_cast<unsigned>(std::strtoul(state.c_str(), nullptr, 0));
        keys.push_back(key);
    }
    return keys;
}

bool KeyRecorder::waitForKeys(size_t count, double seconds) const {
    return waitUntil([&] { return keys().size() >= count; }, seconds);
}

bool KeyRecorder::activate() {
    if (!ok()) return false;
    const std::string id = std::to_string(window_);
    return waitUntil([&] { return session_.activeWindow() == window_ ||
                                  (session_.xdotool({"windowactivate", "--sync", id}) &&
                                   session_.activeWindow() == window_); },
                     20);
}

}  // namespace qm::test
