// The user's own folders that the library browser starts in and offers as
// places: Music, Desktop and Downloads, as the desktop names them (the XDG
// user directories, through QStandardPaths).
//
// Tests replace them with folders of their own (the real ones belong to
// the user, and CI may have none). Main thread only.
#pragma once

#include <filesystem>
#include <optional>

namespace qm {

struct HomeFolders {
    std::filesystem::path music;
    std::filesystem::path desktop;
    std::filesystem::path downloads;
    bool operator==(const HomeFolders&) const = default;

    // The folders set for tests, else the desktop's.
    static HomeFolders current();
    // Replaces the desktop's folders; nothing (std::nullopt) restores them.
    static void setForTests(std::optional<HomeFolders> folders);
};

}  // namespace qm
