// Writes that fail at any point of a transaction: the file system fails
// the Nth write of a scan's batch, of a save and of a team pull, for every
// N the operation makes (the page cache kept small, so that most of them
// fall in the middle of a body, where SQLite rolls the transaction back by
// itself). Nothing of a transaction that failed is stored, and once the
// fault is lifted the operation stores everything, a pull every entry of
// the log exactly once.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "library/ChangeLog.h"
#include "library/FaultyVfs.h"
#include "library/ScanTestSupport.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// Everything a write stores but the time of each upsert; printed short.
struct Snapshot {
    std::vector<std::string> rows;
    bool operator==(const Snapshot&) const = default;
    friend void PrintTo(const Snapshot& s, std::ostream* out) {
        *out << s.rows.size() << " rows, hash " << std::hash<std::string>()(fmt::format("{}", fmt::join(s.rows, "|")));
    }
};

Snapshot snapshot(const fs::path& file) {
    RawDb raw(file);
    Snapshot out;
    for (const char* query :
         {"SELECT path, root, size, mtime, duration, sr, channels, bits, codec, meta, category, library, rating "
          "FROM files ORDER BY path",
          "SELECT rowid, name, folders, body FROM fts ORDER BY rowid",
          "SELECT path, tag, value, time, author FROM kept_edits ORDER BY path, tag",
          "SELECT logfile, offset FROM log_offsets ORDER BY logfile",
          "SELECT path, root FROM offline_files ORDER BY path", "SELECT path, root FROM mount_points ORDER BY path"}) {
        for (const auto& row : raw.rows(query)) out.rows.push_back(fmt::format("{}", fmt::join(row, "\x1f")));
        out.rows.push_back(query);
    }
    return out;
}

enum class Operation { scan, save, pull };

struct Fault {
    Operation operation;
    const char* name;
    int code;
    int systemError;
    std::string_view reason;
};

struct Outcome {
    std::optional<std::string> failure;
    int64_t applied = 0;  // a pull's entries
};

constexpr int kEntries = 300;  // a pull's, two batches

// A library and a catalog file as the operation finds them, and the
// operation, which calls `stored` after each transaction it committed.
struct Setting {
    TempDir dir;
    fs::path lib = dir / "Lib";
    fs::path pristine = dir / "pristine.sqlite";
    std::function<Outcome(Catalog&, const std::function<void()>& stored)> run;

    explicit Setting(Operation operation) {
        fs::create_directories(lib);
        auto wav = [](int i) {
            return RiffBuilder()
                .fmt(1, 48000, 16)
                .chunk("iXML", fmt::format("<BWFXML><USER><DESCRIPTION>{} {}</DESCRIPTION></USER></BWFXML>", i,
                                           std::string(900, static_cast<char>('a' + i % 26))))
                .data16(1, 10)
                .bytes();
        };
        const int files = operation == Operation::save ? 1 : operation == Operation::scan ? 80 : kEntries;
        for (int i = 0; i < files; ++i) writeBytes(lib / fmt::format("f{}.wav", i), wav(i));
        const std::string r = realPath(lib);
        {
            Catalog catalog(pristine);
            if (operation != Operation::scan) LibraryScanner::scan(lib.string(), catalog);
        }
        switch (operation) {
            case Operation::scan:
                run = [this](Catalog& catalog, const std::function<void()>& stored) {
                    return Outcome{LibraryScanner::scan(lib.string(), catalog,
                                                        [&](const LibraryScanner::Progress&) { stored(); })
                                       .failure};
                };
                break;
            case Operation::save:
                // As the library's save stores a file that keeps its record in
                // the catalog alone: the row and the edit kept apart.
                run = [r](Catalog& catalog, const std::function<void()>&) {
                    SoundMeta meta;
                    meta.fxName = "f0";
                    meta.description = std::string(100000, 'd');
                    meta.notes = "saved";
                    return Outcome{catalog.transaction([&] {
                        catalog.upsert(r + "/f0.wav", r, 1, 2, facts(48000, 1, 16, 10), meta);
                        catalog.keepEdits(r + "/f0.wav", {{"NOTES", meta.notes}}, 3, 4, "me@here");
                    })};
                };
                break;
            case Operation::pull: {
                fs::create_directories(ChangeLog::folder(lib.string()));
                std::string log;
                for (int i = 0; i < kEntries; ++i)
                    log += *ChangeLog::Entry{.path = fmt::format("f{}.wav", i),
                                             .fields = {{"KEYWORDS", fmt::format("{} {}", i, std::string(200, 'k'))}},
                                             .rating = i % 5,
                                             .user = "bob@other",
                                             .time = std::chrono::sys_seconds(std::chrono::seconds(i))}
                                .encoded() +
                           "\n";
                writeBytes(fs::path(ChangeLog::folder(lib.string())) / "bob@other.jsonl", log);
                run = [this](Catalog& catalog, const std::function<void()>& stored) {
                    const ChangeLog::PullResult pulled = ChangeLog::pull(lib.string(), catalog, [&] {
                        stored();
                        return false;
                    });
                    return Outcome{pulled.failure, pulled.applied};
                };
                break;
            }
        }
    }
};

class CatalogFaults : public ::testing::TestWithParam<Fault> {};

}  // namespace

TEST_P(CatalogFaults, NothingOfAFailedTransactionIsStored) {
    const Fault& fault = GetParam();
    Setting setting(fault.operation);
    FaultyVfs vfs;
    const fs::path work = setting.dir / "work.sqlite";
    auto fresh = [&] {
        for (const char* journal : {"-wal", "-shm"}) fs::remove(work.string() + journal);
        fs::copy_file(setting.pristine, work, fs::copy_options::overwrite_existing);
        auto catalog = std::make_unique<Catalog>(work);
        // A small page cache spills into the journal in the middle of a body.
        catalog->transaction([&] { catalog->exec("PRAGMA cache_size = 10"); });
        return catalog;
    };

    // Unhindered: the states between its transactions, and the last.
    std::vector<Snapshot> between = {snapshot(setting.pristine)};
    Snapshot whole;
    int64_t writes = 0;
    {
        auto catalog = fresh();
        vfs.failAt(0, SQLITE_OK, 0);  // counts
        const Outcome outcome = setting.run(*catalog, [&] { between.push_back(snapshot(work)); });
        ASSERT_EQ(outcome.failure, std::nullopt);
        whole = snapshot(work);
        writes = vfs.writes();
    }

    // Points spread over every write the operation makes, its first and
    // last included (each point costs a whole operation).
    constexpr int64_t kPoints = 16;
    const int64_t step = std::max<int64_t>(1, writes / kPoints);
    int failures = 0;
    for (int64_t n = 1; n <= writes; n = n == writes ? n + 1 : std::min(writes, n + step)) {
        SCOPED_TRACE(fmt::format("write {}", n));
        auto catalog = fresh();
        vfs.failAt(n, fault.code, fault.systemError);
        const Outcome first = setting.run(*catalog, [] {});
        vfs.lift();
        const Snapshot after = snapshot(work);
        if (first.failure) {
            ++failures;
            EXPECT_EQ(*first.failure, fault.reason);
            EXPECT_NE(std::find(between.begin(), between.end(), after), between.end())
                << "a part of a transaction is stored";
            EXPECT_NE(after, whole);
        } else {
            EXPECT_EQ(after, whole);
        }
        // Lifted: the next run stores the rest, each entry once.
        const Outcome second = setting.run(*catalog, [] {});
        EXPECT_EQ(second.failure, std::nullopt);
        EXPECT_EQ(snapshot(work), whole);
        if (fault.operation == Operation::pull) {
            EXPECT_EQ(first.applied + second.applied, kEntries);
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWrite, CatalogFaults,
    ::testing::Values(Fault{Operation::scan, "ScanFull", SQLITE_FULL, ENOSPC, Catalog::kDiskFull},
                      Fault{Operation::scan, "ScanIOError", SQLITE_IOERR_WRITE, EIO, "disk I/O error"},
                      Fault{Operation::save, "SaveFull", SQLITE_FULL, ENOSPC, Catalog::kDiskFull},
                      Fault{Operation::save, "SaveNoSpaceIOError", SQLITE_IOERR_WRITE, ENOSPC, Catalog::kDiskFull},
                      Fault{Operation::save, "SaveIOError", SQLITE_IOERR_WRITE, EIO, "disk I/O error"},
                      Fault{Operation::pull, "PullFull", SQLITE_FULL, ENOSPC, Catalog::kDiskFull},
                      Fault{Operation::pull, "PullIOError", SQLITE_IOERR_WRITE, EIO, "disk I/O error"}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });
