// The user-defaults store: small named values kept between runs in one
// INI file under the user's configuration folder, in the form QSettings
// reads and writes (so files of earlier versions read the same), read and
// written by code of our own so that whatever stands at the file's name
// costs nothing:
// - the file is read only when it is a regular file (a symbolic link to one
//   is followed), opened without blocking; a FIFO, a folder, a device or a
//   socket there leaves the store empty, is never opened for writing, and
//   problem() says so; the odd entry stays as it is;
// - a value over kMaxValueBytes is refused at read, without being held in
//   memory whole (its key reads as absent, and problem() names it); the
//   rest of the file is read as usual;
// - every write replaces the whole file through a temporary
//   (FileAccess::writeThroughTemporary): a symbolic link to a regular file
//   stays and its target is replaced; nothing is ever written through a
//   link to anything else;
// - a file that was not read whole (a value refused, a read that failed)
//   is kept beside it as it is, "<name>.unread-<date>", before the first
//   write replaces it; a write that cannot keep it writes nothing.
//
// Like QSettings, a store reads the file again when it changed since it
// last read or wrote it (another store, another run), and a write puts its
// change on top of what the file holds then.
//
// Main thread only. The store of the running application is standard();
// tests make one over a file of their own so the user's settings are never
// touched, and may subclass it to watch the writes.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace qm {

class UserDefaults {
public:
    static constexpr qsizetype kMaxValueBytes = 1 << 20;

    // An INI file at `path`, read now; created (with its folder) on the
    // first write.
    explicit UserDefaults(const QString& path);
    virtual ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The store of the application's organisation and name:
    // "<configuration folder>/<organisation>/<application>.conf".
    static std::shared_ptr<UserDefaults> standard();

    // The data value under `key`, or nothing when there is none.
    virtual std::optional<QByteArray> data(const QString& key) const;
    // Stores `value` under `key` and writes the file; false when it could
    // not be written (the value is kept for this run all the same).
    virtual bool setData(const QString& key, const QByteArray& value);
    // Removes the value under `key` (nothing when there is none) and writes
    // the file; false when it could not be written.
    virtual bool removeValue(const QString& key);

    // Why the file was not read, or not read whole, in a sentence for the
    // user; empty when it was.
    const QString& problem() const { return problem_; }
    // Why the last write failed; empty after a write that succeeded.
    const QString& writeError() const { return writeError_; }
    // Where the file not read whole was kept before a write replaced it.
    const std::optional<std::filesystem::path>& keptCopy() const { return kept_; }
    // Called right after the file is kept (whoever writes).
    void setKeptObserver(std::function<void()> observer) { keptObserver_ = std::move(observer); }

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{};
        bool operator==(const Stamp& o) const {
            return device == o.device && inode == o.inode && size == o.size &&
                   modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
        }
    };
    // The file as it stands now (size -1: nothing there).
    Stamp stamp() const;
    // Reads the file again when it is no longer the one last read or written.
    void refresh() const;
    void read() const;
    bool write();

    std::filesystem::path path_;
    mutable std::map<QString, QByteArray> values_;
    mutable QString problem_;
    mutable Stamp seen_;
    // The file read was not read whole: keep it before replacing it.
    mutable bool keep_ = false;
    std::optional<std::filesystem::path> kept_;
    std::function<void()> keptObserver_;
    QString writeError_;
};

}  // namespace qm
