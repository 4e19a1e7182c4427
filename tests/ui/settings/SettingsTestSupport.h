// What the settings window's tests share: a real settings store over a
// file of its own, a real library model with a catalog in the test's
// folder, a file manager that records what it was asked to open, a device
// list of the test's choosing, and the settings document as written.
#pragma once

#include <QComboBox>
#include <QWidget>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/RecordingWorkspace.h"
#include "app/library/LibraryFixture.h"
#include "ui/settings/SettingsView.h"

namespace qm::test {

struct SettingsFixture {
    // Roots and files are named relative to the test's folder; the files
    // are there before the library model starts scanning.
    explicit SettingsFixture(std::vector<std::string> roots = {}, const std::vector<std::string>& files = {})
        : lib(std::move(roots)) {
        for (const std::string& file : files) lib.put(lib.dir / file);
        library = lib.model();
    }

    LibraryFixture lib;
    std::unique_ptr<LibraryModel> library;
    RecordingWorkspace workspace;
    int addFolderCalls = 0;
    std::vector<AudioOutputDevice> devices{{1, "jack:system", "system", 6}, {2, "jack:Desk", "Desk", 28}};
    std::unique_ptr<SettingsView> view;

    SettingsStore& settings() { return *lib.settings; }
    // Made on first use, so that a test can set the settings up first.
    SettingsView& window();
    // The document the store wrote, read back from the file.
    AppSettings stored() const;
    // Chooses an item of a picker as the user does (the pick is announced).
    static void pick(QComboBox* picker, int index);
    static std::vector<QString> items(const QComboBox* picker);
    template <class W>
    W* find(const QString& name) {
        return window().findChild<W*>(name);
    }
};

}  // namespace qm::test
