#include "library/ChangeLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"
#include "library/Catalog.h"
#include "library/LibraryScanner.h"
#include "library/PathText.h"
#include "library/SoundMeta.h"

namespace qm::ChangeLog {

namespace {

constexpr const char* kHiddenFolder = ".quillmarsh";
constexpr const char* kChangesFolder = "changes";
constexpr std::string_view kExtension = ".jsonl";
constexpr size_t kReadPiece = 1 << 20;

// A descriptor closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// A folder below `parent`, never through a link.
int openFolder(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The change folder of canonical root `r`, optionally made first; -1 when
// it cannot be had without following a link.
int openChanges(const std::string& r, bool create) {
    Fd root(::open(r.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return -1;
    if (create) ::mkdirat(root.get(), kHiddenFolder, 0777);
    Fd hidden(openFolder(root.get(), kHiddenFolder));
    if (!hidden) return -1;
    if (create) ::mkdirat(hidden.get(), kChangesFolder, 0777);
    return openFolder(hidden.get(), kChangesFolder);
}

// A relative path that stays below the folder it is joined to.
bool staysInside(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// One pull at a time per catalog and root: two at once would read the same
// offset and apply the same lines twice.
std::shared_ptr<std::mutex> pullLock(const Catalog* catalog, const std::string& root) {
    static std::mutex registryMutex;
    static std::map<std::pair<const Catalog*, std::string>, std::weak_ptr<std::mutex>> registry;
    std::lock_guard lock(registryMutex);
    for (auto it = registry.begin(); it != registry.end();)
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    std::weak_ptr<std::mutex>& slot = registry[{catalog, root}];
    std::shared_ptr<std::mutex> held = slot.lock();
    if (!held) {
        held = std::make_shared<std::mutex>();
        slot = held;
    }
    return held;
}

// Appends of this process to one file are serialised, so a short write can
// be cut back without cutting another thread's line.
std::mutex gAppendMutex;

// Whether an entry's file is there to be changed: a regular file at this
// very path (no link in any part of it, which could lead outside the root;
// no FIFO or device). Asked before the lock, once per file and batch.
bool present(const std::string& full) {
    char* resolved = ::realpath(full.c_str(), nullptr);
    if (!resolved) return false;
    const bool same = full == resolved;
    std::free(resolved);
    struct stat st {};
    return same && ::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// One log pulled from its stored offset, batch by batch.
class LogPull {
public:
    LogPull(const std::string& r, const std::string& logPath, Catalog& catalog, const std::function<bool()>& stop)
        : r_(r), logPath_(logPath), catalog_(catalog), stop_(stop) {}

    // Reads `fd` from `offset` and applies its complete lines.
    PullResult run(int fd, int64_t offset) {
        std::vector<char> piece(kReadPiece);
        std::string line;
        bool overlong = false;
        int64_t pos = offset;
        stored_ = offset;
        for (;;) {
            const ssize_t got = ::pread(fd, piece.data(), piece.size(), static_cast<off_t>(pos));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            const char* p = piece.data();
            const char* end = p + got;
            while (p < end) {
                const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
                const char* stop = lf ? lf : end;
                if (!overlong) {
                    if (line.size() + static_cast<size_t>(stop - p) > kMaxLineBytes) {
                        overlong = true;
                        line.clear();
                        line.shrink_to_fit();
                    } else {
                        line.append(p, stop);
                    }
                }
                pos += stop - p;
                if (!lf) break;
                ++pos;  // the line feed
                if (!overlong) add(line);
                line.clear();
                overlong = false;
                ++lines_;
                end_ = pos;
                p = lf + 1;
                if (lines_ < kBatchLines) continue;
                if (!commit()) return result_;
                if (stop_ && stop_()) {
                    result_.interrupted = true;
                    return result_;
                }
            }
        }
        // An over-long line that has no end yet is consumed as far as it
        // goes: it is malformed whatever follows, and reading it again at
        // every pull would cost the whole of it each time.
        if (overlong) end_ = pos;
        if (end_ > stored_) commit();
        return result_;
    }

private:
    void add(const std::string& line) {
        std::optional<Entry> entry = Entry::decode(line);
        if (!entry || !staysInside(entry->path)) return;
        std::string full = pathtext::join(r_, entry->path);
        auto it = present_.find(full);
        if (it == present_.end()) it = present_.emplace(full, present(full)).first;
        batch_.push_back({std::move(*entry), &*it});
    }

    // Stores the batch's entries and the offset after its last line in one
    // transaction; false when the catalog refused it.
    bool commit() {
        int64_t applied = 0;
        std::optional<std::string> failure = catalog_.transaction([&] {
            for (const auto& [entry, file] : batch_) {
                const std::string& full = file->first;
                // A file that is there, or one whose row waits offline.
                if (!file->second && !catalog_.isOffline(full)) continue;
                std::optional<Catalog::Row> row = catalog_.heldRow(full);
                if (!row || row->root != r_) continue;
                SoundMeta meta = row->meta();
                meta.applyChanges(entry.fields, entry.rating);
                catalog_.rewriteMeta(full, meta);
                catalog_.keepEdits(full, entry.fields, entry.rating, entry.time.time_since_epoch().count(),
                                   entry.user);
                ++applied;
            }
            catalog_.writeLogOffset(logPath_, end_);
        });
        batch_.clear();
        present_.clear();
        lines_ = 0;
        if (failure) {
            result_.failure = std::move(failure);
            return false;
        }
        stored_ = end_;
        result_.applied += applied;
        return true;
    }

    const std::string& r_;
    const std::string& logPath_;
    Catalog& catalog_;
    const std::function<bool()>& stop_;
    // The batch: entries in log order, each with its file's full path and
    // whether it is there (shared by the entries of one file).
    std::vector<std::pair<Entry, const std::pair<const std::string, bool>*>> batch_;
    std::unordered_map<std::string, bool> present_;
    size_t lines_ = 0;
    int64_t end_ = 0;     // the offset after the batch's last line
    int64_t stored_ = 0;  // the offset stored
    PullResult result_;
};

}  // namespace

std::string timeText(std::chrono::sys_seconds time) {
    using namespace std::chrono;
    const sys_days day = floor<days>(time);
    const year_month_day ymd(day);
    const hh_mm_ss<seconds> hms(time - day);
    return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}Z", static_cast<int>(ymd.year()),
                       static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), hms.hours().count(),
                       hms.minutes().count(), hms.seconds().count());
}

std::optional<std::chrono::sys_seconds> parseTime(std::string_view t) {
    using namespace std::chrono;
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (t.size() != shape.size()) return std::nullopt;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (shape[i] == 'd' ? !digit : t[i] != shape[i]) return std::nullopt;
    }
    auto number = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
        return v;
    };
    const year_month_day ymd{year(number(0, 4)), month(static_cast<unsigned>(number(5, 2))),
                             day(static_cast<unsigned>(number(8, 2)))};
    const int h = number(11, 2), m = number(14, 2), s = number(17, 2);
    if (!ymd.ok() || h > 23 || m > 59 || s > 59) return std::nullopt;
    return sys_days(ymd) + hours(h) + minutes(m) + seconds(s);
}

std::optional<std::string> Entry::encoded() const {
    nlohmann::json j = nlohmann::json::object();
    j["path"] = path;
    j["fields"] = fields;
    if (rating) j["rating"] = *rating;
    j["user"] = user;
    j["time"] = timeText(time);
    try {
        return j.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // a text that is not UTF-8
    }
}

std::optional<Entry> Entry::decode(std::string_view line) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    Entry e;
    auto text = [&](const char* key, std::string& out) {
        std::optional<std::string> v = jsonfields::string(jsonfields::member(j, key));
        if (v) out = std::move(*v);
        return v.has_value();
    };
    std::string time;
    if (!text("path", e.path) || !text("user", e.user) || !text("time", time)) return std::nullopt;
    std::optional<std::chrono::sys_seconds> when = parseTime(time);
    if (!when) return std::nullopt;
    e.time = *when;
    const nlohmann::json* fields = jsonfields::member(j, "fields");
    if (!fields || !fields->is_object()) return std::nullopt;
    for (const auto& [tag, value] : fields->items()) {
        if (!value.is_string()) return std::nullopt;
        e.fields[tag] = value.get<std::string>();
    }
    if (const nlohmann::json* rating = jsonfields::member(j, "rating")) {
        e.rating = jsonfields::integer(rating);
        if (!e.rating) return std::nullopt;
    }
    return e;
}

std::string loginName() {
    const uid_t uid = ::geteuid();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    for (;;) {
        struct passwd pw {};
        struct passwd* found = nullptr;
        const int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && found && found->pw_name && *found->pw_name) return found->pw_name;
        return std::to_string(uid);
    }
}

std::string ownName(std::string_view login, std::string_view host) {
    std::string name = fmt::format("{}@{}", login, host.empty() ? std::string_view("mac") : host);
    for (char& c : name)
        if (c == '/') c = '-';
    return name;
}

std::string ownName() {
    char host[256] = {};
    if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
    return ownName(loginName(), host);
}

std::string folder(const std::string& root) {
    return pathtext::join(pathtext::join(LibraryScanner::canonical(root), kHiddenFolder), kChangesFolder);
}

void append(const std::string& root, const Entry& entry) {
    std::optional<std::string> text = entry.encoded();
    if (!text) return;
    text->push_back('\n');
    Fd changes(openChanges(LibraryScanner::canonical(root), true));
    if (!changes) return;
    const std::string name = ownName() + std::string(kExtension);
    // Non-blocking, so a FIFO planted under the name cannot hold the save.
    Fd file(::openat(changes.get(), name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                     0666));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;

    std::lock_guard lock(gAppendMutex);
    const ssize_t wrote = ::write(file.get(), text->data(), text->size());
    if (wrote > 0 && static_cast<size_t>(wrote) < text->size()) {
        // The file size limit or a full disk cut the line: take the part
        // back, or the next line would be glued to it.
        const off_t end = ::lseek(file.get(), 0, SEEK_CUR);
        if (end >= wrote && ::ftruncate(file.get(), end - wrote) != 0) {
            // Nothing more can be done; the reader consumes the broken line.
        }
    }
}

PullResult pull(const std::string& root, Catalog& catalog, const std::function<bool()>& stop) {
    const std::string r = LibraryScanner::canonical(root);
    const std::shared_ptr<std::mutex> one = pullLock(&catalog, r);
    std::lock_guard lock(*one);

    PullResult total;
    const int fd = openChanges(r, false);
    if (fd < 0) return total;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return total;
    }
    std::vector<std::string> names;
    bool listed = true;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            listed = errno == 0;
            break;
        }
        names.emplace_back(e->d_name);
    }
    if (!listed) {
        ::closedir(dir);
        return total;
    }

    const std::string own = ownName();
    const std::string changes = pathtext::join(pathtext::join(r, kHiddenFolder), kChangesFolder);
    for (const std::string& name : names) {
        if (name.size() <= kExtension.size() || !name.ends_with(kExtension)) continue;
        if (std::string_view(name).substr(0, name.size() - kExtension.size()) == own) continue;
        // Only a regular file, never through a link, never a FIFO or device.
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        Fd log(::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!log || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;

        const std::string logPath = pathtext::join(changes, name);
        const int64_t offset = std::max<int64_t>(0, catalog.logOffset(logPath));
        const PullResult one = LogPull(r, logPath, catalog, stop).run(log.get(), offset);
        total.applied += one.applied;
        if (one.failure || one.interrupted) {
            total.failure = one.failure;
            total.interrupted = one.interrupted;
            break;
        }
    }
    ::closedir(dir);
    return total;
}

}  // namespace qm::ChangeLog
