#include "library/LibraryScanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <iostream>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/CatalogTestSupport.h"
#include "library/WorkerPool.h"
#include "support/AudioFiles.h"
#include "support/OpenWatch.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"
#include "library/RIFFMeta.h"
#include "library/ScanTestSupport.h"
#include "support/TmpfsMount.h"
#include "platform/Volumes.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

struct ListingSeamGuard {
    ~ListingSeamGuard() { LibraryScanner::setListingFailure({}); }
};

}  // namespace

TEST(LibraryScanner, CanonicalForms) {
    TempDir dir;
    const fs::path lib = dir / "Lib";
    fs::create_directories(lib / "Sub");
    fs::create_directory_symlink(lib, dir / "Link");
    const std::string real = realPath(lib);
    ASSERT_FALSE(real.empty());

    // Trailing slash, a link, dot and dot-dot: one form.
    for (const std::string& form : {lib.string() + "/", (dir / "Link").string(), (lib / "Sub/..").string(),
                                    (lib / "./Sub/../").string(), lib.string() + "//"})
        EXPECT_EQ(LibraryScanner::canonical(form), real) << form;

    // A path that does not exist is standardised lexically, links left alone.
    const std::string base = realPath(dir.path());
    EXPECT_EQ(LibraryScanner::canonical((dir / "Link/missing/x/../y/").string()),
              (dir / "Link/missing/y").lexically_normal().string());
    EXPECT_EQ(LibraryScanner::canonical(base + "/gone/./a/"), base + "/gone/a");
    EXPECT_EQ(LibraryScanner::canonical("/"), "/");
    EXPECT_EQ(LibraryScanner::canonical("/no-such-folder-qm/.."), "/");
    EXPECT_EQ(LibraryScanner::canonical("/../no-such-folder-qm/"), "/no-such-folder-qm");
    // A relative path is taken from the working folder.
    EXPECT_EQ(LibraryScanner::canonical("no-such-folder-qm/a/.."),
              (fs::current_path() / "no-such-folder-qm").string());
    // A NUL names no file: the text is kept, not cut at the NUL.
    const std::string withNul = lib.string() + std::string("\0x", 2);
    EXPECT_EQ(LibraryScanner::canonical(withNul), withNul);

    // The lexical half alone keeps links.
    EXPECT_EQ(LibraryScanner::standardized((dir / "Link/Sub/../").string()), (dir / "Link").string());
    EXPECT_EQ(LibraryScanner::standardized("/a/./b/../c//"), "/a/c");
    EXPECT_EQ(LibraryScanner::standardized("/"), "/");

    // Bytes that are not UTF-8 are the folder's name: kept as they are.
    const fs::path odd = dir / "caf\xE9 \xFF";
    fs::create_directory(odd);
    EXPECT_EQ(LibraryScanner::canonical(odd.string()), base + "/caf\xE9 \xFF");
}

// Linux resolves paths of up to 4,096 bytes.
TEST(LibraryScanner, LongRootPath) {
    Library l;
    fs::path deep = l.lib;
    while (deep.string().size() < 3000) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    writeBytes(deep / "x.wav", wavBytes());
    const std::string root = LibraryScanner::canonical(deep.string() + "/");
    EXPECT_EQ(root, realPath(deep));
    EXPECT_GE(root.size(), 3000u);

    l.scan(deep);
    EXPECT_EQ(l.paths(), std::vector<std::string>{root + "/x.wav"});
    EXPECT_EQ(l.raw.one("SELECT root FROM files"), root);
    EXPECT_EQ(l.raw.one("SELECT sr FROM files"), "48000.0");
}

TEST(LibraryScanner, WhatTheWalkCatalogues) {
    Library l;
    l.put("x.WAV");
    l.put(".hidden.wav");
    l.put(".Hidden Folder/inside.wav");
    l.put("notes.txt", "text");
    l.put("Bundle.app/Contents/inside.wav");  // no packages on Linux: descended
    l.put("folder.wav/inner.flac", "not really flac");
    l.put("broken.wav", "this is no audio file at all");
    l.put("empty.mp3", "");
    l.put("Doors/DOORWood_Slam Hard_JD_SR7.wav",
          RiffBuilder()
              .fmt(2, 44100, 24)
              .chunk("iXML", "<BWFXML><USER><DESCRIPTION>Big slam</DESCRIPTION></USER></BWFXML>")
              .data16(2, 4)
              .bytes());
    fs::create_directories(l.dir / "Outside");
    writeBytes(l.dir / "Outside/o.wav", wavBytes());
    fs::create_symlink(l.lib / "x.WAV", l.lib / "link.wav");
    fs::create_directory_symlink(l.dir / "Outside", l.lib / "linked folder");
    ASSERT_EQ(::mkfifo((l.lib / "pipe.wav").c_str(), 0600), 0);  // would block a reader

    const struct timespec stamp = {1700000000, 123456789};
    setMtime(l.lib / "x.WAV", stamp);

    OpenWatch watch;
    watch.add(l.dir / "Outside");
    l.scan();
    const std::string r = l.root();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{
                             r + "/Bundle.app/Contents/inside.wav",
                             r + "/Doors/DOORWood_Slam Hard_JD_SR7.wav",
                             r + "/broken.wav",
                             r + "/empty.mp3",
                             r + "/folder.wav/inner.flac",
                             r + "/x.WAV",
                         }));
    EXPECT_TRUE(watch.opened().empty());
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM fts"), "6");
    EXPECT_EQ(l.raw.rows("SELECT DISTINCT root FROM files"), (std::vector<std::vector<std::string>>{{r}}));

    // Stamps from lstat with nanoseconds; facts and metadata from the file.
    auto x = l.raw.rows("SELECT size, mtime, sr, channels, bits, codec FROM files WHERE path = '" + r + "/x.WAV'")[0];
    EXPECT_EQ(x[0], std::to_string(fs::file_size(l.lib / "x.WAV")));
    EXPECT_NEAR(l.catalog.stamps(r)[r + "/x.WAV"].mtime, 1700000000.123456789, 1e-6);
    EXPECT_EQ((std::vector<std::string>(x.begin() + 2, x.end())), (std::vector<std::string>{"48000.0", "1", "16", "PCM"}));
    auto slam = l.catalog.row(r + "/Doors/DOORWood_Slam Hard_JD_SR7.wav");
    ASSERT_TRUE(slam);
    EXPECT_EQ(slam->meta().description, "Big slam");
    EXPECT_EQ(slam->meta().catID, "DOORWood");
    EXPECT_EQ(slam->meta().designer, "JD");
    EXPECT_EQ(slam->channels, 2);
    // Not audio: still listed, without facts.
    auto broken = l.catalog.row(r + "/broken.wav");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->duration, 0);
    EXPECT_EQ(broken->codec, "");
    EXPECT_EQ(broken->meta().fxName, "broken");

    ASSERT_FALSE(l.reports.empty());
    EXPECT_EQ(l.reports.front().found, 6);
    EXPECT_EQ(l.reports.back().written, 6);
}

TEST(LibraryScanner, NamesAreTheFileSystemsBytes) {
    Library l;
    const std::string folder = "\xFF Folder", name = "caf\xE9 take.wav";
    l.put(folder + "/" + name);
    l.scan();
    const std::string path = l.root() + "/" + folder + "/" + name;
    EXPECT_EQ(l.paths(), std::vector<std::string>{path});
    auto row = l.catalog.row(path);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->sampleRate, 48000);
    // The key leads back to the file: the rescan finds it unchanged.
    l.scan();
    EXPECT_EQ(l.reports.front().candidates, 0);
    EXPECT_EQ(l.count(), "1");
}

TEST(LibraryScanner, AnUnchangedRescanOpensNothingAndWritesNothing) {
    Library l;
    for (int i = 0; i < 30; ++i) l.put(fmt::format("Set {}/take {}.wav", i % 4, i));
    l.put("Set 1/music.flac", "");
    l.scan();
    ASSERT_EQ(l.count(), "31");
    const std::string version = l.raw.one("PRAGMA data_version");

    OpenWatch watch;
    watch.add(l.lib, true);
    l.scan();
    EXPECT_EQ(watch.opened(), std::vector<std::string>{});
    EXPECT_EQ(l.raw.one("PRAGMA data_version"), version);  // no commit by anyone
    EXPECT_EQ(l.reports, (std::vector<LibraryScanner::Progress>{{.found = 31}}));
}

TEST(LibraryScanner, ModificationTimeTolerance) {
    Library l;
    const fs::path a = l.put("a.wav"), b = l.put("b.wav"), c = l.put("c.wav"), d = l.put("d.wav");
    l.scan();
    const std::string r = l.root();

    setMtime(a, plusNanos(mtimeOf(a), 500000));    // 0.0005 s: the same file
    setMtime(b, plusNanos(mtimeOf(b), 2000000));   // 0.002 s: changed
    const struct timespec old = mtimeOf(c);
    writeBytes(c, wavBytes(20));                   // another size, the old time
    setMtime(c, old);

    OpenWatch watch;
    watch.add(l.lib);
    l.scan();
    const std::vector<std::string> opened = watch.opened();
    const std::set<std::string> files(opened.begin(), opened.end());
    EXPECT_EQ(files, (std::set<std::string>{b.string(), c.string()}));
    EXPECT_EQ(l.reports.front().candidates, 2);
    EXPECT_EQ(l.raw.one("SELECT size FROM files WHERE path = '" + r + "/c.wav'"), std::to_string(fs::file_size(c)));
    EXPECT_NEAR(l.catalog.stamps(r)[r + "/b.wav"].mtime,
                static_cast<double>(mtimeOf(b).tv_sec) + static_cast<double>(mtimeOf(b).tv_nsec) * 1e-9, 1e-6);
    EXPECT_EQ(l.catalog.row(r + "/c.wav")->duration, 20.0 / 48000);
}

TEST(LibraryScanner, WritesInTransactionsOf256) {
    Library l;
    const std::string bytes = wavBytes();
    for (int i = 0; i < 600; ++i) l.put(fmt::format("F{}/s{:03}.wav", i % 7, i), bytes);
    l.scan();
    EXPECT_EQ(l.batches(), (std::vector<int64_t>{256, 256, 88}));
    EXPECT_EQ(l.reports.front().candidates, 600);
    EXPECT_EQ(l.count(), "600");
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM fts"), "600");
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM files WHERE sr = 48000"), "600");
}

TEST(LibraryScanner, FilesThatAreGoneLoseTheirRows) {
    Library l;
    for (const char* name : {"keep.wav", "deleted.wav", "Sub/made hidden.wav", "Sub/stays.wav", "now a link.wav",
                             "now a fifo.wav", "Dropped/one.wav", "Dropped/Deeper/two.wav"})
        l.put(name);
    l.scan();
    ASSERT_EQ(l.count(), "8");
    const std::string r = l.root();

    fs::remove(l.lib / "deleted.wav");
    fs::rename(l.lib / "Sub/made hidden.wav", l.lib / "Sub/.made hidden.wav");
    fs::remove(l.lib / "now a link.wav");
    fs::create_symlink(l.lib / "keep.wav", l.lib / "now a link.wav");
    fs::remove(l.lib / "now a fifo.wav");
    ASSERT_EQ(::mkfifo((l.lib / "now a fifo.wav").c_str(), 0600), 0);
    fs::remove_all(l.lib / "Dropped");
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/Sub/stays.wav", r + "/keep.wav"}));
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM fts"), "2");
    EXPECT_EQ(l.raw.one("SELECT group_concat(rowid) FROM fts"), l.raw.one("SELECT group_concat(id) FROM files"));
    EXPECT_EQ(l.reports.back().removed, 6);
    EXPECT_EQ(l.reports.back().offline, 0);
}

TEST(LibraryScanner, EveryFormOfARootCataloguesUnderOneRoot) {
    Library l;
    l.put("A/one.wav");
    l.put("two.wav");
    fs::create_directory_symlink(l.lib, l.dir / "Through a link");
    l.scan(l.lib.string() + "/");
    const std::vector<std::string> first = l.paths();
    ASSERT_EQ(first.size(), 2u);
    for (const fs::path& form : {l.dir / "Through a link", l.lib / "A/..", l.lib}) {
        l.scan(form);
        EXPECT_EQ(l.reports.front().candidates, 0) << form;
    }
    EXPECT_EQ(l.paths(), first);
    EXPECT_EQ(l.raw.rows("SELECT DISTINCT root FROM files"), (std::vector<std::vector<std::string>>{{l.root()}}));
}

// A drive that is unplugged or a server that stopped answering says nothing
// about its files: their rows, and the colleagues' edits pulled into them,
// stay.
TEST(LibraryScanner, RootsAndFoldersThatCannotBeListedKeepTheirRows) {
    ListingSeamGuard guard;
    Library l;
    for (const char* name : {"top.wav", "gone.wav", "Sub/a.wav", "Sub/Deeper/b.wav", "Other/c.wav"}) l.put(name);
    l.scan();
    const std::vector<std::string> all = l.paths();
    ASSERT_EQ(all.size(), 5u);
    const std::string r = l.root();

    // Which of the rows are kept offline, of those there are.
    auto offline = [&] {
        std::vector<std::string> out;
        for (const std::string& path : l.paths())
            if (l.catalog.isOffline(path)) out.push_back(path);
        return out;
    };

    // The root is missing.
    fs::rename(l.lib, l.dir / "Away");
    l.scan();
    EXPECT_EQ(l.paths(), all);
    EXPECT_EQ(offline(), all);
    // The root is a file.
    writeBytes(l.lib, "a file now");
    l.scan();
    EXPECT_EQ(l.paths(), all);
    EXPECT_EQ(offline(), all);
    fs::remove(l.lib);
    fs::rename(l.dir / "Away", l.lib);
    l.scan();
    EXPECT_EQ(offline(), std::vector<std::string>{}) << "seen again: live";

    // One folder cannot be listed: its rows stay, files known to be gone go.
    fs::remove(l.lib / "gone.wav");
    fs::remove(l.lib / "Sub/a.wav");
    LibraryScanner::setListingFailure([&](const std::string& folder) { return folder == r + "/Sub"; });
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/Other/c.wav", r + "/Sub/Deeper/b.wav", r + "/Sub/a.wav",
                                                   r + "/top.wav"}));
    EXPECT_EQ(offline(), (std::vector<std::string>{r + "/Sub/Deeper/b.wav", r + "/Sub/a.wav"}));
    EXPECT_EQ(l.reports.back().offline, 2);
    // The root's own listing fails: nothing is removed.
    fs::remove(l.lib / "top.wav");
    LibraryScanner::setListingFailure([&](const std::string& folder) { return folder == r; });
    l.scan();
    EXPECT_EQ(l.paths().size(), 4u);
    EXPECT_EQ(offline(), l.paths());
    // Listed again, the folders show what is really gone.
    LibraryScanner::setListingFailure({});
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/Other/c.wav", r + "/Sub/Deeper/b.wav"}));
    EXPECT_EQ(offline(), std::vector<std::string>{});
}

// An unmounted drive leaves its empty mount folder, or one holding only a
// hidden item (".keep"): that says nothing about its files, whose rows stay,
// offline. A folder that lists anything visible shows which of its files
// are gone; an empty sub-folder is the folder of files that were deleted.
TEST(LibraryScanner, ARootThatListsNothingOrOnlyHiddenItemsKeepsItsRowsOffline) {
    Library l;
    l.put("a.wav");
    l.put("Sub/b.wav");
    l.scan();
    const std::vector<std::string> all = l.paths();
    ASSERT_EQ(all.size(), 2u);
    const std::string r = l.root();

    fs::rename(l.lib, l.dir / "On the drive");
    fs::create_directories(l.lib);
    l.scan();
    EXPECT_EQ(l.paths(), all);
    EXPECT_EQ(l.reports.back(), (LibraryScanner::Progress{.offline = 2}));
    EXPECT_TRUE(l.catalog.isOffline(r + "/a.wav"));
    EXPECT_TRUE(l.catalog.isOffline(r + "/Sub/b.wav"));
    // Only hidden items: still nothing said about the files.
    writeBytes(l.lib / ".keep", "");
    fs::create_directories(l.lib / ".quillmarsh/changes");
    l.scan();
    EXPECT_EQ(l.paths(), all);
    EXPECT_TRUE(l.catalog.isOffline(r + "/a.wav"));

    // Plugged in again: live, nothing read again.
    fs::remove_all(l.lib);
    fs::rename(l.dir / "On the drive", l.lib);
    l.scan();
    EXPECT_EQ(l.paths(), all);
    EXPECT_EQ(l.reports.front().candidates, 0);
    EXPECT_FALSE(l.catalog.isOffline(r + "/a.wav"));
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM offline_files"), "0");

    // Something visible is there: what is not there is gone.
    fs::rename(l.lib, l.dir / "On the drive");
    fs::create_directories(l.lib);
    l.put("new.wav");
    l.scan();
    EXPECT_EQ(l.paths(), std::vector<std::string>{r + "/new.wav"});
    EXPECT_EQ(l.reports.back().removed, 2);

    // One file left of two: the other's row goes.
    fs::remove_all(l.lib);
    fs::rename(l.dir / "On the drive", l.lib);
    l.scan();
    ASSERT_EQ(l.paths().size(), 2u);
    fs::remove_all(l.lib / "Sub");
    l.scan();
    EXPECT_EQ(l.paths(), std::vector<std::string>{r + "/a.wav"});
    // An empty sub-folder is no mount folder of a root: its files are gone.
    fs::create_directories(l.lib / "Empty");
    l.put("Empty/c.wav");
    l.scan();
    fs::remove(l.lib / "Empty/c.wav");
    l.scan();
    EXPECT_EQ(l.paths(), std::vector<std::string>{r + "/a.wav"});
}

// A sub-folder that lists only hidden items keeps its files' rows offline;
// once the files are back they are live again.
TEST(LibraryScanner, ASubFolderWithOnlyHiddenItemsKeepsItsRowsOffline) {
    Library l;
    l.put("top.wav");
    l.put("Drive/a.wav");
    l.put("Drive/Deeper/b.wav");
    l.scan();
    const std::string r = l.root();
    fs::rename(l.lib / "Drive", l.dir / "Drive away");
    fs::create_directories(l.lib / "Drive");
    writeBytes(l.lib / "Drive/.keep", "");
    l.scan();
    EXPECT_EQ(l.paths().size(), 3u);
    EXPECT_EQ(l.reports.back().offline, 2);
    EXPECT_TRUE(l.catalog.isOffline(r + "/Drive/Deeper/b.wav"));
    EXPECT_FALSE(l.catalog.isOffline(r + "/top.wav"));
    fs::remove_all(l.lib / "Drive");
    fs::rename(l.dir / "Drive away", l.lib / "Drive");
    l.scan();
    EXPECT_FALSE(l.catalog.isOffline(r + "/Drive/Deeper/b.wav"));
    EXPECT_EQ(l.reports.front().candidates, 0);
}

// A real drive mounted inside a library: while it is unmounted its rows
// stay offline, whether its mount folder is left empty, holds files of its
// own underneath, or is gone; mounted again, they are live.
TEST(LibraryScanner, AMountPointThatIsNotMountedKeepsItsRowsOffline) {
    Library l;
    TmpfsMount drive(l.lib / "Drive");
    if (!drive.mounted()) GTEST_SKIP() << drive.refused();
    l.put("top.wav");
    const std::vector<std::string> onDrive = {"Drive/a.wav", "Drive/Sub/b.wav"};
    for (const std::string& f : onDrive) l.put(f);
    l.scan();
    const std::string r = l.root();
    ASSERT_EQ(l.paths().size(), 3u);
    EXPECT_EQ(l.raw.one("SELECT path FROM mount_points"), r + "/Drive");

    auto offlineOnDrive = [&] {
        return l.catalog.isOffline(r + "/Drive/a.wav") && l.catalog.isOffline(r + "/Drive/Sub/b.wav") &&
               !l.catalog.isOffline(r + "/top.wav");
    };
    drive.unmount();
    l.scan();  // the folder left empty
    EXPECT_EQ(l.paths().size(), 3u);
    EXPECT_TRUE(offlineOnDrive());
    l.put("Drive/underneath.wav");  // a file of its own below the mount
    l.scan();
    EXPECT_EQ(l.paths().size(), 4u);
    EXPECT_TRUE(offlineOnDrive());
    EXPECT_FALSE(l.catalog.isOffline(r + "/Drive/underneath.wav"));
    fs::remove_all(l.lib / "Drive");  // the folder gone with the drive
    l.scan();
    EXPECT_EQ(l.paths().size(), 4u);
    EXPECT_TRUE(offlineOnDrive());
    EXPECT_TRUE(l.catalog.isOffline(r + "/Drive/underneath.wav"));
    EXPECT_EQ(l.raw.one("SELECT path FROM mount_points"), r + "/Drive");

    fs::create_directories(l.lib / "Drive");
    drive.mount();
    ASSERT_TRUE(drive.mounted()) << drive.refused();
    for (const std::string& f : onDrive) l.put(f);
    l.scan();
    // What lay below the mount is hidden by it again: known gone.
    EXPECT_EQ(l.paths().size(), 3u);
    EXPECT_FALSE(l.catalog.isOffline(r + "/Drive/a.wav"));
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM offline_files"), "0");
    // Gone from a drive that is there: gone.
    fs::remove(l.lib / "Drive/a.wav");
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/Drive/Sub/b.wav", r + "/top.wav"}));
}

// A root that is itself a mount point, unmounted over a folder that holds
// other files: its rows wait offline.
TEST(LibraryScanner, ARootThatIsAnUnmountedMountPointKeepsItsRowsOffline) {
    Library l;
    TmpfsMount drive(l.lib);
    if (!drive.mounted()) GTEST_SKIP() << drive.refused();
    l.put("a.wav");
    l.scan();
    const std::string r = l.root();
    drive.unmount();
    l.put("below the mount.wav");
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/a.wav", r + "/below the mount.wav"}));
    EXPECT_TRUE(l.catalog.isOffline(r + "/a.wav"));
    EXPECT_FALSE(l.catalog.isOffline(r + "/below the mount.wav"));
}

// Restores the real mount tables however a test ends.
struct MountTablesGuard {
    ~MountTablesGuard() {
        Volumes::setMountInfoPath({});
        Volumes::setFstabPath({});
    }
};

// Mount points no scan saw mounted, as in the first scan of a catalog made
// before mount points were kept or rebuilt after damage: one the system is
// told to mount (fstab) and one the kernel's table lists mounted now (a bind
// mount of a folder of the same device, which the walk cannot tell from a
// folder). Not mounted, each keeps its rows offline, empty or gone.
TEST(LibraryScanner, MountPointsTheMountTablesNameKeepTheirRowsOffline) {
    MountTablesGuard guard;
    Library l;
    l.put("top.wav");
    l.put("Field Drive/a.wav");
    l.put("Field Drive/Sub/b.wav");
    l.put("Bound/c.wav");
    const std::string r = l.root();
    writeBytes(l.dir / "fstab", "# <file system> <mount point> <type> <options> <dump> <pass>\n"
                                "UUID=1234 / ext4 errors=remount-ro 0 1\n"
                                "/dev/sdb1 none swap sw 0 0\n"
                                "\n"
                                "LABEL=Field\t" + r + "/Field\\040Drive\tvfat\tnoauto,user 0 0\n");
    Volumes::setFstabPath(l.dir / "fstab");
    const std::string mounted = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                "40 22 8:1 /srv/c " + r + "/Bound rw - ext4 /dev/sda1 rw\n";
    writeBytes(l.dir / "mountinfo", mounted);
    Volumes::setMountInfoPath(l.dir / "mountinfo");
    l.scan();
    ASSERT_EQ(l.paths().size(), 4u);
    EXPECT_EQ(l.raw.one("SELECT path FROM mount_points"), r + "/Bound") << "mounted now, so known";

    // Unplugged: the folder left empty, the bind mount gone from the table.
    fs::rename(l.lib / "Field Drive", l.dir / "On the drive");
    fs::create_directories(l.lib / "Field Drive");
    writeBytes(l.dir / "mountinfo", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    fs::rename(l.lib / "Bound", l.dir / "Bound away");
    l.scan();
    EXPECT_EQ(l.paths().size(), 4u);
    EXPECT_TRUE(l.catalog.isOffline(r + "/Field Drive/a.wav"));
    EXPECT_TRUE(l.catalog.isOffline(r + "/Field Drive/Sub/b.wav"));
    EXPECT_TRUE(l.catalog.isOffline(r + "/Bound/c.wav"));
    EXPECT_FALSE(l.catalog.isOffline(r + "/top.wav"));

    // Back: live, nothing read again.
    fs::remove(l.lib / "Field Drive");
    fs::rename(l.dir / "On the drive", l.lib / "Field Drive");
    fs::rename(l.dir / "Bound away", l.lib / "Bound");
    writeBytes(l.dir / "mountinfo", mounted);
    l.scan();
    EXPECT_EQ(l.reports.front().candidates, 0);
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM offline_files"), "0");

    // A folder no table names, emptied: its files are gone.
    Volumes::setFstabPath(l.dir / "no fstab");
    fs::rename(l.lib / "Field Drive", l.dir / "On the drive");
    fs::create_directories(l.lib / "Field Drive");
    l.scan();
    EXPECT_EQ(l.paths(), (std::vector<std::string>{r + "/Bound/c.wav", r + "/top.wav"}));
}

// A scan stopped while it walks deletes nothing, and one stopped between
// batches keeps the batches it wrote; the next scan does the rest.
TEST(LibraryScanner, AStoppedScanDeletesNothingAndTheNextOneFinishes) {
    Library l;
    for (int i = 0; i < 600; ++i) l.put(fmt::format("{}/take {}.wav", "ABC"[i % 3], i));
    l.scan();
    ASSERT_EQ(l.count(), "600");
    const std::string r = l.root();

    // B's files are deleted; the walk is stopped after it listed the root and A.
    for (int i = 1; i < 600; i += 3) fs::remove(l.lib / fmt::format("B/take {}.wav", i));
    int asked = 0;
    LibraryScanner::Outcome out = LibraryScanner::scan(l.lib.string(), l.catalog, {}, [&] { return ++asked > 2; });
    EXPECT_TRUE(out.stopped);
    EXPECT_EQ(out.totals, LibraryScanner::Progress{});
    EXPECT_EQ(l.count(), "600") << "a walk that saw part of the root says nothing of the rest";
    EXPECT_EQ(l.raw.one("SELECT COUNT(*) FROM offline_files"), "0");
    l.scan();
    EXPECT_EQ(l.count(), "400");

    // 1,000 new files, stopped after the first batch was written.
    for (int i = 0; i < 1000; ++i) l.put(fmt::format("New/take {}.wav", i));
    fs::remove(l.lib / "A/take 0.wav");
    std::vector<LibraryScanner::Progress> reports;
    out = LibraryScanner::scan(
        l.lib.string(), l.catalog, [&](const LibraryScanner::Progress& p) { reports.push_back(p); },
        [&] { return !reports.empty() && reports.back().written > 0; });
    EXPECT_TRUE(out.stopped);
    EXPECT_EQ(out.totals.candidates, 1000);
    EXPECT_EQ(out.totals.written, 256);
    EXPECT_EQ(out.totals.removed, 0);
    EXPECT_EQ(l.count(), "656");
    EXPECT_TRUE(l.catalog.row(r + "/A/take 0.wav")) << "not deleted by a stopped scan";
    l.scan();
    EXPECT_EQ(l.reports.back(), (LibraryScanner::Progress{.found = 1399, .candidates = 744, .written = 744, .removed = 1}));
    EXPECT_EQ(l.count(), "1399");
}

// Another program holding the catalog's write lock: a short hold is waited
// for; one held past the time-out is reported as files not written, and
// nothing is written or deleted.
TEST(LibraryScanner, ALockedCatalogIsWaitedForOrReported) {
    Library l;
    for (int i = 0; i < 300; ++i) l.put(fmt::format("take {}.wav", i));
    l.raw.exec("BEGIN IMMEDIATE");
    int waits = 0;
    l.catalog.setBusyObserver([&] {
        if (waits++ == 0) l.raw.exec("COMMIT");
    });
    l.reports.clear();
    LibraryScanner::Outcome outcome = LibraryScanner::scan(l.lib.string(), l.catalog);
    EXPECT_GE(waits, 1);
    EXPECT_EQ(outcome.totals.written, 300);
    EXPECT_EQ(outcome.totals.failed, 0);
    EXPECT_EQ(outcome.failure, std::nullopt);
    EXPECT_EQ(l.count(), "300");

    for (int i = 0; i < 300; ++i) setMtime(l.lib / fmt::format("take {}.wav", i), {1600000000, i});
    fs::remove(l.lib / "take 0.wav");
    l.catalog.setBusyObserver({});
    l.catalog.setBusyTimeout(std::chrono::milliseconds(20));
    l.raw.exec("BEGIN IMMEDIATE");
    outcome = LibraryScanner::scan(l.lib.string(), l.catalog);
    l.raw.exec("COMMIT");
    EXPECT_EQ(outcome.totals.written, 0);
    EXPECT_EQ(outcome.totals.removed, 0);
    EXPECT_EQ(outcome.totals.failed, 300);  // 299 rows to update, 1 to delete
    EXPECT_EQ(outcome.failure, "database is locked");
    EXPECT_EQ(l.count(), "300");
    EXPECT_NE(l.catalog.stamps(l.root())[l.root() + "/take 1.wav"].mtime, 1600000000.000000001);

    // Once the lock is gone the next scan does it all.
    outcome = LibraryScanner::scan(l.lib.string(), l.catalog);
    EXPECT_EQ(outcome.totals.written, 299);
    EXPECT_EQ(outcome.totals.removed, 1);
    EXPECT_EQ(outcome.totals.failed, 0);
}

// What the catalog keeps for a file (a colleague's edit) is laid over the
// file's own metadata each time it is catalogued again: after a touch, and
// after another program rewrote its chunks.
TEST(LibraryScanner, RecataloguedFilesKeepTheEditsKeptForThem) {
    Library l;
    const fs::path file = l.put("a.wav");
    l.scan();
    const std::string path = l.root() + "/a.wav";
    l.catalog.transaction([&] {
        l.catalog.keepEdits(path, {{"DESCRIPTION", "from bob"}}, 4, 1700000000, "bob@b");
    });
    setMtime(file, plusNanos(mtimeOf(file), 5000000));
    l.scan();
    ASSERT_EQ(l.reports.front().candidates, 1);
    EXPECT_EQ(l.catalog.row(path)->meta().description, "from bob");
    EXPECT_EQ(l.catalog.row(path)->meta().rating, 4);

    SoundMeta elsewhere;
    elsewhere.description = "another program's";
    elsewhere.notes = "its notes";
    RIFFMeta::write(elsewhere, file);
    l.scan();
    const SoundMeta meta = l.catalog.row(path)->meta();
    EXPECT_EQ(meta.description, "from bob");
    EXPECT_EQ(meta.notes, "its notes");
    EXPECT_EQ(meta.rating, 4);
}

// A file catalogued by someone else while the scan read it (a save, a
// rename carrying its record) keeps that row when it has the stamps the
// walk saw; a row with other stamps is brought up to date.
TEST(LibraryScanner, ARowWrittenMeanwhileForTheSameFileIsKept) {
    Library l;
    const fs::path moved = l.put("DOORWood_Slam.wav");
    const fs::path stale = l.put("stale.wav");
    SoundMeta kept;
    kept.description = "only in the catalog";
    struct stat st {};
    ASSERT_EQ(::lstat(moved.c_str(), &st), 0);
    bool written = false;
    LibraryScanner::scan(l.lib.string(), l.catalog, [&](const LibraryScanner::Progress& p) {
        if (written || p.candidates != 2) return;
        written = true;
        put(l.catalog, l.root() + "/DOORWood_Slam.wav", l.root(), kept, std::nullopt, st.st_size,
            static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec * 1e-9);
        put(l.catalog, l.root() + "/stale.wav", l.root(), kept, std::nullopt, 1, 1);
    });
    ASSERT_TRUE(written);
    EXPECT_EQ(l.catalog.row(l.root() + "/DOORWood_Slam.wav")->meta().description, "only in the catalog");
    EXPECT_EQ(l.catalog.row(l.root() + "/stale.wav")->meta().description, "");
    EXPECT_EQ(l.catalog.row(l.root() + "/stale.wav")->sampleRate, 48000);
}

// Searches and facets on another thread see a scan only batch by batch:
// the total under the root is 0, a multiple of 256, or the final count.
TEST(LibraryScanner, ScanAndSearchAtOnce) {
    Library l;
    constexpr int kFiles = 5000;
    const std::string bytes = wavBytes();
    for (int i = 0; i < kFiles; ++i) l.put(fmt::format("Folder {}/fx{:04}.wav", i % 50, i), bytes);
    const std::string r = l.root();

    std::atomic<bool> done{false};
    std::vector<int64_t> totals, hits;
    double longestMs = 0;
    // Each call waits for the batch being written, if any, then runs.
    auto timed = [&](auto call) {
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        longestMs = std::max(
            longestMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        return result;
    };
    std::thread reader([&] {
        while (!done.load()) {
            totals.push_back(timed([&] { return l.catalog.facets({r}).total; }));
            hits.push_back(timed([&] {
                return static_cast<int64_t>(l.catalog.search({.query = "fx", .roots = {r}}, kFiles).size());
            }));
            timed([&] { return l.catalog.facets({}).total; });
        }
    });
    l.scan();
    done = true;
    reader.join();

    EXPECT_EQ(l.count(), std::to_string(kFiles));
    ASSERT_FALSE(totals.empty());
    for (const std::vector<int64_t>* seen : {&totals, &hits})
        for (int64_t n : *seen) EXPECT_TRUE(n == kFiles || n % 256 == 0) << n;
    std::cout << "search rounds during the scan: " << totals.size() << ", longest search or facets call: "
              << longestMs << " ms\n";
    ::testing::Test::RecordProperty("longest_search_ms", fmt::format("{:.1f}", longestMs));
}

TEST(WorkerPool, RunsEveryIndexOnceRoundAfterRound) {
    WorkerPool pool(4);
    for (size_t count : {1u, 3u, 256u, 1000u, 0u, 7u}) {
        std::vector<std::atomic<int>> hits(count);
        pool.run(count, [&](size_t i) { hits[i]++; });
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(hits[i].load(), 1) << count << " " << i;
    }
    EXPECT_GE(WorkerPool::coreCount(), 1u);
}

// Reads run ahead of the writes, never waiting for the catalog's lock, by
// four batches at most; the writes keep their 256-file transactions.
TEST(LibraryScanner, ReadsRunAheadOfTheWritesByFourBatches) {
    ListingSeamGuard guard;
    Library l;
    const std::string bytes = wavBytes();
    for (int i = 0; i < 1500; ++i) l.put(fmt::format("F{}/s{:04}.wav", i % 5, i), bytes);
    OpenWatch watch;
    watch.add(l.lib, true);

    // Once the scan has its stamps, someone else holds the catalog.
    std::mutex mutex;
    std::condition_variable cv;
    bool walking = false, holding = false, release = false;
    LibraryScanner::setListingFailure([&](const std::string&) {
        std::unique_lock lock(mutex);
        walking = true;
        cv.notify_all();
        cv.wait(lock, [&] { return holding; });
        return false;
    });
    std::thread holder([&] {
        {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return walking; });
        }
        l.catalog.transaction([&] {
            std::unique_lock lock(mutex);
            holding = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
    });
    std::thread scanning([&] { l.scan(); });
    std::set<std::string> read;
    const auto end = std::chrono::steady_clock::now() + timeout(std::chrono::seconds(60));
    while (read.size() < 1024 && std::chrono::steady_clock::now() < end) {
        for (const std::string& p : watch.opened()) read.insert(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Nothing past the window, however long the writer waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const std::string& p : watch.opened()) read.insert(p);
    EXPECT_EQ(read.size(), 1024u);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    holder.join();
    scanning.join();
    EXPECT_EQ(l.batches(), (std::vector<int64_t>{256, 256, 256, 256, 256, 220}));
    EXPECT_EQ(l.count(), "1500");
}
