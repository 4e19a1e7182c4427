#include "platform/Volumes.h"

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

namespace qm::Volumes {

namespace {

std::mutex gPathMutex;
std::filesystem::path gPath, gFstabPath;

std::filesystem::path mountInfoPath() {
    std::lock_guard lock(gPathMutex);
    return gPath.empty() ? std::filesystem::path("/proc/self/mountinfo") : gPath;
}

std::filesystem::path fstabPath() {
    std::lock_guard lock(gPathMutex);
    return gFstabPath.empty() ? std::filesystem::path("/etc/fstab") : gFstabPath;
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// File systems the kernel makes for itself; nothing a user keeps files on.
constexpr std::array<std::string_view, 28> kVirtual = {
    "proc",      "sysfs",   "tmpfs",      "devtmpfs", "devpts",   "cgroup",     "cgroup2",
    "overlay",   "squashfs", "mqueue",    "debugfs",  "tracefs",  "securityfs", "pstore",
    "bpf",       "configfs", "fusectl",   "autofs",   "binfmt_misc", "hugetlbfs", "ramfs",
    "nsfs",      "efivarfs", "rpc_pipefs", "selinuxfs", "nfsd",   "fuse.gvfsd-fuse", "fuse.portal",
};

// "\ooo" sequences to their bytes; anything else kept.
std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<std::string_view> fields(std::string_view line, std::string_view blanks = " ") {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blanks.find(line[i]) != std::string_view::npos) ++i;
        const size_t start = i;
        while (i < line.size() && blanks.find(line[i]) == std::string_view::npos) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Calls `each` with every line of `text`, without its line feed.
template <typename Each>
void forEachLine(std::string_view text, Each&& each) {
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find('\n', i);
        if (end == std::string_view::npos) end = text.size();
        each(text.substr(i, end - i));
        i = end + 1;
    }
}

bool isNumber(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// One mountinfo line: "id parent major:minor root mountpoint options
// [optional...] - fstype source superoptions".
std::optional<Volume> parseLine(std::string_view line) {
    const std::vector<std::string_view> f = fields(line);
    if (f.size() < 10 || !isNumber(f[0]) || !isNumber(f[1]) || f[2].find(':') == std::string_view::npos) return {};
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 3 > f.size()) return {};
    Volume v;
    v.path = unescape(f[4]);
    v.fsType = unescape(f[dash + 1]);
    if (v.path.empty() || v.path.front() != '/') return {};
    bool real = true;
    for (std::string_view type : kVirtual)
        if (v.fsType == type) real = false;
    v.browsable = real && isVolumePath(v.path);
    for (size_t i = 0; i + 1 < v.path.size(); ++i)
        if (v.path[i] == '/' && v.path[i + 1] == '.') v.hidden = true;
    return v;
}

}  // namespace

bool isVolumePath(std::string_view path) {
    for (std::string_view prefix : {std::string_view("/media/"), std::string_view("/mnt/")})
        if (path.size() > prefix.size() && path.starts_with(prefix)) return true;
    constexpr std::string_view run = "/run/media/";
    if (!path.starts_with(run)) return false;
    const size_t slash = path.find('/', run.size());
    // "/run/media/<user>/" and something below it.
    return slash != std::string_view::npos && slash > run.size() && slash + 1 < path.size();
}

std::vector<Volume> parse(std::string_view mountinfo) {
    std::vector<Volume> out;
    forEachLine(mountinfo, [&](std::string_view line) {
        if (std::optional<Volume> v = parseLine(line)) out.push_back(std::move(*v));
    });
    return out;
}

std::vector<Volume> list() { return parse(readAll(mountInfoPath())); }

std::vector<std::string> parseFstab(std::string_view fstab) {
    std::vector<std::string> out;
    forEachLine(fstab, [&](std::string_view line) {
        const std::vector<std::string_view> f = fields(line, " \t\r");
        if (f.size() < 2 || f[0].front() == '#') return;
        std::string point = unescape(f[1]);
        if (point.empty() || point.front() != '/') return;  // "none", "swap"
        out.push_back(std::move(point));
    });
    return out;
}

std::vector<std::string> configured() { return parseFstab(readAll(fstabPath())); }

void setMountInfoPath(const std::filesystem::path& path) {
    std::lock_guard lock(gPathMutex);
    gPath = path;
}

void setFstabPath(const std::filesystem::path& path) {
    std::lock_guard lock(gPathMutex);
    gFstabPath = path;
}

}  // namespace qm::Volumes
