#include "ui/library/FileSelection.h"

#include <algorithm>
#include <set>

namespace qm {

bool FileSelection::contains(const std::filesystem::path& url) const {
    return std::find(urls_.begin(), urls_.end(), url) != urls_.end();
}

void FileSelection::set(std::vector<std::filesystem::path> urls) {
    std::set<std::filesystem::path> seen;
    std::erase_if(urls, [&](const std::filesystem::path& url) { return !seen.insert(url).second; });
    // Equal as sets: the same files in another order are no change.
    if (urls.size() == urls_.size() && std::set(urls_.begin(), urls_.end()) == seen) return;
    urls_ = std::move(urls);
    emit changed();
}

}  // namespace qm
