// Fetching the audio of a copied web link with the outside downloader
// yt-dlp, run as a child process. The system speaks to no web service
// itself: it finds the tool, builds its command line and reads back the
// path of the file it wrote.
//
// So far this holds the lookup of the tool, which the settings window's
// status line runs on every edit of the path field; the download itself
// (arguments, environment, reading both pipes, the result and error rules)
// belongs beside it in this namespace.
//
// Threads: ytDlp() touches only the file system and may be called from any
// thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm::LinkLoader {

// Where Debian and a hand install put the tool, tried in this order after
// the user's own path.
inline const std::vector<std::string>& fixedLocations() {
    static const std::vector<std::string> paths{"/usr/bin/yt-dlp", "/usr/local/bin/yt-dlp"};
    return paths;
}

// What the user reads when no usable tool is found.
inline constexpr const char* kNotFoundText = "yt-dlp not found. Install with: sudo apt install yt-dlp ffmpeg";

// The first candidate that is an executable regular file (links followed):
// `custom` when it is not empty, then `fixed`. Nothing when none is.
std::optional<std::string> ytDlp(const std::string& custom,
                                 const std::vector<std::string>& fixed = fixedLocations());

// True for an executable regular file, links followed.
bool isExecutableFile(const std::string& path);

}  // namespace qm::LinkLoader
