// Which files were opened: an inotify watch (IN_OPEN) on folders, and on
// single files, that tests read after the code under test has run. The
// kernel queues the events as the opens happen, so whatever the code did
// before opened() is called is in the answer.
//
// One thread at a time.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qm::test {

class OpenWatch {
public:
    OpenWatch();
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // Watches a folder (the opens of the files in it), and with `recursive`
    // every folder below it as it is now; or one file.
    void add(const std::filesystem::path& path, bool recursive = false);

    // The paths of the files (not folders) opened since the last call, in
    // the order of the events: one per open, unless the file was opened
    // again before the earlier open was read and without a close between.
    std::vector<std::string> opened();

private:
    int fd_;
    std::map<int, std::string> watches_;
};

}  // namespace qm::test
