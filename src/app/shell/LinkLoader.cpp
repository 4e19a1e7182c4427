#include "app/shell/LinkLoader.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include <fmt/format.h>

#include "platform/FileAccess.h"

namespace qm::LinkLoader {

bool isExecutableFile(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // access() alone says yes to root for any file; an execute bit must be set too.
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> searchLocations(const std::optional<std::string>& pathVariable,
                                         const std::optional<std::string>& home) {
    std::vector<std::string> out;
    auto add = [&](std::string folder) {
        // A relative entry would depend on the folder the program runs in.
        if (folder.empty() || folder.front() != '/') return;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        std::string candidate = folder == "/" ? "/yt-dlp" : folder + "/yt-dlp";
        if (std::find(out.begin(), out.end(), candidate) == out.end()) out.push_back(std::move(candidate));
    };
    if (pathVariable) {
        size_t start = 0;
        while (start <= pathVariable->size()) {
            size_t end = pathVariable->find(':', start);
            if (end == std::string::npos) end = pathVariable->size();
            add(pathVariable->substr(start, end - start));
            start = end + 1;
        }
    }
    if (home) add(*home + "/.local/bin");
    for (const std::string& fixed : fixedLocations()) add(fixed.substr(0, fixed.rfind('/')));
    return out;
}

std::vector<std::string> toolLocations() {
    const char* path = std::getenv("PATH");
    const char* home = std::getenv("HOME");
    return searchLocations(path ? std::optional<std::string>(path) : std::nullopt,
                           home ? std::optional<std::string>(home) : std::nullopt);
}

std::optional<std::string> ytDlp(const std::string& custom, const std::vector<std::string>& locations) {
    if (!custom.empty() && isExecutableFile(custom)) return custom;
    for (const std::string& path : locations)
        if (isExecutableFile(path)) return path;
    return std::nullopt;
}

}  // namespace qm::LinkLoader

namespace qm::LinkLoader {

namespace fs = std::filesystem;

namespace {

// Splits at line feeds, dropping empty lines (a carriage return before the
// line feed is not part of the line).
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(std::move(line));
        start = end + 1;
    }
    return out;
}

// Bytes as UTF-8, invalid sequences replaced.
std::string decoded(const QByteArray& bytes) { return QString::fromUtf8(bytes).toStdString(); }

// What the tool wrote, watched poll by poll: the entries and bytes the
// staging folder holds now, the bytes of its files that were cut back to
// start over, and the bytes the tool's process passed to write() in all
// (its ended children's included), as the system counts them. A transfer
// the server breaks off is fetched again by the tool, from where it broke
// off when the server takes a range and else from the first byte, into the
// same file: without the last two counts, a server that drops the
// connection at 2 GB would have the same 2 GB written again and again and
// the folder never pass the limit. The system's count is exact; the cut
// files count for a tool whose writer is a child still running, and miss
// what was written after the last look before the cut.
class StagingWatch {
public:
    struct Written {
        uintmax_t entries = 0, now = 0, discarded = 0, byTool = 0;
        uintmax_t total() const { return std::max(now + discarded, byTool); }
        bool operator==(const Written&) const = default;
    };

    // Looks at the folder and the tool's process `pid` again; a file smaller
    // than at the last look was cut back, so everything it held then was
    // thrown away.
    const Written& look(const fs::path& folder, pid_t pid) {
        std::error_code ec;
        std::map<std::string, uintmax_t> sizes;
        uintmax_t entries = 0, now = 0;
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            ++entries;
            std::error_code sizeError;
            if (!it->is_regular_file(sizeError)) continue;
            const auto size = it->file_size(sizeError);
            if (sizeError) continue;
            now += size;
            const std::string path = it->path().string();
            if (const auto before = sizes_.find(path); before != sizes_.end() && before->second > size)
                written_.discarded += before->second;
            sizes.emplace(path, size);
        }
        sizes_ = std::move(sizes);
        written_.entries = entries;
        written_.now = now;
        if (const std::optional<uintmax_t> bytes = writtenBy(pid)) written_.byTool = std::max(written_.byTool, *bytes);
        return written_;
    }
    const Written& written() const { return written_; }

private:
    // The "wchar" count of /proc/<pid>/io; nothing once the process is gone.
    static std::optional<uintmax_t> writtenBy(pid_t pid) {
        if (pid <= 0) return std::nullopt;
        std::ifstream in("/proc/" + std::to_string(pid) + "/io");
        std::string key;
        uintmax_t value = 0;
        while (in >> key >> value)
            if (key == "wchar:") return value;
        return std::nullopt;
    }

    std::map<std::string, uintmax_t> sizes_;
    Written written_;
};

bool processAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

class Download : public QObject {
public:
    Download(fs::path folder, fs::path staging, std::function<void(const DownloadResult&)> completion,
             const DownloadOptions& options, uint64_t limit, bool roomBound, QObject* parent)
        : QObject(parent),
          folder_(std::move(folder)),
          staging_(std::move(staging)),
          completion_(std::move(completion)),
          options_(options),
          limit_(limit),
          roomBound_(roomBound) {}

    ~Download() override {
        // Ended from outside: nothing is reported any more.
        done_ = true;
        if (process_) process_->disconnect(this);
        if (process_ && process_->state() != QProcess::NotRunning) {
            signalGroup(SIGKILL);
            process_->waitForFinished(2000);
        }
        removeStaging();
    }

    void start(const std::string& tool, const std::string& link) {
        process_ = new QProcess(this);
        process_->setProgram(QString::fromStdString(tool));
        QStringList args;
        for (const auto& a : arguments(link, staging_)) args << QString::fromStdString(a);
        process_->setArguments(args);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        std::optional<std::string> inherited;
        if (env.contains(QStringLiteral("PATH"))) inherited = env.value(QStringLiteral("PATH")).toStdString();
        env.insert(QStringLiteral("PATH"), QString::fromStdString(searchPath(inherited)));
        process_->setProcessEnvironment(env);
        process_->setProcessChannelMode(QProcess::SeparateChannels);
        process_->setInputChannelMode(QProcess::ForwardedInputChannel);
        // Its own process group, so that ending it ends what it started; no
        // file it or its children write passes the size limit (a write
        // there fails, or ends a writer that takes no care), and a writer
        // ended so leaves no core file behind.
        const rlim_t limit = limit_;
        process_->setChildProcessModifier([limit] {
            ::setpgid(0, 0);
            const rlimit size{limit, limit}, core{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &size);
            ::setrlimit(RLIMIT_CORE, &core);
        });

        connect(process_, &QProcess::readyReadStandardOutput, this, [this] {
            out_ += process_->readAllStandardOutput();
            touched();
        });
        connect(process_, &QProcess::readyReadStandardError, this, [this] {
            err_ += process_->readAllStandardError();
            touched();
        });
        connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) finish({std::nullopt, -1, process_->errorString().toStdString()});
        });
        connect(process_, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
            out_ += process_->readAllStandardOutput();
            err_ += process_->readAllStandardError();
            finished(status == QProcess::NormalExit ? exitCode : -1);
        });

        watch_ = new QTimer(this);
        watch_->setInterval(std::clamp<std::chrono::milliseconds>(options_.stallTimeout / 8,
                                                                  std::chrono::milliseconds(50),
                                                                  std::chrono::milliseconds(250)));
        connect(watch_, &QTimer::timeout, this, &Download::check);
        lastActivity_ = std::chrono::steady_clock::now();
        watch_->start();
        QTimer::singleShot(options_.timeLimit, Qt::PreciseTimer, this, [this] { stop(Stop::tooLong); });
        process_->start();
    }

private:
    enum class Stop { stalled, tooLarge, startedOver, tooLong };

    void touched() { lastActivity_ = std::chrono::steady_clock::now(); }

    void check() {
        if (stopped_ || done_) return;
        const StagingWatch::Written before = watched_.written();
        const StagingWatch::Written& now = watched_.look(staging_, static_cast<pid_t>(process_->processId()));
        if (now.total() >= limit_) return stop(now.now >= limit_ ? Stop::tooLarge : Stop::startedOver);
        if (now != before) touched();
        if (std::chrono::steady_clock::now() - lastActivity_ >= options_.stallTimeout) stop(Stop::stalled);
    }

    void stop(Stop why) {
        if (stopped_ || done_ || !process_) return;
        stopped_ = why;
        signalGroup(SIGTERM);
        // The group gets the hard end later whether or not the tool itself
        // has gone by then: what it started may outlive it.
        const pid_t group = static_cast<pid_t>(process_->processId());
        QTimer::singleShot(options_.killGrace, QCoreApplication::instance(), [group] {
            if (group > 0) ::kill(-group, SIGKILL);
        });
    }

    void signalGroup(int signal) {
        const auto pid = static_cast<pid_t>(process_->processId());
        if (pid > 0) ::kill(-pid, signal);
    }

    void finished(int code) {
        // A run the size limit cut short reports that, whatever it said.
        if (!stopped_) {
            const StagingWatch::Written& now = watched_.look(staging_, 0);
            if (now.total() >= limit_) stopped_ = now.now >= limit_ ? Stop::tooLarge : Stop::startedOver;
        }
        if (stopped_ == Stop::stalled) return finish({std::nullopt, code, kStalledText});
        if (stopped_ == Stop::tooLarge) return finish({std::nullopt, code, tooLargeText(limit_, roomBound_)});
        if (stopped_ == Stop::startedOver) return finish({std::nullopt, code, startedOverText(limit_)});
        if (stopped_ == Stop::tooLong) return finish({std::nullopt, code, tooLongText(options_.timeLimit)});
        if (code == 0) {
            if (const auto line = pathLine(decoded(out_))) {
                if (auto file = moveIn(*line)) return finish({*file, 0, {}});
                if (!moveError_.empty()) return finish({std::nullopt, 0, moveError_});
            }
        }
        finish({std::nullopt, code, errorLine(decoded(err_))});
    }

    // The printed file, when it is a regular file inside the staging folder,
    // moved into the download folder; a file already there by that name is
    // kept and taken instead.
    std::optional<fs::path> moveIn(const std::string& line) {
        std::error_code ec;
        const fs::path file(line);
        if (fs::symlink_status(file, ec).type() != fs::file_type::regular) return std::nullopt;
        const auto size = fs::file_size(file, ec);
        if (ec) return std::nullopt;
        if (size >= limit_) {
            moveError_ = tooLargeText(limit_, roomBound_);
            return std::nullopt;
        }
        const auto parent = fs::canonical(file.parent_path(), ec);
        if (ec || parent != fs::canonical(staging_, ec) || ec) return std::nullopt;
        const fs::path target = folder_ / file.filename();
        if (FileAccess::renameNoReplace(file, target)) return target;
        if (errno == EEXIST) return target;
        moveError_ = "Couldn't move " + file.filename().string() + " into " + folder_.filename().string() + ": " +
                     std::strerror(errno);
        return std::nullopt;
    }

    void finish(const DownloadResult& result) {
        if (done_) return;
        done_ = true;
        watch_->stop();
        removeStaging();
        auto completion = std::move(completion_);
        deleteLater();
        if (completion) completion(result);
    }

    void removeStaging() {
        if (staging_.empty()) return;
        std::error_code ec;
        fs::remove_all(staging_, ec);
        staging_.clear();
    }

    fs::path folder_, staging_;
    std::function<void(const DownloadResult&)> completion_;
    DownloadOptions options_;
    uint64_t limit_;
    bool roomBound_;
    QProcess* process_ = nullptr;
    QTimer* watch_ = nullptr;
    QByteArray out_, err_;
    std::chrono::steady_clock::time_point lastActivity_;
    StagingWatch watched_;
    std::optional<Stop> stopped_;
    bool done_ = false;
    std::string moveError_;
};

}  // namespace

namespace {

std::string amount(uint64_t limit) {
    const auto bytes = static_cast<double>(limit);
    return bytes >= 1e9 ? fmt::format("{:.1f} GB", bytes / 1e9) : fmt::format("{:.0f} MB", bytes / 1e6);
}

}  // namespace

std::string tooLargeText(uint64_t limit, bool roomBound) {
    return roomBound ? fmt::format("The download was stopped: the pulls folder has room for {} only", amount(limit))
                     : fmt::format("The download was stopped: it is larger than {}", amount(limit));
}

std::string startedOverText(uint64_t limit) {
    return fmt::format("The download was stopped: the transfer kept breaking off and starting over, {} written in all",
                       amount(limit));
}

std::string tooLongText(std::chrono::milliseconds limit) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
    return seconds >= 60 && seconds % 60 == 0
               ? fmt::format("The download was stopped after {} minutes", seconds / 60)
               : fmt::format("The download was stopped after {} seconds", seconds);
}

uint64_t sizeLimit(const fs::path& folder, uint64_t cap, bool* roomBound) {
    struct statvfs st {};
    uint64_t limit = cap;
    if (::statvfs(folder.c_str(), &st) == 0) {
        const uint64_t free = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
        limit = std::min(cap, free - free / 8);
    }
    if (roomBound) *roomBound = limit < cap;
    return limit;
}

std::vector<std::string> arguments(const std::string& link, const fs::path& folder) {
    const std::string retries = std::to_string(kRetries);
    return {"--no-playlist", "--no-progress", "--retries", retries, "--fragment-retries", retries,
            "-x", "--audio-format", "wav",
            "-o", (folder / kOutputTemplate).string(), "--print", "after_move:filepath", link};
}

std::string searchPath(const std::optional<std::string>& inherited) {
    return "/usr/local/bin:/usr/bin:/bin:" + inherited.value_or("");
}

std::optional<std::string> pathLine(const std::string& output) {
    const auto all = lines(output);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->starts_with('/')) return *it;
    return std::nullopt;
}

std::string errorLine(const std::string& errors) {
    auto all = lines(errors);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->find("ERROR") == std::string::npos) continue;
        // The tool's carriage returns rewrite a terminal's line; here they
        // would only stand in the text.
        std::erase(*it, '\r');
        return *it;
    }
    return kFailedText;
}

void removeStaleStaging(const fs::path& folder) {
    std::error_code ec;
    const std::string prefix = kStagingPrefix;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) continue;
        std::error_code typeError;
        if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
        // "<prefix><pid>-...": a folder of a process still running stays.
        const auto pid = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
        if (pid == ::getpid() || processAlive(pid)) continue;
        std::error_code removeError;
        fs::remove_all(it->path(), removeError);
    }
}

void download(const std::string& link, const fs::path& folder, const std::string& tool,
              std::function<void(const DownloadResult&)> completion, const DownloadOptions& options,
              QObject* parent) {
    // Failures before the tool runs still complete on a later turn.
    const auto fail = [&completion](std::string text) {
        QTimer::singleShot(0, QCoreApplication::instance(),
                           [completion = std::move(completion), text = std::move(text)] {
                               if (completion) completion({std::nullopt, -1, text});
                           });
    };
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder)) {
        fail("Couldn't create the folder " + folder.filename().string() + ": " +
             (ec ? ec.message() : std::string("not a folder")));
        return;
    }
    removeStaleStaging(folder);
    std::string pattern = (folder / (kStagingPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        fail("Couldn't create a folder in " + folder.filename().string() + ": " + std::strerror(errno));
        return;
    }
    bool roomBound = false;
    const uint64_t limit = sizeLimit(folder, options.sizeLimit, &roomBound);
    auto* job = new Download(folder, fs::path(pattern), std::move(completion), options, limit, roomBound, parent);
    job->start(tool, link);
}

}  // namespace qm::LinkLoader
