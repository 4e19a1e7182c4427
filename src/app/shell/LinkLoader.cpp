#include "app/shell/LinkLoader.h"

#include <sys/stat.h>
#include <unistd.h>

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
