// Stand-ins for the composition root's platform pieces that have no real
// counterpart a unit test can run: accessibility answers set by hand, a
// folder chooser that records, a floating panel that records.
#pragma once

#include <QMetaObject>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "app/core/FileReveal.h"
#include "app/shell/Accessibility.h"
#include "app/shell/FloatingPanel.h"
#include "app/RecordingWorkspace.h"
#include "app/core/UserDefaults.h"
#include "app/shell/AppModel.h"
#include "app/shell/FolderChooser.h"
#include "support/FakeDesktop.h"

namespace qm::test {

class FakeAccessibility final : public Accessibility {
public:
    bool answer = true;
    int reads = 0;   // trusted() and checkTrusted() together
    int grants = 0;

    bool trusted() override {
        ++reads;
        return answer;
    }
    void checkTrusted(std::function<void(bool)> done) override {
        ++reads;
        QMetaObject::invokeMethod(this, [this, done = std::move(done)] { done(answer); }, Qt::QueuedConnection);
    }
    void grant() override { ++grants; }
};

class FakeFolderChooser final : public FolderChooser {
public:
    std::optional<std::vector<std::filesystem::path>> answer;
    std::vector<QString> labels;

    std::optional<std::vector<std::filesystem::path>> chooseFolders(const QString& acceptLabel) override {
        labels.push_back(acceptLabel);
        return answer;
    }
};

class FakePanel final : public FloatingPanel {
public:
    std::vector<bool> enabledSet;  // every assignment, in order
    struct Update {
        bool active;
        std::optional<DesktopRect> window;
    };
    std::vector<Update> updates;
    int playerChanges = 0;
    std::function<bool()> isAmbisonic;

    void setEnabled(bool on) override {
        enabledSet.push_back(on);
        enabled_ = on;
    }
    bool enabled() const override { return enabled_; }
    void update(bool active, const std::optional<DesktopRect>& window) override { updates.push_back({active, window}); }
    void setIsAmbisonic(std::function<bool()> query) override { isAmbisonic = std::move(query); }
    void playerChanged() override { ++playerChanges; }

private:
    bool enabled_ = false;
};

// The fakes of one root, kept by the test after the root took them.
struct FakePieces {
    static constexpr WindowId kThunar = 10;
    static constexpr WindowId kOther = 20;
    static constexpr int kThunarPid = 500;

    FakeDesktopWindows* windows = nullptr;
    FakeFileManagerAccessibility* files = nullptr;
    FakeKeyEventTap* tap = nullptr;
    FakeAccessibility* accessibility = nullptr;
    RecordingWorkspace* workspace = nullptr;
    FakeFolderChooser* folders = nullptr;
    FakePanel* panel = nullptr;  // once start() made it

    // Settings in `dir`, the data folder `dir`/data (none without
    // `dataFolder`), an xterm in front of a Thunar window, a free control port.
    AppPlatform platform(const std::filesystem::path& dir, bool trusted = true, bool dataFolder = true) {
        AppPlatform p;
        p.defaults = std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()));
        if (dataFolder) p.dataFolder = dir / "data";
        auto w = std::make_unique<FakeDesktopWindows>();
        windows = w.get();
        windows->add(kOther, 600, "XTerm", {0, 0, 800, 600});
        windows->add(kThunar, kThunarPid, "Thunar", {100, 100, 800, 400});
        windows->active = kOther;
        p.windows = std::move(w);
        auto f = std::make_unique<FakeFileManagerAccessibility>();
        files = f.get();
        p.fileManager = std::move(f);
        auto t = std::make_unique<FakeKeyEventTap>();
        tap = t.get();
        p.tap = std::move(t);
        auto a = std::make_unique<FakeAccessibility>();
        accessibility = a.get();
        accessibility->answer = trusted;
        p.accessibility = std::move(a);
        auto ws = std::make_unique<RecordingWorkspace>();
        workspace = ws.get();
        p.workspace = std::move(ws);
        auto fc = std::make_unique<FakeFolderChooser>();
        folders = fc.get();
        p.folders = std::move(fc);
        p.panel = [this](AppModel&) {
            auto made = std::make_unique<FakePanel>();
            panel = made.get();
            return made;
        };
        p.controlPort = 0;
        return p;
    }
};

}  // namespace qm::test
