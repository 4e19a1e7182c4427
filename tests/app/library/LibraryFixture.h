// The library model tests' fixture: settings in a file of their own, home
// folders and a mount table of the test's own, a catalog file in a
// temporary folder, and waits that keep the event loop running.
#pragma once

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/HomeFolders.h"
#include "app/library/LibraryModel.h"
#include "library/ChangeLog.h"
#include "library/LibraryScanner.h"
#include "platform/Volumes.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace qm::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (cond()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return cond();
}

// Runs the event loop for a while: what should not happen has had its chance.
inline void settle(std::chrono::milliseconds time = 250ms) {
    waitUntil([] { return false; }, time);
}

inline std::string wav() { return RiffBuilder().fmt(1, 48000, 16).data16(1, 10).bytes(); }

inline std::string realPath(const fs::path& p) { return LibraryScanner::canonical(p.string()); }

inline const char* kMountInfo =
    "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
    "30 22 8:17 / /media/ann/Field\\040Recordings rw - vfat /dev/sdb1 rw\n"
    "31 22 0:44 / /media/ram rw - tmpfs tmpfs rw\n"
    "32 22 8:49 / /mnt/.hidden rw - ext4 /dev/sdd1 rw\n"
    "33 22 0:40 / /mnt/share rw - cifs //server/share rw\n"
    "not a mount line\n";

// Settings in a file of their own, home folders and a mount table of the
// test's own, a catalog file in the folder.
struct LibraryFixture {
    TempDir dir;
    fs::path music = dir / "home/Music", desktop = dir / "home/Desktop", downloads = dir / "home/Downloads";
    fs::path lib = dir / "Lib";
    fs::path catalogFile = dir / "Quillmarsh/Catalog.sqlite";
    std::unique_ptr<SettingsStore> settings;
    std::atomic<int> searches{0};
    std::mutex probeMutex;
    std::vector<std::string> searched;

    // Roots are named relative to the test's folder.
    explicit LibraryFixture(std::vector<std::string> roots = {}) {
        for (std::string& r : roots) r = (dir / r).string();
        for (const fs::path& p : {music, desktop, downloads, lib}) fs::create_directories(p);
        HomeFolders::setForTests(HomeFolders{music, desktop, downloads});
        writeBytes(dir / "mountinfo", kMountInfo);
        Volumes::setMountInfoPath(dir / "mountinfo");
        settings = std::make_unique<SettingsStore>(
            std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string())));
        settings->update([&](AppSettings& s) {
            s.libraryRoots = roots;
            s.pullsFolder = (dir / "Pulls").string();
        });
    }
    ~LibraryFixture() {
        HomeFolders::setForTests(std::nullopt);
        Volumes::setMountInfoPath({});
    }

    fs::path put(const fs::path& file, const std::string& bytes = wav()) {
        fs::create_directories(file.parent_path());
        writeBytes(file, bytes);
        return file;
    }
    // A model whose searches are counted.
    std::unique_ptr<LibraryModel> model() {
        auto m = std::make_unique<LibraryModel>(*settings, catalogFile);
        m->setSearchProbe([this](const Catalog::Filter& f) {
            std::lock_guard lock(probeMutex);
            searched.push_back(f.query);
            ++searches;
        });
        return m;
    }
    static bool idle(const LibraryModel& m) { return m.indexing().empty(); }
    // No scan running and every write's result published.
    static bool settled(const LibraryModel& m) { return idle(m) && m.pendingWrites() == 0; }
};

inline std::vector<std::string> names(const BrowserList& list) {
    std::vector<std::string> out;
    for (const BrowserEntry& e : list) out.push_back(e.url.filename().string() + (e.isFolder ? "/" : ""));
    return out;
}

inline std::vector<std::string> paths(const BrowserList& list) {
    std::vector<std::string> out;
    for (const BrowserEntry& e : list) out.push_back(e.url.string());
    return out;
}

// --- Team logs, settled models, rows ---

inline const std::chrono::sys_seconds kTime = std::chrono::sys_days(std::chrono::year(2024) / 5 / 6);

inline std::vector<ChangeLog::Entry> ownEntries(const fs::path& root) {
    std::vector<ChangeLog::Entry> out;
    std::istringstream in(readBytes(fs::path(ChangeLog::folder(root.string())) / (ChangeLog::ownName() + ".jsonl")));
    for (std::string line; std::getline(in, line);)
        if (auto e = ChangeLog::Entry::decode(line)) out.push_back(*e);
    return out;
}

inline bool hasOwnLog(const fs::path& root) {
    return fs::exists(fs::path(ChangeLog::folder(root.string())) / (ChangeLog::ownName() + ".jsonl"));
}

// A colleague's log in the root's change folder.
inline fs::path colleagueLog(const fs::path& root) {
    return fs::path(ChangeLog::folder(root.string())) / "bob@studio-b.jsonl";
}

// Appends a colleague's entries to their log.
inline void colleagueWrites(const fs::path& root, const std::vector<ChangeLog::Entry>& entries) {
    fs::create_directories(colleagueLog(root).parent_path());
    std::ofstream out(colleagueLog(root), std::ios::binary | std::ios::app);
    for (const ChangeLog::Entry& e : entries) out << *e.encoded() << '\n';
}

inline ChangeLog::Entry colleague(const std::string& path, std::map<std::string, std::string> fields) {
    return {.path = path, .fields = std::move(fields), .rating = std::nullopt, .user = "bob@studio-b", .time = kTime};
}

// A model over the fixture's catalog with its roots scanned and nothing
// pending.
inline std::unique_ptr<LibraryModel> settledModel(LibraryFixture& f) {
    auto m = f.model();
    EXPECT_TRUE(waitUntil([&] { return LibraryFixture::settled(*m); }));
    return m;
}

inline void waitSettled(const LibraryModel& m) { ASSERT_TRUE(waitUntil([&] { return LibraryFixture::settled(m); })); }

inline SoundMeta rowMeta(LibraryModel& m, const fs::path& file) {
    auto row = m.catalog()->row(realPath(file));
    return row ? row->meta() : SoundMeta();
}

inline std::string message(const LibraryModel& m) { return m.message() ? m.message()->toStdString() : "<none>"; }

}  // namespace qm::test
