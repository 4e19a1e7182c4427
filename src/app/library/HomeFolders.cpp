#include "app/library/HomeFolders.h"

#include <QFile>
#include <QStandardPaths>

namespace qm {

namespace {

std::optional<HomeFolders>& replaced() {
    static std::optional<HomeFolders> folders;
    return folders;
}

// The path's bytes as the file system has them (Qt decoded them from the
// locale's encoding).
std::filesystem::path location(QStandardPaths::StandardLocation which) {
    return QFile::encodeName(QStandardPaths::writableLocation(which)).toStdString();
}

}  // namespace

HomeFolders HomeFolders::current() {
    if (replaced()) return *replaced();
    return {location(QStandardPaths::MusicLocation), location(QStandardPaths::DesktopLocation),
            location(QStandardPaths::DownloadLocation)};
}

void HomeFolders::setForTests(std::optional<HomeFolders> folders) { replaced() = std::move(folders); }

}  // namespace qm
