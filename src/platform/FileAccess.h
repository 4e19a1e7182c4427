// File-system services the models and the engine need beyond reading audio:
// whether a folder may be written (the file manager's writability test of
// its path), and files that appear whole or not at all.
//
// Every file the system writes for the user goes through a TemporaryFile:
// a hidden file ".<name>.<16 hex>.qm-tmp" beside its target, created with
// O_CREAT|O_EXCL|O_NOFOLLOW (no planted link or file of that name is ever
// opened, and two writers of one target never share a temporary) and with
// the permission bits of the file it replaces (never wider: readable by
// no one that file keeps out, from before its first byte), locked (flock)
// while its writer lives, put on disk (fsync) and only then renamed to its
// final name, after which the folder is synced too. A failed write
// removes it; the old file stays as it was. Names stay within the file
// system's name limit: the target's part of a temporary name is shortened
// (at a UTF-8 boundary) where it has to be.
//
// Replacing a file keeps what the user set on it: the permission bits, and
// the owner and group where the process may set them, go onto the new file
// before the rename. Where the target's name is a symbolic link to a
// regular file, AtLink::follow writes the file it leads to and the link
// stays; AtLink::replace (names the system makes itself, in folders others
// may share) puts the new file in the link's place and never writes
// through it.
//
// A process killed while writing leaves its temporary behind. Creating a
// temporary removes the stale ones of ours in the same folder (and the
// library scanner those of the folders it lists): regular files (never
// links) with our name pattern, owned by this user, that no writer holds
// locked; on network file systems, whose locks other machines may not see,
// only those also untouched for kStaleAfter.
//
// Errors are AppError kWriteFailed naming the target (never the temporary)
// and the system's reason.
//
// Any thread; a TemporaryFile belongs to one thread at a time.
// setWritableCheck belongs to test set-up.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/AppError.h"

namespace qm::FileAccess {

// Code of the AppError thrown when a file cannot be written (the same code
// the WAV writer uses for that failure).
inline constexpr int kWriteFailed = kFileWriteFailed;

// The end of every temporary name.
inline constexpr std::string_view kTemporarySuffix = ".qm-tmp";
// On a network file system, a temporary of ours this long untouched, with
// no writer holding it, was left by a process that died.
inline constexpr std::chrono::seconds kStaleAfter{600};

// True when the folder exists and the process may create files in it.
bool isWritable(const std::filesystem::path& folder);

// Whether the open file or folder `fd` lies on a network file system (NFS,
// SMB, FUSE, Ceph, AFS, 9P, Coda): one that other machines, or a server
// process, share, whose locks may be kept to one client, and which may copy
// on its server.
bool onNetworkFileSystem(int fd);

// Removes the temporaries of ours in `folder` that no live writer holds
// (on a network file system only those also untouched for kStaleAfter).
void removeStaleTemporaries(const std::filesystem::path& folder);
// The same for one entry `name` of the open folder `dirFd`, for callers
// listing the folder anyway; any other name is left alone at once.
void removeIfStaleTemporary(int dirFd, const char* name);

// Replaces the test isWritable() makes; an empty function restores the real one.
void setWritableCheck(std::function<bool(const std::filesystem::path&)> check);

// What a replacing write does when the target's name is a symbolic link.
enum class AtLink {
    replace,  // the new file takes the link's place
    follow,   // the regular file the link leads to is replaced; the link stays
};

// The regular file a symbolic link at `path` (or a chain of them) leads to;
// `path` itself when it is no link, or when the link leads nowhere or to
// something other than a regular file.
std::filesystem::path resolveLink(const std::filesystem::path& path);

// The longest file name the folder's file system takes (255 where it cannot
// be asked).
size_t nameMax(const std::filesystem::path& folder);

// The longest start of `name` of at most `bytes` bytes that splits no UTF-8
// character: how names are shortened to fit nameMax.
std::string cutName(const std::string& name, size_t bytes);

class TemporaryFile {
public:
    // Removes stale temporaries of ours in the target's folder, then creates
    // a fresh hidden temporary there, open for writing, with the existing
    // target's permission bits. Throws kWriteFailed.
    explicit TemporaryFile(const std::filesystem::path& target);
    // Removes the temporary unless it took its name.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // The open descriptor, positioned at 0; it closes with this object.
    int fd() const { return fd_; }
    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& target() const { return target_; }
    // The target's file name, the name errors give.
    std::string displayName() const { return target_.filename().string(); }

    // Puts the file on disk, carries the existing target's permission bits
    // and owner over, renames it to the target (replacing it) and syncs the
    // folder. On failure the temporary is removed and the target stays.
    void replaceTarget();
    // Puts the file on disk and gives it the target's name or, when that is
    // taken, the first free one of "<stem> 2<ext>", "<stem> 3<ext>", ...
    // (the stem shortened where the name would pass the limit); an existing
    // file is never replaced. Returns the name it took.
    std::filesystem::path nameWithoutReplacing();

private:
    void sync();
    void syncFolder();

    std::filesystem::path target_, path_;
    int fd_ = -1;
    bool named_ = false;
};

// Calls `write` with a TemporaryFile beside `target` (resolved first with
// AtLink::follow), then replaces `target` with it. When `write` throws or
// the replacement fails, the temporary is removed, `target` is left as it
// was and the error propagates.
void writeThroughTemporary(const std::filesystem::path& target,
                           const std::function<void(TemporaryFile& file)>& write,
                           AtLink links = AtLink::replace);

// Writes bytes to `target` through a temporary file; creates no folders.
// Throws AppError kWriteFailed with the file name and the system's reason.
void writeText(const std::filesystem::path& target, std::string_view bytes);

// Writes all of `size` bytes at the descriptor's position (EINTR retried);
// false with errno set when the system refuses.
bool writeAll(int fd, const void* data, size_t size);

// Gives the item at `from` the name `to` only when nothing has that name:
// renameat2 RENAME_NOREPLACE, or on a file system without the flag a hard
// link (which refuses an existing name too) and the unlink of `from`. The
// check and the move are one step, so an item that appears at `to` in the
// meantime is never replaced. False with errno set (EEXIST for a taken
// name); nothing moved then.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// How setAside keeps a file: moved to the new name, or left where it is
// with the new name a second link to it (a write that then replaces the
// file through a temporary leaves the kept one as it was).
enum class Aside { move, link };
// Keeps `file` beside itself as "<name>.<word>-<date>" (the local date,
// "Catalog.sqlite.damaged-2025-01-31"), then "...-2", "...-3" while the
// name is taken, never over another item. The name it took; nothing with
// errno set when it could not (EEXIST: no free name). A file system
// without hard links gets a copy instead of a link.
std::optional<std::filesystem::path> setAside(const std::filesystem::path& file, std::string_view word, Aside how);

}  // namespace qm::FileAccess
