#include "library/LibraryScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "library/Catalog.h"
#include "library/PathText.h"
#include "library/ScanRead.h"
#include "library/WorkerPool.h"
#include "platform/FileAccess.h"
#include "platform/Volumes.h"

namespace qm::LibraryScanner {

namespace {

std::mutex gSeamMutex;
std::function<bool(const std::string&)> gListingFailure;

std::function<bool(const std::string&)> listingFailure() {
    std::lock_guard lock(gSeamMutex);
    return gListingFailure;
}

struct Candidate {
    std::string path;
    int64_t size = 0;
    double mtime = 0;
};

// One walk of a root: candidates in walk order, and what the walk could not
// see, so that no row is deleted for it.
class Walk {
public:
    Walk(std::map<std::string, Catalog::Stamp>& stamps, std::function<bool(const std::string&)> fails,
         const Stop& stop)
        : stamps_(stamps), fails_(std::move(fails)), stop_(stop) {}

    // Takes ownership of `fd`. `parentDevice` is the device of the folder
    // holding it (0 when unknown).
    void folder(int fd, const std::string& path, int depth, dev_t parentDevice) {
        if (stopping()) {
            ::close(fd);
            return;
        }
        struct stat self {};
        const dev_t device = ::fstat(fd, &self) == 0 ? self.st_dev : dev_t(0);
        if (device != 0 && parentDevice != 0 && device != parentDevice) mounted.insert(path);
        if (fails_ && fails_(path)) {
            ::close(fd);
            unlisted.push_back(path);
            return;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            unlisted.push_back(path);
            return;
        }
        // The listing is read whole before anything is descended, so each
        // level holds one descriptor.
        std::vector<std::pair<std::string, unsigned char>> names;
        int64_t hidden = 0;
        for (;;) {
            errno = 0;
            const dirent* e = ::readdir(dir);
            if (!e) {
                // What was listed before an error is real; the rest is
                // unknown, so the folder's rows stay.
                if (errno != 0) unlisted.push_back(path);
                break;
            }
            const std::string_view name = e->d_name;
            if (name == "." || name == "..") continue;
            if (depth == 0) ++rootItems;
            if (name.front() == '.') {
                ++hidden;
                FileAccess::removeIfStaleTemporary(::dirfd(dir), e->d_name);  // a killed save's leftover
                continue;
            }
            names.emplace_back(e->d_name, e->d_type);
        }
        // Only hidden items (a mount folder's ".keep"): what was catalogued
        // below it is somewhere else now, not gone.
        if (names.empty() && hidden > 0) blank.push_back(path);
        const int dfd = ::dirfd(dir);
        size_t looked = 0;
        for (auto& [name, type] : names) {
            // Stopped here or below: the rest is left as it is.
            if (stopped || (++looked % kBatchSize == 0 && stopping())) break;
            if (type == DT_LNK || (type != DT_DIR && type != DT_REG && type != DT_UNKNOWN)) continue;
            if (type == DT_REG && !AudioFileInfo::isAudioName(name)) continue;
            const std::string child = pathtext::join(path, name);
            struct stat st {};
            if (type != DT_DIR) {
                if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    // Gone since the listing: its row may go. Any other
                    // failure says nothing about the file.
                    if (errno != ENOENT && AudioFileInfo::isAudioName(name)) unreadable.insert(child);
                    continue;
                }
                if (S_ISREG(st.st_mode)) {
                    if (AudioFileInfo::isAudioName(name)) file(child, st);
                    continue;
                }
                if (!S_ISDIR(st.st_mode)) continue;
            }
            if (depth + 1 > kMaxDepth) {
                unlisted.push_back(child);
                continue;
            }
            const int sub = ::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                // Gone, or no longer a folder (a link, a file): nothing of it
                // is in the library any more.
                if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) unlisted.push_back(child);
                continue;
            }
            folder(sub, child, depth + 1, device);
        }
        ::closedir(dir);
    }

    std::vector<Candidate> candidates;
    std::vector<std::string> unlisted;  // folders whose listing failed
    std::vector<std::string> blank;     // folders that list hidden items only
    std::set<std::string> mounted;      // folders on another device than their parent
    std::set<std::string> unreadable;   // audio files whose stat failed
    int64_t found = 0;
    int64_t rootItems = 0;  // everything the root lists, hidden items included
    bool stopped = false;   // the walk was stopped: what it did not see says nothing

private:
    bool stopping() {
        if (!stopped && stop_ && stop_()) stopped = true;
        return stopped;
    }

    void file(const std::string& path, const struct stat& st) {
        ++found;
        const int64_t size = static_cast<int64_t>(st.st_size);
        const double mtime = pathtext::seconds(st.st_mtim);
        auto it = stamps_.find(path);
        if (it != stamps_.end()) {
            const bool unchanged = it->second.describes(size, mtime);
            stamps_.erase(it);  // what stays in the map was not seen
            if (unchanged) return;
        }
        candidates.push_back({path, size, mtime});
    }

    std::map<std::string, Catalog::Stamp>& stamps_;
    std::function<bool(const std::string&)> fails_;
    const Stop& stop_;
};

// The reads of a scan run ahead of its writes by at most kBatchesAhead
// batches: the workers fill the slots of a ring, each index its own slot,
// and wait only when the ring is full; the scanning thread writes batch
// after batch, in candidate order, as soon as each is complete, and frees
// its slots. So reading never waits for a transaction, nor writing for more
// than the batch it writes, and memory holds a few batches whatever the
// library's size.
constexpr size_t kBatchesAhead = 4;

class ReadAhead {
public:
    explicit ReadAhead(const std::vector<Candidate>& all)
        : all_(all), slots_(std::min(all.size(), kBatchSize * kBatchesAhead)), limit_(slots_.size()) {}

    // Worker side: reads candidate `i` once the ring has room for it.
    void read(size_t i) {
        {
            std::unique_lock lock(mutex_);
            room_.wait(lock, [&] { return i < limit_ || stopped_; });
            if (stopped_) return;
        }
        slots_[i % slots_.size()] = ScanRead::read(all_[i].path);
        std::lock_guard lock(mutex_);
        ++done_[(i / kBatchSize) % kBatchesAhead];
        ready_.notify_one();
    }

    // Writer side: waits until batch `b` is read, hands its slots to
    // `write`, then lets the workers reuse them.
    template <typename Write>
    void writeBatch(size_t b, Write&& write) {
        const size_t start = b * kBatchSize, size = std::min(kBatchSize, all_.size() - start);
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return done_[b % kBatchesAhead] == size; });
        }
        write(start, size, [&](size_t i) -> ScanRead::Result& { return slots_[i % slots_.size()]; });
        std::lock_guard lock(mutex_);
        done_[b % kBatchesAhead] = 0;
        limit_ = std::min(all_.size(), (b + kBatchesAhead + 1) * kBatchSize);
        room_.notify_all();
    }

    // Lets every waiting worker go without reading (the writer stopped).
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        room_.notify_all();
    }

private:
    const std::vector<Candidate>& all_;
    std::vector<ScanRead::Result> slots_;
    std::mutex mutex_;
    std::condition_variable room_, ready_;
    size_t limit_;  // candidates below it may be read
    std::array<size_t, kBatchesAhead> done_{};
    bool stopped_ = false;
};

// The files [first, last) that a write refused, for the reason the catalog gave.
template <typename It, typename Path>
void countFailure(Outcome& out, It first, It last, Path&& path, std::optional<std::string> why) {
    out.totals.failed += static_cast<int64_t>(last - first);
    for (; first != last && out.refused.size() < kNamedFailures; ++first) out.refused.push_back(path(*first));
    if (!out.failure) out.failure = std::move(why);
}

void writeCandidates(const std::vector<Candidate>& all, const std::string& r, Catalog& catalog, Outcome& out,
                     const std::function<void(const Progress&)>& progress, const Stop& stop) {
    ReadAhead ahead(all);
    WorkerPool pool(std::min(WorkerPool::coreCount(), all.size()));
    // However the writing ends, no worker is left waiting for room (the
    // pool's destructor waits for the round).
    struct Release {
        ReadAhead& ahead;
        ~Release() { ahead.stop(); }
    } release{ahead};
    pool.start(all.size(), [&ahead](size_t i) { ahead.read(i); });
    const size_t batches = (all.size() + kBatchSize - 1) / kBatchSize;
    for (size_t b = 0; b < batches; ++b) {
        // Stopped: the workers read no further (the files being read now
        // are finished) and nothing more is written.
        if (stop && stop()) {
            out.stopped = true;
            return;
        }
        ahead.writeBatch(b, [&](size_t start, size_t size, auto&& slot) {
            std::optional<std::string> failure = catalog.transaction([&] {
                for (size_t i = start; i < start + size; ++i) {
                    const Candidate& c = all[i];
                    // Catalogued meanwhile under this root with the very
                    // stamps the walk saw (a save, a rename carrying its
                    // record, a team pull): that row knows more than the
                    // file's chunks, which hold nothing of a colleague's
                    // edits or of a non-WAV file's.
                    const auto now = catalog.heldStamp(c.path, r);
                    if (now && now->describes(c.size, c.mtime)) continue;
                    ScanRead::Result& read = slot(i);
                    catalog.applyKeptEdits(c.path, read.meta);
                    catalog.upsert(c.path, r, c.size, c.mtime, read.info, read.meta);
                }
            });
            if (failure)
                countFailure(out, all.begin() + static_cast<ptrdiff_t>(start),
                             all.begin() + static_cast<ptrdiff_t>(start + size),
                             [](const Candidate& c) { return c.path; }, std::move(failure));
            else
                out.totals.written += static_cast<int64_t>(size);
        });
        if (progress) progress(out.totals);
    }
}

}  // namespace

std::string canonical(std::string_view path) {
    const std::string text(path);
    // A NUL would cut the text handed to the system: such a path names no
    // file, and its lexical form keeps every byte.
    if (text.find('\0') == std::string::npos) {
        if (char* resolved = ::realpath(text.c_str(), nullptr)) {
            std::string out(resolved);
            std::free(resolved);
            return out;
        }
    }
    return standardized(text);
}

std::string standardized(std::string_view path) {
    std::filesystem::path p{std::string(path)};
    if (!p.is_absolute()) {
        std::error_code ec;
        const std::filesystem::path cwd = std::filesystem::current_path(ec);
        p = (ec ? std::filesystem::path("/") : cwd) / p;
    }
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

void setListingFailure(std::function<bool(const std::string& folder)> fails) {
    std::lock_guard lock(gSeamMutex);
    gListingFailure = std::move(fails);
}

Outcome scan(const std::string& root, Catalog& catalog, const std::function<void(const Progress&)>& progress,
             const Stop& stop) {
    const std::string r = canonical(root);
    std::map<std::string, Catalog::Stamp> stamps = catalog.stamps(r);
    const std::set<std::string> knownMounts = catalog.mountPoints(r);

    Walk walk(stamps, listingFailure(), stop);
    bool rootListed = false;
    const int fd = ::open(r.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // The root is a mount point too when its device is not its parent's.
        struct stat parent {};
        const dev_t parentDevice =
            r != "/" && ::stat(pathtext::join(r, "..").c_str(), &parent) == 0 ? parent.st_dev : dev_t(0);
        walk.folder(fd, r, 0, parentDevice);
        rootListed = std::find(walk.unlisted.begin(), walk.unlisted.end(), r) == walk.unlisted.end();
    }

    Outcome out;
    // A walk that did not see everything says nothing of what is gone.
    if (walk.stopped) {
        out.stopped = true;
        return out;
    }
    Progress& state = out.totals;
    state.found = walk.found;
    state.candidates = static_cast<int64_t>(walk.candidates.size());
    if (progress) progress(state);

    if (!walk.candidates.empty()) writeCandidates(walk.candidates, r, catalog, out, progress, stop);
    if (out.stopped) return out;

    // The mount tables know mount points no scan may have seen mounted (the
    // first scan after the catalog was made, a drive that was unplugged all
    // along): those the system is told to mount, and those mounted now,
    // bind mounts of a folder of the same device (which the walk cannot
    // tell from a folder) included.
    std::set<std::string> mountedNow = walk.mounted, expected = knownMounts;
    const auto ofRoot = [&r](const std::string& path) { return path == r || pathtext::inside(path, r); };
    for (const Volume& v : Volumes::list())
        if (ofRoot(v.path)) mountedNow.insert(v.path);
    for (const std::string& point : Volumes::configured())
        if (std::string folder = standardized(point); ofRoot(folder)) expected.insert(std::move(folder));

    // Which of the rows not seen are gone. A root that could not be listed
    // says nothing about its files, and neither does one that lists nothing
    // at all: an unmounted drive or share leaves its empty mount folder
    // behind (/mnt/x, /media/...), and taking that for deleted files would
    // throw away every row with the colleagues' edits in it.
    const bool rootSaysNothing = !rootListed || walk.rootItems == 0;
    std::vector<std::string> away = walk.unlisted;
    away.insert(away.end(), walk.blank.begin(), walk.blank.end());
    std::set<std::string> unmounted;
    for (const std::string& folder : expected)
        if (!mountedNow.contains(folder)) unmounted.insert(folder);
    away.insert(away.end(), unmounted.begin(), unmounted.end());
    auto isAway = [&](const std::string& path) {
        return rootSaysNothing || walk.unreadable.contains(path) ||
               std::any_of(away.begin(), away.end(),
                           [&](const std::string& folder) { return pathtext::inside(path, folder); });
    };
    std::vector<std::string> gone, offline;
    for (const auto& entry : stamps) (isAway(entry.first) ? offline : gone).push_back(entry.first);

    // A mount point is remembered while it is mounted, and while it is not
    // for as long as rows below it wait for it.
    std::set<std::string> mounts = rootListed ? mountedNow : knownMounts;
    for (const std::string& folder : unmounted)
        if (std::any_of(offline.begin(), offline.end(),
                        [&](const std::string& path) { return pathtext::inside(path, folder); }))
            mounts.insert(folder);

    const bool offlineChanged = [&] {
        const std::vector<std::string> before = catalog.offlineFiles(r);
        return std::set<std::string>(before.begin(), before.end()) !=
               std::set<std::string>(offline.begin(), offline.end());
    }();
    state.offline = static_cast<int64_t>(offline.size());
    if (!gone.empty() || offlineChanged || mounts != knownMounts) {
        std::optional<std::string> failure = catalog.transaction([&] {
            for (const std::string& path : gone) catalog.removePath(path);
            if (offlineChanged) catalog.setOfflineFiles(r, offline);
            if (mounts != knownMounts) catalog.setMountPoints(r, mounts);
        });
        if (failure)
            countFailure(out, gone.begin(), gone.end(), [](const std::string& p) { return p; }, std::move(failure));
        else
            state.removed = static_cast<int64_t>(gone.size());
        if (progress) progress(state);
    }
    return out;
}

}  // namespace qm::LibraryScanner
