// Brings the catalog in line with one library folder on disk: new and
// changed audio files are read and catalogued, unchanged ones are left
// alone, rows of files that are gone are deleted.
//
// The walk lists folders itself (openat/fdopendir, the entry's own type from
// lstat): names beginning with "." are neither catalogued nor descended,
// symbolic links are neither followed nor catalogued, and every other
// folder is descended (Linux has no package folders). A file is unchanged
// when its catalogued size equals its size and its catalogued mtime lies
// within 1 ms of its nanosecond mtime; only then is it not opened.
//
// Changed files are read on a small pool (one worker a core) by
// ScanRead::read (facts and record as AudioFileInfo::load and MetaIO::read
// give them, from one open for a WAVE, Wave64 or AIFF file), each worker
// filling only its own slot of a ring of four batches of 256. The scanning thread writes each
// batch in one catalog transaction as soon as it is read, while the workers
// read ahead (waiting only when the ring is full, never for the catalog), so
// searches and lookups of other threads run between batches and never see
// half of one. A file whose row under this
// root carries, by the time its batch is written, the very stamps the walk
// saw was catalogued meanwhile by someone who knew more (a metadata save, a
// rename moving its record, a team pull) and is left as it is.
//
// Rows are deleted only for files known to be gone from a folder that is
// really there. A file that cannot be seen keeps its row, marked offline
// (Catalog::isOffline), since the row may hold colleagues' edits that exist
// nowhere else: files below a folder that cannot be listed (drive
// unplugged, server offline), below a folder that lists only hidden items
// (the ".keep" of a mount folder), below a root that lists nothing at all
// (the empty mount folder an unmounted drive leaves behind), and below a
// mount point that is not mounted now, whether its folder is empty, holds
// other files or is gone. Mount points are the folders an earlier scan saw
// mounted (their device differed from their parent's, or the kernel's
// mount table listed them: a bind mount of the same device) and those the
// system is told to mount (/etc/fstab), so a drive unplugged before the
// first scan of a catalog loses nothing either. An offline row is live
// again once a scan sees its file.
//
// A file that is catalogued again has the edits kept for it (pulled from
// colleagues' logs) laid over what it says itself.
//
// Writes that fail are counted, never taken for done: a batch the catalog
// refuses (locked past its busy time-out, full, read-only) is written by
// no one, and the scan goes on and says how many files it could not write,
// which (the first few) and why.
//
// Paths are the file system's bytes exactly: a catalog key must lead back
// to its file, so nothing is "repaired".
//
// A scan can be stopped from another thread (Stop, asked before each
// folder is listed, every 256 entries of a listing and before each batch is
// written): it ends there, the batches written so far kept, and deletes
// nothing and marks nothing offline, since its walk did not see the whole
// root. A listing or a file read under way when the stop comes is finished
// first (a share that stopped answering holds it in the system).
//
// scan blocks its thread for the whole walk and may run on any thread, one
// scan per root at a time (the library model sees to that); canonical is
// pure apart from asking the file system.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class Catalog;

namespace LibraryScanner {

// Files read and written per transaction.
inline constexpr size_t kBatchSize = 256;
// Files a failure names at most.
inline constexpr size_t kNamedFailures = 3;
// Folders deeper than this below the root are treated as unlistable (a bind
// mount of a folder inside itself would otherwise never end).
inline constexpr int kMaxDepth = 256;

// Where a scan stands; handed to the progress callback, from the scanning
// thread, once the walk is done, after each batch's transaction and after
// the deletion of gone rows.
struct Progress {
    int64_t found = 0;       // audio files the walk saw, changed or not
    int64_t candidates = 0;  // of them new or changed
    int64_t written = 0;     // candidates written so far
    int64_t removed = 0;     // rows of gone files deleted
    int64_t failed = 0;      // files whose row the catalog refused to write or delete
    int64_t offline = 0;     // rows kept for files that cannot be seen
    bool operator==(const Progress&) const = default;
};

// What a scan came to: the last progress, and why files failed.
struct Outcome {
    Progress totals;
    std::optional<std::string> failure;  // the catalog's reason, when totals.failed > 0
    std::vector<std::string> refused;    // the first kNamedFailures paths of those files
    bool stopped = false;                // ended by its Stop before the end
};

// Asked again and again while a scan runs; true ends it.
using Stop = std::function<bool()>;

// The canonical form of a folder path, from which every catalog root and
// key is built: the resolved path (realpath, links resolved) when the path
// exists; otherwise the absolute path with "." and ".." taken out lexically
// and no trailing slash ("/" stays). The bytes are kept as they are.
std::string canonical(std::string_view path);
// The lexical half of canonical(): absolute (from the working folder),
// "." and ".." taken out, no trailing slash ("/" stays); links stay.
std::string standardized(std::string_view path);

// Scans the folder `root` (any form; canonical() is applied) into the
// catalog. Unreadable files are catalogued without facts; files that
// cannot be seen keep their rows, offline.
Outcome scan(const std::string& root, Catalog& catalog, const std::function<void(const Progress&)>& progress = {},
             const Stop& stop = {});

// Test seam: a folder (absolute path, as the walk builds it) for which
// `fails` answers true is treated as unlistable, as an I/O error or a
// vanished server would make it. An empty function restores the real walk.
void setListingFailure(std::function<bool(const std::string& folder)> fails);

}  // namespace LibraryScanner

}  // namespace qm
