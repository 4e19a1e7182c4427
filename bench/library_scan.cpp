// The library scanner and the team change log on a realistic library:
// 20,000 small files in nested folders (names, categories and metadata
// from tests/support/CatalogCorpus.h): WAVs bare, with an iXML USER block
// or a bext Description, one in ten with a sampler (smpl) chunk and one in
// ten with a broadcast cart chunk, most with UCS names, 2% FLAC and 1% MP3.
//
// Fresh scans into an empty catalog, items = files, warm (pages cached)
// and cold (every file's pages dropped with posix_fadvise DONTNEED after
// fsync, and the kernel's dentry and inode caches with drop_caches=2 where
// the machine allows it; the label says which). Beside each, in the same
// iteration, the floor: the same walk plus open, the header and chunk-header
// reads and close of every file on as many threads, and the upserts alone
// (the records read beforehand, written 256 to a transaction).
// scan / (walk + headers + upserts), pair by pair, is the figure to watch.
// The reads alone, per file on one thread: the scan's one read beside the
// facts and the record read apart, and the header floor.
//
// The unchanged rescan beside a bare walk that lstats every entry.
// Pull: a colleague's 10,000-line log applied from offset 0 (items =
// entries), and the idle pull (nothing new) in ms. The touched rescan:
// every file read and catalogued again under a colleague's pulled entries.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "audio/AudioFileInfo.h"
#include "library/Catalog.h"
#include "library/ChangeLog.h"
#include "library/LibraryScanner.h"
#include "library/MetaIO.h"
#include "library/ScanRead.h"
#include "library/WorkerPool.h"
#include "support/AudioFiles.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using qm::Catalog;
using qm::test::RiffBuilder;

namespace {

constexpr int kFiles = 20000;
constexpr int kLogLines = 10000;

std::string ixml(const qm::SoundMeta& m) {
    return fmt::format(
        "<BWFXML><USER><DESCRIPTION>{}</DESCRIPTION><CATEGORY>{}</CATEGORY><SUBCATEGORY>{}</SUBCATEGORY>"
        "<CATID>{}</CATID><FXNAME>{}</FXNAME><KEYWORDS>{}</KEYWORDS><LIBRARY>{}</LIBRARY><DESIGNER>{}</DESIGNER>"
        "<RATING>{}</RATING></USER></BWFXML>",
        m.description, m.category, m.subCategory, m.catID, m.fxName, m.keywords, m.library, m.designer, m.rating);
}

struct Library {
    qm::test::TempDir dir;
    fs::path root = dir / "Lib";
    std::vector<std::string> files;
    std::string canonical;
    // What the scanner reads, read once, for the upserts-only floor.
    struct Read {
        std::string path;
        int64_t size;
        double mtime;
        std::optional<qm::AudioFileInfo> info;
        qm::SoundMeta meta;
    };
    std::vector<Read> reads;

    Library() {
        qm::test::CatalogCorpus corpus(3);
        const fs::path templates = dir / "templates";
        fs::create_directories(templates);
        qm::test::writeTestFile(templates / "t.flac", 2, 2400, 48000, {.kind = qm::test::FileKind::flac, .bits = 16});
        qm::test::writeTestFile(templates / "t.mp3", 2, 2400, 48000, {.kind = qm::test::FileKind::mp3});
        const std::string flac = qm::test::readBytes(templates / "t.flac");
        const std::string mp3 = qm::test::readBytes(templates / "t.mp3");
        for (int i = 0; i < kFiles; ++i) {
            qm::test::CorpusFile f = corpus.next();
            std::string relative = f.path.substr(1);
            const int kind = i % 100;
            std::string bytes;
            if (kind < 2) {
                relative.replace(relative.size() - 3, 3, "flac");
                bytes = flac;
            } else if (kind < 3) {
                relative.replace(relative.size() - 3, 3, "mp3");
                bytes = mp3;
            } else {
                RiffBuilder b;
                b.fmt(2, 48000, 16);
                if (kind >= 40 && kind < 70) b.chunk("iXML", ixml(f.meta));
                if (kind >= 70) b.bext(f.meta.description);
                // A sampler chunk with one loop; a cart chunk with its tag text.
                if (kind >= 20 && kind < 30) b.chunk("smpl", std::string(28, '\0') + qm::test::le32(1) + std::string(28, '\0'));
                if ((kind >= 30 && kind < 35) || (kind >= 75 && kind < 80)) b.chunk("cart", std::string(2048, ' ') + "tag");
                b.data16(2, 2000);
                bytes = b.bytes();
                // A quarter of the bare ones without a UCS name.
                if (kind < 13) relative = relative.substr(0, relative.rfind('/') + 1) + fmt::format("take {}.wav", i);
            }
            const fs::path p = root / relative;
            fs::create_directories(p.parent_path());
            qm::test::writeBytes(p, bytes);
            files.push_back(p.string());
        }
        canonical = qm::LibraryScanner::canonical(root.string());
        ::sync();
        files.clear();
        // The files by their canonical paths, in walk order.
        Catalog catalog(dir / "once.sqlite");
        qm::LibraryScanner::scan(root.string(), catalog);
        for (const auto& [path, stamp] : catalog.stamps(canonical)) {
            files.push_back(path);
            Read r{path, stamp.size, stamp.mtime, std::nullopt, qm::MetaIO::read(path)};
            try {
                r.info = qm::AudioFileInfo::load(path);
            } catch (...) {
            }
            reads.push_back(std::move(r));
        }
    }

    // Drops what the kernel caches of the library; returns how.
    std::string evict() const {
        for (const std::string& f : files) {
            const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            ::fsync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        std::ofstream drop("/proc/sys/vm/drop_caches");
        drop << "2" << std::flush;
        return drop ? "cold: fadvise DONTNEED + drop_caches=2" : "cold: fadvise DONTNEED only";
    }
};

Library& library() {
    static Library l;
    return l;
}

// The floor's walk: the scanner's listing rules, nothing else.
template <typename OnFile>
void walk(int fd, const std::string& path, OnFile& onFile) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::pair<std::string, unsigned char>> names;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name, e->d_type);
    for (const auto& [name, type] : names) {
        const std::string child = path + "/" + name;
        if (type == DT_DIR) {
            const int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) walk(sub, child, onFile);
        } else if (type == DT_REG && qm::AudioFileInfo::isAudioFile(name)) {
            struct stat st {};
            if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) onFile(child, st);
        }
    }
    ::closedir(dir);
}

// Open, the 12-byte header, every chunk header, close.
void readHeaders(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    unsigned char h[12];
    if (::pread(fd, h, 12, 0) == 12 && std::string_view(reinterpret_cast<char*>(h), 4) == "RIFF") {
        off_t at = 12;
        unsigned char c[8];
        while (::pread(fd, c, 8, at) == 8) {
            const uint32_t size = c[4] | c[5] << 8 | c[6] << 16 | static_cast<uint32_t>(c[7]) << 24;
            at += 8 + static_cast<off_t>(size) + (size & 1);
        }
    }
    ::close(fd);
}

// A fresh catalog file for one run; removed with its journal afterwards.
struct FreshCatalog {
    fs::path file;
    std::unique_ptr<Catalog> catalog;
    explicit FreshCatalog(const fs::path& f) : file(f), catalog(std::make_unique<Catalog>(f)) {}
    ~FreshCatalog() {
        catalog.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    }
};

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Arg: 0 = warm, 1 = cold. Each iteration scans the library into an empty
// catalog, then runs the floor's two halves: the walk with the header reads
// (on as many threads) and the upserts alone, each after its own eviction
// when cold. The iteration's time is the scan's; the ratio to the floor is
// taken pair by pair.
void BM_FreshScan(benchmark::State& state) {
    Library& l = library();
    const bool cold = state.range(0) == 1;
    std::string how = "warm";
    std::vector<double> scan, walked, upserts, ratio;
    int n = 0;
    for (auto _ : state) {
        {
            FreshCatalog fresh(l.dir / fmt::format("fresh-{}.sqlite", n++));
            if (cold) how = l.evict();
            const auto start = std::chrono::steady_clock::now();
            qm::LibraryScanner::scan(l.root.string(), *fresh.catalog);
            scan.push_back(seconds(start));
        }
        {
            if (cold) l.evict();
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::string> found;
            auto onFile = [&](const std::string& p, const struct stat&) { found.push_back(p); };
            walk(::open(l.canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), l.canonical, onFile);
            qm::WorkerPool pool(qm::WorkerPool::coreCount());
            for (size_t start = 0; start < found.size(); start += 256)
                pool.run(std::min<size_t>(256, found.size() - start), [&](size_t i) { readHeaders(found[start + i]); });
            walked.push_back(seconds(start));
        }
        {
            FreshCatalog fresh(l.dir / fmt::format("fresh-{}.sqlite", n++));
            Catalog& catalog = *fresh.catalog;
            const auto start = std::chrono::steady_clock::now();
            for (size_t first = 0; first < l.reads.size(); first += 256)
                catalog.transaction([&] {
                    for (size_t i = first; i < std::min(l.reads.size(), first + 256); ++i) {
                        const auto& r = l.reads[i];
                        catalog.upsert(r.path, l.canonical, r.size, r.mtime, r.info, r.meta);
                    }
                });
            upserts.push_back(seconds(start));
        }
        ratio.push_back(scan.back() / (walked.back() + upserts.back()));
        state.SetIterationTime(scan.back());
    }
    const double files = static_cast<double>(l.files.size());
    state.counters["scan_files_per_s"] = files / median(scan);
    state.counters["floor_walk_headers_ms"] = median(walked) * 1000;
    state.counters["floor_upserts_ms"] = median(upserts) * 1000;
    state.counters["floor_files_per_s"] = files / (median(walked) + median(upserts));
    state.counters["scan_vs_floor"] = median(ratio);
    state.SetLabel(fmt::format("scan beside walk + headers + upserts, {}", how));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(l.files.size()));
}
BENCHMARK(BM_FreshScan)->Arg(0)->Arg(1)->ArgName("cold")->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// What the scan reads of each file, on one thread, warm. Args: 0 = one read
// (ScanRead::read), 1 = the facts and the record read apart
// (AudioFileInfo::load and MetaIO::read), 2 = the floor (open, the header
// and every chunk header, close).
void BM_ReadFiles(benchmark::State& state) {
    Library& l = library();
    for (auto _ : state) {
        for (const std::string& f : l.files) {
            switch (state.range(0)) {
                case 0:
                    benchmark::DoNotOptimize(qm::ScanRead::read(f));
                    break;
                case 1:
                    try {
                        benchmark::DoNotOptimize(qm::AudioFileInfo::load(f));
                    } catch (...) {
                    }
                    benchmark::DoNotOptimize(qm::MetaIO::read(f));
                    break;
                default:
                    readHeaders(f);
            }
        }
    }
    static const char* kWhat[] = {"one read", "facts and record apart", "floor: headers"};
    state.SetLabel(kWhat[state.range(0)]);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(l.files.size()));
}
BENCHMARK(BM_ReadFiles)->DenseRange(0, 2)->ArgName("what")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Args: 0 = the unchanged rescan, 1 = a bare walk that lstats every audio file.
void BM_UnchangedRescan(benchmark::State& state) {
    Library& l = library();
    Catalog catalog(l.dir / "rescan.sqlite");
    qm::LibraryScanner::scan(l.root.string(), catalog);
    qm::LibraryScanner::Progress last;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            qm::LibraryScanner::scan(l.root.string(), catalog, [&](const auto& p) { last = p; });
        } else {
            int64_t seen = 0;
            auto onFile = [&](const std::string&, const struct stat&) { ++seen; };
            walk(::open(l.canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), l.canonical, onFile);
            benchmark::DoNotOptimize(seen);
        }
    }
    if (state.range(0) == 0 && last.candidates != 0) state.SkipWithError("the rescan found changes");
    state.SetLabel(state.range(0) == 0 ? "rescan" : "floor: lstat walk");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(l.files.size()));
}
BENCHMARK(BM_UnchangedRescan)->Arg(0)->Arg(1)->ArgName("floor")->Iterations(10)->Unit(benchmark::kMillisecond);

struct Team {
    Catalog catalog;
    fs::path log;
    explicit Team(const char* name = "team.sqlite") : catalog(library().dir / name) {
        Library& l = library();
        catalog.transaction([&] {
            for (const auto& r : l.reads) catalog.upsert(r.path, l.canonical, r.size, r.mtime, r.info, r.meta);
        });
        const fs::path changes = qm::ChangeLog::folder(l.root.string());
        fs::create_directories(changes);
        log = changes / "colleague@studio.jsonl";
        std::ofstream out(log, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < kLogLines; ++i) {
            const std::string& path = l.files[static_cast<size_t>(i * 7919) % l.files.size()];
            qm::ChangeLog::Entry e{.path = path.substr(l.canonical.size() + 1),
                                   .fields = {{"DESCRIPTION", fmt::format("Edited take {}", i)}, {"KEYWORDS", "team"}},
                                   .rating = i % 6,
                                   .user = "colleague@studio",
                                   .time = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now())};
            out << *e.encoded() << '\n';
        }
    }
};

// Args: 0 = 10,000 new entries, 1 = nothing new.
void BM_Pull(benchmark::State& state) {
    static Team team;
    Library& l = library();
    const bool idle = state.range(0) == 1;
    int64_t applied = 0;
    if (idle) qm::ChangeLog::pull(l.root.string(), team.catalog);
    for (auto _ : state) {
        if (!idle) {
            state.PauseTiming();
            team.catalog.setLogOffset(team.log.string(), 0);
            state.ResumeTiming();
        }
        applied = qm::ChangeLog::pull(l.root.string(), team.catalog).applied;
    }
    if (applied != (idle ? 0 : kLogLines)) state.SkipWithError("unexpected count of applied entries");
    state.SetLabel(idle ? "idle pull" : "10,000 entries");
    if (!idle) state.SetItemsProcessed(state.iterations() * kLogLines);
}
BENCHMARK(BM_Pull)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Pull)->Arg(1)->Iterations(200)->Unit(benchmark::kMillisecond);

// A warm rescan that reads every file again: each iteration moves every
// file's modification time on (untimed) and rescans, so all 20,000 are read
// and catalogued again. Args: 0 = a catalog of the files alone, 1 = one
// that holds a colleague's 10,000 pulled entries besides (what the scan
// lays over the files it reads). Items = files.
void BM_TouchedRescan(benchmark::State& state) {
    static Team bare("touched-bare.sqlite");
    static Team team("touched.sqlite");
    Library& l = library();
    static const bool pulled = [&] {
        qm::ChangeLog::pull(l.root.string(), team.catalog);
        return true;
    }();
    benchmark::DoNotOptimize(pulled);
    Catalog& catalog = state.range(0) == 1 ? team.catalog : bare.catalog;
    static int64_t shift = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++shift;
        for (const std::string& f : l.files) {
            const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000 + shift, 0}};
            ::utimensat(AT_FDCWD, f.c_str(), times, 0);
        }
        state.ResumeTiming();
        qm::LibraryScanner::scan(l.root.string(), catalog);
    }
    state.SetLabel(state.range(0) == 1 ? "every file read again, 10,000 pulled entries" : "every file read again");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(l.files.size()));
}
BENCHMARK(BM_TouchedRescan)->Arg(0)->Arg(1)->ArgName("pulled")->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
