#include "platform/FileAccess.h"

#include "platform/AppError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/SyncLog.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t modeOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return st.st_mode & 07777;
}

// Moves a file's modification time back by `seconds`.
void age(const fs::path& file, int seconds) {
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec - seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

bool isTemporary(const std::string& name) { return name.starts_with(".") && name.ends_with(".qm-tmp"); }

}  // namespace

TEST(FileAccess, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    test::TempDir dir;
    const auto target = dir / "notes.txt";
    FileAccess::writeText(target, "first");
    EXPECT_THROW(FileAccess::writeThroughTemporary(target,
                                                   [](FileAccess::TemporaryFile& file) {
                                                       ASSERT_TRUE(FileAccess::writeAll(file.fd(), "half", 4));
                                                       throw AppError(63, "disk full");
                                                   }),
                 AppError);
    EXPECT_THROW(FileAccess::writeText(target / "x.txt", "x"), AppError);
    EXPECT_EQ(test::readBytes(target), "first");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"notes.txt"});
    EXPECT_FALSE(FileAccess::isWritable(target)) << "a file is not a folder";
}

// Links planted where a temporary might be made (the names an older scheme
// of process id and counter gave, and the one fixed name ".<name>.qm-tmp")
// are never written through: the files they lead to stay as they were.
TEST(FileAccess, ALinkPlantedAtATemporaryNameIsNeverWrittenThrough) {
    test::TempDir dir;
    const auto victim = dir / "victim.txt";
    test::writeBytes(victim, "precious");
    std::vector<fs::path> links = {dir / ".notes.txt.qm-tmp"};
    for (int n = 0; n < 64; ++n)
        links.push_back(dir / (".notes.txt." + std::to_string(::getpid()) + "-" + std::to_string(n) + ".tmp"));
    for (const auto& link : links) fs::create_symlink(victim, link);

    for (int i = 0; i < 8; ++i) FileAccess::writeText(dir / "notes.txt", "new " + std::to_string(i));
    EXPECT_EQ(test::readBytes(victim), "precious");
    EXPECT_EQ(test::readBytes(dir / "notes.txt"), "new 7");
    for (const auto& link : links) EXPECT_TRUE(fs::is_symlink(link)) << link;

    // Two temporaries of one target at once are two files.
    FileAccess::TemporaryFile a(dir / "notes.txt"), b(dir / "notes.txt");
    EXPECT_NE(a.path(), b.path());
    EXPECT_TRUE(isTemporary(a.path().filename().string())) << a.path();
}

// Names up to the 255-byte limit are written, and a taken one of that length
// gets its number by a shorter stem, never by passing the limit; a cut never
// splits a character.
TEST(FileAccess, NamesUpToTheLimitAreWritten) {
    test::TempDir dir;
    const std::string three = "\u266B";  // three bytes
    for (size_t length : {241u, 250u, 255u}) {
        SCOPED_TRACE(length);
        const std::string name = std::string(length - 4 - 2 * three.size(), 'a') + three + three + ".txt";
        ASSERT_EQ(name.size(), length);
        FileAccess::writeText(dir / name, "long");
        EXPECT_EQ(test::readBytes(dir / name), "long");
    }
    const std::string stem = std::string(248, 'b') + three;  // 251 bytes
    FileAccess::writeText(dir / (stem + ".txt"), "taken");
    fs::path named;
    {
        FileAccess::TemporaryFile file(dir / (stem + ".txt"));
        ASSERT_TRUE(FileAccess::writeAll(file.fd(), "second", 6));
        named = file.nameWithoutReplacing();
    }
    EXPECT_EQ(named.filename().string(), std::string(248, 'b') + " 2.txt");
    EXPECT_EQ(test::readBytes(named), "second");
    EXPECT_EQ(test::readBytes(dir / (stem + ".txt")), "taken");
    for (const auto& name : namesIn(dir.path())) EXPECT_FALSE(isTemporary(name)) << name;
}

// Replacing a file keeps its permission bits and, where the process may set
// them (as root), its owner and group.
TEST(FileAccess, ReplacingAFileKeepsItsModeAndOwner) {
    test::TempDir dir;
    const auto target = dir / "mix.wav";
    test::writeBytes(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    FileAccess::writeText(target, "new");
    EXPECT_EQ(test::readBytes(target), "new");
    EXPECT_EQ(modeOf(target), 0640u);

    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    FileAccess::writeText(target, "newer");
    EXPECT_EQ(modeOf(target), 0604u);

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 4321, 4322), 0);
        ASSERT_EQ(::chmod(target.c_str(), 0660), 0);
        FileAccess::writeText(target, "theirs");
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
        EXPECT_EQ(st.st_mode & 07777, 0660u);
    }
}

// A temporary is as private as the file it replaces before its first byte:
// the check runs with no umask, which would otherwise hide a wide mode.
TEST(FileAccess, ATemporaryIsNeverWiderThanItsTarget) {
    test::TempDir dir;
    const mode_t oldMask = ::umask(0);
    struct Restore {
        mode_t mask;
        ~Restore() { ::umask(mask); }
    } restore{oldMask};
    const auto target = dir / "private.wav";
    for (const mode_t mode : {0600, 0640, 0400, 0604, 0755}) {
        SCOPED_TRACE(mode);
        test::writeBytes(target, "old");
        ASSERT_EQ(::chmod(target.c_str(), mode), 0);
        mode_t seen = 07777;
        FileAccess::writeThroughTemporary(target, [&](FileAccess::TemporaryFile& file) {
            struct stat st {};
            ASSERT_EQ(::fstat(file.fd(), &st), 0);
            EXPECT_EQ(st.st_size, 0);
            seen = st.st_mode & 07777;
            FileAccess::writeAll(file.fd(), "new", 3);
            EXPECT_EQ(modeOf(file.path()), seen) << "the name says the same";
        });
        EXPECT_EQ(seen, mode);
        EXPECT_EQ(modeOf(target), mode);
        EXPECT_EQ(test::readBytes(target), "new");
    }
    // A new file: what the umask allows, as any file the process makes.
    ::umask(022);
    FileAccess::writeThroughTemporary(dir / "new.wav", [&](FileAccess::TemporaryFile& file) {
        EXPECT_EQ(modeOf(file.path()), 0644u);
    });
    // The set-id bits come only with the rename, once the owner is settled.
    test::writeBytes(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 04750), 0);
    FileAccess::writeThroughTemporary(target, [&](FileAccess::TemporaryFile& file) {
        EXPECT_EQ(modeOf(file.path()), 0750u & ~0022u);
    });
    EXPECT_EQ(modeOf(target), 04750u);
}

// A link the user names stays a link when written with AtLink::follow, and
// the file it leads to takes the bytes; AtLink::replace puts a file in the
// link's place and leaves the file it led to alone. A link that leads
// nowhere is never followed.
TEST(FileAccess, LinksAtTheTargetAreFollowedOnlyWhenAsked) {
    test::TempDir dir;
    fs::create_directories(dir / "library");
    test::writeBytes(dir / "library/real.wav", "old");
    fs::create_symlink("library/real.wav", dir / "link.wav");
    const auto writeThrough = [](const fs::path& target, std::string bytes, FileAccess::AtLink links) {
        FileAccess::writeThroughTemporary(
            target, [&](FileAccess::TemporaryFile& f) { ASSERT_TRUE(FileAccess::writeAll(f.fd(), bytes.data(), bytes.size())); },
            links);
    };
    writeThrough(dir / "link.wav", "followed", FileAccess::AtLink::follow);
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(test::readBytes(dir / "library/real.wav"), "followed");
    EXPECT_EQ(namesIn(dir / "library"), std::vector<std::string>{"real.wav"});

    writeThrough(dir / "link.wav", "replaced", FileAccess::AtLink::replace);
    EXPECT_FALSE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(test::readBytes(dir / "link.wav"), "replaced");
    EXPECT_EQ(test::readBytes(dir / "library/real.wav"), "followed");

    fs::create_symlink(dir / "nowhere/x.wav", dir / "dangling.wav");
    writeThrough(dir / "dangling.wav", "here", FileAccess::AtLink::follow);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_EQ(test::readBytes(dir / "dangling.wav"), "here");
}

// The bytes are synced before the rename, the folder after it, so that after
// a power loss the name holds the old file or the whole new one.
TEST(FileAccess, TheFileAndThenItsFolderAreSynced) {
    test::TempDir dir;
    const auto target = dir / "notes.txt";
    test::writeBytes(target, "old");
    std::vector<test::SyncLog::Entry> entries;
    {
        test::SyncLog log([&] { return test::readBytes(target); });
        FileAccess::writeText(target, "new");
        entries = log.entries();
    }
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(isTemporary(fs::path(entries[0].path).filename().string())) << entries[0].path;
    EXPECT_EQ(entries[0].probe, "old") << "synced before the rename";
    EXPECT_EQ(fs::path(entries[1].path), fs::canonical(dir.path()));
    EXPECT_EQ(entries[1].probe, "new") << "the folder synced after the rename";
}

// Temporaries a killed writer left behind go with the next write into their
// folder; nothing else does: not a live writer's, not a fresh one, not a
// link or a file that only looks like one, not another user's.
TEST(FileAccess, StaleTemporariesOfOursAreRemovedSafely) {
    test::TempDir dir;
    const auto target = dir / "take.wav";
    const int stale = int(FileAccess::kStaleAfter.count()) + 60;

    // A child killed while it writes.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            FileAccess::writeThroughTemporary(target, [&](FileAccess::TemporaryFile& file) {
                FileAccess::writeAll(file.fd(), "partial", 7);
                FileAccess::writeAll(ready[1], "x", 1);
                for (;;) ::pause();
            });
        } catch (...) {
        }
        ::_exit(1);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    std::vector<std::string> left = namesIn(dir.path());
    ASSERT_EQ(left.size(), 1u);
    ASSERT_TRUE(isTemporary(left[0])) << left[0];

    // What must stay: a live writer's temporary (however old), and what is
    // not a temporary of ours: other names, links, another user's files.
    FileAccess::TemporaryFile live(dir / "other.wav");
    age(live.path(), stale);
    test::writeBytes(dir / ".unlocked.wav.0123456789abcdef.qm-tmp", "left by a writer that is gone");
    test::writeBytes(dir / ".upper.wav.0123456789ABCDEF.qm-tmp", "not ours");
    test::writeBytes(dir / ".plain.wav.qm-tmp", "not ours");
    test::writeBytes(dir / "victim", "precious");
    fs::create_symlink(dir / "victim", dir / ".link.wav.0123456789abcdef.qm-tmp");
    std::vector<std::string> kept = {".upper.wav.0123456789ABCDEF.qm-tmp", ".plain.wav.qm-tmp",
                                     ".link.wav.0123456789abcdef.qm-tmp", live.path().filename().string(),
                                     "victim", "take.wav"};
    if (::geteuid() == 0) {
        test::writeBytes(dir / ".theirs.wav.fedcba9876543210.qm-tmp", "another user's");
        ASSERT_EQ(::chown((dir / ".theirs.wav.fedcba9876543210.qm-tmp").c_str(), 4321, 4321), 0);
        kept.push_back(".theirs.wav.fedcba9876543210.qm-tmp");
    }

    FileAccess::writeText(target, "whole");
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(namesIn(dir.path()), kept);
    EXPECT_EQ(test::readBytes(dir / "victim"), "precious");
    EXPECT_EQ(test::readBytes(target), "whole");
}

// A writer clearing the folder never takes another writer's fresh
// temporary for a dead one's, even in the moment before it is locked.
TEST(FileAccess, AWriterNeverLosesItsTemporaryToAnotherClearingTheFolder) {
    // In memory where the machine has it, so that the many syncs cost little.
    test::TempDir scratch;
    const fs::path dir = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") / ("qm-race-" + std::to_string(::getpid()))
                                                      : scratch / "race";
    fs::create_directories(dir);
    struct Remove {
        fs::path dir;
        ~Remove() { fs::remove_all(dir); }
    } remove{dir};
    std::atomic<bool> done{false};
    std::thread cleaner([&] {
        while (!done) FileAccess::removeStaleTemporaries(dir);
    });
    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
        try {
            FileAccess::writeText(dir / "take.wav", std::to_string(i));
        } catch (const AppError&) {
            ++failures;
        }
    }
    done = true;
    cleaner.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(test::readBytes(dir / "take.wav"), "9999");
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"take.wav"});
}

// Errors name the file the user asked for, never the hidden temporary.
TEST(FileAccess, ErrorsNameTheTarget) {
    test::TempDir dir;
    try {
        FileAccess::TemporaryFile file(dir / "missing folder" / "Door.wav");
        FAIL() << "a temporary in a missing folder";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), FileAccess::kWriteFailed);
        EXPECT_NE(std::string(e.what()).find("\"Door.wav\""), std::string::npos) << e.what();
    }
    fs::create_directories(dir / "Door.wav");  // a folder cannot be replaced by a file
    try {
        FileAccess::writeText(dir / "Door.wav", "x");
        FAIL() << "a folder replaced";
    } catch (const AppError& e) {
        EXPECT_NE(std::string(e.what()).find("\"Door.wav\""), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("qm-tmp"), std::string::npos) << e.what();
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"Door.wav"});
}

// The one-step move that never replaces: whatever is at the target when
// the move happens stays.
TEST(FileAccess, MovingWithoutReplacing) {
    qm::test::TempDir dir;
    qm::test::writeBytes(dir / "a.wav", "a");
    qm::test::writeBytes(dir / "b.wav", "b");
    EXPECT_TRUE(FileAccess::renameNoReplace(dir / "a.wav", dir / "c.wav"));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"b.wav", "c.wav"}));
    EXPECT_EQ(qm::test::readBytes(dir / "c.wav"), "a");

    errno = 0;
    EXPECT_FALSE(FileAccess::renameNoReplace(dir / "c.wav", dir / "b.wav"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(qm::test::readBytes(dir / "b.wav"), "b");
    EXPECT_EQ(qm::test::readBytes(dir / "c.wav"), "a");
    // A dangling link is an item too.
    fs::create_symlink(dir / "nowhere", dir / "link.wav");
    EXPECT_FALSE(FileAccess::renameNoReplace(dir / "c.wav", dir / "link.wav"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_FALSE(FileAccess::renameNoReplace(dir / "gone.wav", dir / "d.wav"));
    EXPECT_EQ(errno, ENOENT);
}
