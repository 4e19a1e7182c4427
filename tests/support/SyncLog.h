// Records the fsync(2) calls of every thread while a SyncLog lives: the path
// each synced descriptor names at that moment (a folder's own path for a
// folder), in order, with whatever `probe` returned at the call. Linking
// this helper replaces glibc's fsync with one that records and forwards.
//
// One SyncLog at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qm::test {

class SyncLog {
public:
    struct Entry {
        std::string path;
        std::string probe;
    };

    explicit SyncLog(std::function<std::string()> probe = {});
    ~SyncLog();
    SyncLog(const SyncLog&) = delete;
    SyncLog& operator=(const SyncLog&) = delete;

    std::vector<Entry> entries() const;
};

}  // namespace qm::test
