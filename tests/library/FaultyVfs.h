// A SQLite file system of the tests' own over the default one, whose writes
// fail on demand: the Nth write from when it is armed (or that one and
// every later one) returns a chosen code, and the system's error SQLite
// asks for from then on (sqlite3_system_errno) is a chosen one, as errno
// keeps the last failure's code. So a disk that
// fills, or fails, at any write of a transaction can be had at will: in
// the middle of a body (the page cache spilling into the journal) as well
// as at its COMMIT.
//
// It is the default file system while it lives, so a catalog opened
// meanwhile reads and writes through it. Any thread.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>

namespace qm::test {

class FaultyVfs {
public:
    FaultyVfs() {
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
        vfs_.zName = "faulty";
        vfs_.pAppData = this;
        vfs_.pNext = nullptr;
        vfs_.xOpen = &FaultyVfs::open;
        vfs_.xGetLastError = &FaultyVfs::lastError;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~FaultyVfs() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
    }
    FaultyVfs(const FaultyVfs&) = delete;
    FaultyVfs& operator=(const FaultyVfs&) = delete;

    // The `nth` write from now on (1: the next one) fails with `code`, the
    // system's error being `systemError`; with `always`, every later one too.
    void failAt(int64_t nth, int code, int systemError, bool always = false) {
        code_ = code;
        systemError_ = systemError;
        always_ = always;
        fired_ = false;
        lastError_ = 0;
        writes_ = 0;
        failAt_ = nth;
    }
    void lift() { failAt_ = 0; }
    // Writes since the last failAt (or since it was made).
    int64_t writes() const { return writes_; }
    // Whether a write failed since the last failAt.
    bool fired() const { return fired_; }

private:
    struct File {
        sqlite3_file base;
        sqlite3_file* real;
        FaultyVfs* owner;
    };

    static sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

    static int write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
        FaultyVfs& self = *reinterpret_cast<File*>(f)->owner;
        const int64_t n = ++self.writes_;
        const int64_t at = self.failAt_;
        if (at > 0 && (n == at || (self.always_ && n > at))) {
            self.fired_ = true;
            self.lastError_ = self.systemError_.load();
            return self.code_;
        }
        return real(f)->pMethods->xWrite(real(f), data, amount, offset);
    }

    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
        static const sqlite3_io_methods methods = {
            3,
            [](sqlite3_file* f) {
                sqlite3_file* r = real(f);
                return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
            },
            [](sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
                return real(f)->pMethods->xRead(real(f), data, amount, offset);
            },
            &FaultyVfs::write,
            [](sqlite3_file* f, sqlite3_int64 size) { return real(f)->pMethods->xTruncate(real(f), size); },
            [](sqlite3_file* f, int flags) { return real(f)->pMethods->xSync(real(f), flags); },
            [](sqlite3_file* f, sqlite3_int64* size) { return real(f)->pMethods->xFileSize(real(f), size); },
            [](sqlite3_file* f, int lock) { return real(f)->pMethods->xLock(real(f), lock); },
            [](sqlite3_file* f, int lock) { return real(f)->pMethods->xUnlock(real(f), lock); },
            [](sqlite3_file* f, int* out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); },
            [](sqlite3_file* f, int op, void* arg) { return real(f)->pMethods->xFileControl(real(f), op, arg); },
            [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); },
            [](sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); },
            [](sqlite3_file* f, int region, int size, int extend, void volatile** out) {
                return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
            },
            [](sqlite3_file* f, int offset, int n, int flags) {
                return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
            },
            [](sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); },
            [](sqlite3_file* f, int deleteFlag) { return real(f)->pMethods->xShmUnmap(real(f), deleteFlag); },
            [](sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
                return real(f)->pMethods->xFetch(real(f), offset, amount, out);
            },
            [](sqlite3_file* f, sqlite3_int64 offset, void* p) {
                return real(f)->pMethods->xUnfetch(real(f), offset, p);
            },
        };
        auto& self = *static_cast<FaultyVfs*>(vfs->pAppData);
        File* file = reinterpret_cast<File*>(f);
        file->real = reinterpret_cast<sqlite3_file*>(file + 1);
        file->owner = &self;
        const int rc = self.real_->xOpen(self.real_, name, file->real, flags, outFlags);
        // A file that did not open is not closed by SQLite.
        file->base.pMethods = file->real->pMethods ? &methods : nullptr;
        return rc;
    }

    static int lastError(sqlite3_vfs* vfs, int n, char* text) {
        auto& self = *static_cast<FaultyVfs*>(vfs->pAppData);
        if (const int injected = self.lastError_) return injected;
        return self.real_->xGetLastError(self.real_, n, text);
    }

    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    std::atomic<int64_t> writes_{0};
    std::atomic<int64_t> failAt_{0};
    std::atomic<int> code_{SQLITE_OK};
    std::atomic<int> systemError_{0};
    std::atomic<bool> always_{false};
    std::atomic<bool> fired_{false};
    std::atomic<int> lastError_{0};
};

}  // namespace qm::test
