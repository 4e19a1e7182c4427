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

std::optional<std::string> ytDlp(const std::string& custom, const std::vector<std::string>& fixed) {
    if (!custom.empty() && isExecutableFile(custom)) return custom;
    for (const std::string& path : fixed)
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

// How much the staging folder holds: the number of entries and their bytes.
std::pair<uintmax_t, uintmax_t> stagingSize(const fs::path& folder) {
    std::error_code ec;
    uintmax_t count = 0, bytes = 0;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const auto size = it->file_size(sizeError);
            if (!sizeError) bytes += size;
        }
    }
    return {count, bytes};
}

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
    enum class Stop { stalled, tooLarge, tooLong };

    void touched() { lastActivity_ = std::chrono::steady_clock::now(); }

    void check() {
        if (stopped_ || done_) return;
        const auto size = stagingSize(staging_);
        if (size.second >= limit_) return stop(Stop::tooLarge);
        if (size != lastSize_) {
            lastSize_ = size;
            touched();
        }
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
        if (!stopped_ && stagingSize(staging_).second >= limit_) stopped_ = Stop::tooLarge;
        if (stopped_ == Stop::stalled) return finish({std::nullopt, code, kStalledText});
        if (stopped_ == Stop::tooLarge) return finish({std::nullopt, code, tooLargeText(limit_, roomBound_)});
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
    std::pair<uintmax_t, uintmax_t> lastSize_{0, 0};
    std::optional<Stop> stopped_;
    bool done_ = false;
    std::string moveError_;
};

}  // namespace

std::string tooLargeText(uint64_t limit, bool roomBound) {
    const auto bytes = static_cast<double>(limit);
    const std::string amount =
        bytes >= 1e9 ? fmt::format("{:.1f} GB", bytes / 1e9) : fmt::format("{:.0f} MB", bytes / 1e6);
    return roomBound ? fmt::format("The download was stopped: the pulls folder has room for {} only", amount)
                     : fmt::format("The download was stopped: it is larger than {}", amount);
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
    return {"--no-playlist", "--no-progress", "-x", "--audio-format", "wav",
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
    const auto all = lines(errors);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->find("ERROR") != std::string::npos) return *it;
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
