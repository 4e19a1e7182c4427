#include "support/OpenWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qm::test {

OpenWatch::OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
}

OpenWatch::~OpenWatch() { ::close(fd_); }

void OpenWatch::add(const std::filesystem::path& path, bool recursive) {
    // The closes are watched too, only so that two opens of one file in a
    // row are two events (the kernel merges identical events in a row).
    const int wd = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
    if (wd < 0) throw std::runtime_error("inotify_add_watch failed for " + path.string());
    watches_[wd] = path.string();
    if (!recursive || !std::filesystem::is_directory(std::filesystem::symlink_status(path))) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        if (entry.is_directory() && !entry.is_symlink()) add(entry.path(), false);
}

std::vector<std::string> OpenWatch::opened() {
    std::vector<std::string> out;
    alignas(inotify_event) char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (!(e->mask & IN_OPEN) || (e->mask & IN_ISDIR)) continue;
            const std::string& base = watches_[e->wd];
            // A watch on a file reports without a name.
            out.push_back(e->len ? base + "/" + e->name : base);
        }
    }
    return out;
}

}  // namespace qm::test
