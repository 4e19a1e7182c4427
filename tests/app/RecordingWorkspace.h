// A workspace that records what it is asked to reveal, open and bring
// forward, for tests of models and views that use one.
#pragma once

#include <filesystem>
#include <vector>

#include "app/core/FileReveal.h"

namespace qm::test {

class RecordingWorkspace : public FileReveal {
public:
    void reveal(const std::vector<std::filesystem::path>& items) override { revealed.push_back(items); }
    void open(const std::filesystem::path& folder) override { opened.push_back(folder); }
    void activate() override { ++activations; }

    std::vector<std::vector<std::filesystem::path>> revealed;
    std::vector<std::filesystem::path> opened;
    int activations = 0;
};

}  // namespace qm::test
