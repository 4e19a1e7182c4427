// Asks the user for folders (the library's "Add to Library"). The views
// layer gives the real one, a modal folder dialog (ui/shell/FolderDialog.h);
// tests give their own answers.
//
// Threads: the main thread; the call returns once the user has answered.
#pragma once

#include <QString>

#include <filesystem>
#include <optional>
#include <vector>

namespace qm {

class FolderChooser {
public:
    virtual ~FolderChooser() = default;

    // The folders chosen, in the dialog's order, with `acceptLabel` on its
    // confirming button; none when the user cancels.
    virtual std::optional<std::vector<std::filesystem::path>> chooseFolders(const QString& acceptLabel) = 0;
};

}  // namespace qm
