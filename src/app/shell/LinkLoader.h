// Fetching the audio of a copied web link with the outside downloader
// yt-dlp, run as a child process. The system speaks to no web service
// itself: it finds the tool, builds its command line and reads back the
// path of the file it wrote.
//
// The lookup of the tool also serves the settings window's status line,
// which runs it on every edit of the path field.
//
// A download runs the tool in its own process group (so a hang ends with the
// ffmpeg it started), with an argument list and no shell, reading standard
// output and standard error apart. The tool writes into a hidden staging
// folder inside the download folder; only a complete result, a regular file
// inside that staging folder, moves into the download folder, and the
// staging folder is removed whatever happened. A run that writes nothing,
// prints nothing and grows no file for the stall time is ended: SIGTERM to
// its group, SIGKILL a grace time later. So is a run that passes its total
// time limit, or whose files pass the size limit: at most sizeLimit, and
// less where the download folder has less room (seven eighths of its free
// space). The size limit binds each file the tool and its children write
// (RLIMIT_FSIZE) and what the tool writes into the staging folder as a
// whole (watched), and a result at the limit is never moved into the
// download folder.
//
// A transfer the server breaks off is tried again by the tool at most
// kRetries times: from where it broke off where the server takes a range,
// else from the first byte, the file cut back to nothing. The watch counts
// what such restarts threw away as written (the bytes the tool's process
// wrote in all, as the system counts them, and the files found cut back),
// so a server that drops the connection at the same byte every time costs
// a bounded number of bytes.
//
// One download at a time is the caller's rule (kBusyText).
//
// Threads: ytDlp() touches only the file system and may be called from any
// thread. download() runs on the main thread's event loop (the process and
// its pipes are watched there; nothing blocks) and completes there.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm::LinkLoader {

// Where Debian and a hand install put the tool, tried last.
inline const std::vector<std::string>& fixedLocations() {
    static const std::vector<std::string> paths{"/usr/bin/yt-dlp", "/usr/local/bin/yt-dlp"};
    return paths;
}

// Where the tool is looked for after the user's own path, in order: each
// absolute folder of the search path `pathVariable`, then `home`'s
// ".local/bin" (where pip and pipx put it, often missing from the search
// path of programs started from a menu), then the fixed places. Each once.
std::vector<std::string> searchLocations(const std::optional<std::string>& pathVariable,
                                         const std::optional<std::string>& home);
// The same for this process's PATH and HOME, as they are now.
std::vector<std::string> toolLocations();

// What the user reads when no usable tool is found: both ways to install it.
inline constexpr const char* kNotFoundText =
    "yt-dlp not found. Install with: sudo apt install yt-dlp ffmpeg (or: pipx install yt-dlp)";

// The first candidate that is an executable regular file (links followed):
// `custom` when it is not empty, then `locations`. Nothing when none is.
std::optional<std::string> ytDlp(const std::string& custom,
                                 const std::vector<std::string>& locations = toolLocations());

// True for an executable regular file, links followed.
bool isExecutableFile(const std::string& path);

inline constexpr const char* kFailedText = "yt-dlp failed";
inline constexpr const char* kStalledText = "yt-dlp stopped responding";
inline constexpr const char* kBusyText = "A download is already running";
// The most a download may write, in bytes: a WAV file of that size still
// fits the RIFF limit.
inline constexpr uint64_t kMaxDownloadBytes = 4000000000;
// How often the tool tries a broken-off transfer (or fragment) again.
inline constexpr int kRetries = 2;
// What the user reads when a download passes its size limit (`roomBound`:
// the limit came from the folder's free space), when what it wrote starting
// over and over passes it, or when it passes its time limit.
std::string tooLargeText(uint64_t limit, bool roomBound);
std::string startedOverText(uint64_t limit);
std::string tooLongText(std::chrono::milliseconds limit);
// The size limit of a download into `folder`: `cap`, or seven eighths of
// the folder's free space when that is less (`roomBound` says which).
uint64_t sizeLimit(const std::filesystem::path& folder, uint64_t cap, bool* roomBound = nullptr);
// The output template, below the folder the tool writes into.
inline constexpr const char* kOutputTemplate = "%(title).120B [%(id)s].%(ext)s";
// Staging folders: "<prefix><pid>-<unique>" in the download folder.
inline constexpr const char* kStagingPrefix = ".qm-link-";

// The tool's arguments for `link`, writing below `folder`.
std::vector<std::string> arguments(const std::string& link, const std::filesystem::path& folder);
// The tool's search path: the usual install folders before the inherited one.
std::string searchPath(const std::optional<std::string>& inherited);

// From the tool's standard output: the last non-empty line beginning with
// "/", if any.
std::optional<std::string> pathLine(const std::string& output);
// From its standard error: the last line containing "ERROR", without
// carriage returns, else kFailedText.
std::string errorLine(const std::string& errors);

// Removes staging folders in `folder` left by processes that are gone.
void removeStaleStaging(const std::filesystem::path& folder);

struct DownloadResult {
    std::optional<std::filesystem::path> file;  // the downloaded file, in the download folder
    int code = 0;                               // on failure: the tool's exit status (-1: none)
    std::string error;                          // on failure: what the user reads
};

struct DownloadOptions {
    std::chrono::milliseconds stallTimeout{120000};
    std::chrono::milliseconds killGrace{2000};
    std::chrono::milliseconds timeLimit{30 * 60 * 1000};
    uint64_t sizeLimit = kMaxDownloadBytes;
    // Where the tool is looked for after the user's own path.
    std::vector<std::string> toolLocations = LinkLoader::toolLocations();
};

// Downloads the audio of `link` with `tool` into `folder` (made with its
// parents) and calls `completion` once, on the main thread. The download
// lives as a child of `parent` (when given): ending that ends the tool's
// process group, removes its staging folder and calls nothing.
void download(const std::string& link, const std::filesystem::path& folder, const std::string& tool,
              std::function<void(const DownloadResult&)> completion, const DownloadOptions& options = {},
              QObject* parent = nullptr);

}  // namespace qm::LinkLoader
