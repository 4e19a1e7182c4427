// What the composition root offers the views for files they list: open one
// in the editor, make temp edits of several. The library window's file list
// calls it; AppModel implements it, tests pass a stand-in that records the
// calls. Main thread only.
#pragma once

#include <filesystem>
#include <vector>

namespace qm {

class AppActions {
public:
    virtual ~AppActions() = default;

    // Opens the file in the editor, brings the editor window forward and
    // activates the application.
    virtual void openEditor(const std::filesystem::path& url) = 0;
    // Makes temp edits of the files, one after the other, in the background.
    virtual void makeTempEdits(const std::vector<std::filesystem::path>& urls) = 0;
};

}  // namespace qm
