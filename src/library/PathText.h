// Small helpers for paths kept as the file system's bytes (catalog keys,
// roots): joining without a path object, and a file time in seconds.
//
// Pure; any thread.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace qm::pathtext {

// `folder` + "/" + `name`, with one slash after "/" or a trailing slash.
inline std::string join(std::string_view folder, std::string_view name) {
    std::string out;
    out.reserve(folder.size() + name.size() + 1);
    out = folder;
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

// Whether `path` lies below `folder` (both without a trailing slash, "/"
// apart): "/Lib/a.wav" is inside "/Lib", "/Library/a.wav" is not.
inline bool inside(std::string_view path, std::string_view folder) {
    if (folder == "/") return path.size() > 1 && path.front() == '/';
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

// A stat time as seconds since 1970, nanoseconds included.
inline double seconds(const struct timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace qm::pathtext
