#include "support/SyncLog.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace qm::test {

namespace {

std::mutex lock;
std::atomic<bool> recording{false};
std::vector<SyncLog::Entry> log;
std::function<std::string()> probeNow;

std::string pathOf(int fd) {
    char buffer[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

}  // namespace

SyncLog::SyncLog(std::function<std::string()> probe) {
    std::lock_guard guard(lock);
    log.clear();
    probeNow = std::move(probe);
    recording = true;
}

SyncLog::~SyncLog() {
    recording = false;
    std::lock_guard guard(lock);
    probeNow = {};
}

std::vector<SyncLog::Entry> SyncLog::entries() const {
    std::lock_guard guard(lock);
    return log;
}

}  // namespace qm::test

extern "C" int fsync(int fd) {
    using Fn = int (*)(int);
    static const auto real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "fsync"));
    if (qm::test::recording) {
        std::lock_guard guard(qm::test::lock);
        qm::test::log.push_back({qm::test::pathOf(fd), qm::test::probeNow ? qm::test::probeNow() : std::string()});
    }
    return real(fd);
}
