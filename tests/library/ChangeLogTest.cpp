#include "library/ChangeLog.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "library/ScanTestSupport.h"
#include "support/OpenWatch.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const sys_seconds kTime = sys_days(2024y / 3 / 5) + 7h + 8min + 9s;

ChangeLog::Entry entry(const std::string& path, std::map<std::string, std::string> fields,
                       std::optional<int64_t> rating = std::nullopt) {
    return {.path = path, .fields = std::move(fields), .rating = rating, .user = "bob@other", .time = kTime};
}

std::string line(const ChangeLog::Entry& e) { return *e.encoded() + "\n"; }

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> out;
    std::istringstream in(readBytes(file));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A library of catalogued WAV files and a colleague's log in its change folder.
struct Team : Library {
    fs::path changes;
    fs::path log;
    std::string r;

    explicit Team(std::vector<std::string> files = {"a.wav", "b.wav", "c.wav"}) {
        for (const auto& f : files) put(f);
        scan();
        r = root();
        changes = fs::path(ChangeLog::folder(lib.string()));
        fs::create_directories(changes);
        log = changes / "bob@other.jsonl";
    }
    // Appends to the log, as its owner would.
    void write(const std::string& bytes) {
        std::ofstream out(log, std::ios::binary | std::ios::app);
        out << bytes;
    }
    int64_t offset() { return catalog.logOffset(log.string()); }
    int64_t pull() { return ChangeLog::pull(lib.string(), catalog).applied; }
    SoundMeta meta(const std::string& relative) {
        auto row = catalog.row(r + "/" + relative);
        return row ? row->meta() : SoundMeta();
    }
};

}  // namespace

TEST(ChangeLog, EntryLines) {
    ChangeLog::Entry e = entry("Doors/a.wav", {{"DESCRIPTION", "Slam \"hard\""}});
    const nlohmann::json j = nlohmann::json::parse(*e.encoded());
    EXPECT_FALSE(j.contains("rating"));
    EXPECT_EQ(j["time"], "2024-03-05T07:08:09Z");
    EXPECT_EQ(j["path"], "Doors/a.wav");
    EXPECT_EQ(j["user"], "bob@other");
    EXPECT_EQ(j["fields"]["DESCRIPTION"], "Slam \"hard\"");
    EXPECT_EQ(e.encoded()->find('\n'), std::string::npos);
    EXPECT_EQ(ChangeLog::Entry::decode(*e.encoded()), e);

    e.rating = 0;
    EXPECT_EQ(nlohmann::json::parse(*e.encoded())["rating"], 0);
    EXPECT_EQ(ChangeLog::Entry::decode(*e.encoded()), e);

    // A text that is not UTF-8 cannot be written.
    EXPECT_EQ(entry("caf\xE9.wav", {}).encoded(), std::nullopt);
    EXPECT_EQ(entry("a.wav", {{"NOTES", "\xFF"}}).encoded(), std::nullopt);
}

TEST(ChangeLog, StrictDecoding) {
    const std::string base = R"("path":"a.wav","fields":{"KEYWORDS":"k"},"user":"u","time":"2024-03-05T07:08:09Z")";
    auto decodes = [&](const std::string& text) { return ChangeLog::Entry::decode(text).has_value(); };
    EXPECT_TRUE(decodes("{" + base + "}"));
    EXPECT_TRUE(decodes("{" + base + ",\"rating\":null}"));
    EXPECT_TRUE(decodes("{" + base + ",\"rating\":4,\"other\":[1,2]}"));
    EXPECT_EQ(ChangeLog::Entry::decode("{" + base + ",\"rating\":null}")->rating, std::nullopt);
    EXPECT_EQ(ChangeLog::Entry::decode("  {" + base + ",\"rating\":-2}\r")->rating, -2);

    for (const std::string& bad : std::vector<std::string>{
             std::string(""), std::string("{}"), std::string("[]"), std::string("3"), std::string("null"),
             "{" + base + ",\"rating\":1.5}", "{" + base + ",\"rating\":\"3\"}", "{" + base + ",\"rating\":true}",
             "{" + base + ",\"rating\":99999999999999999999}", "{" + base + "} x", "{" + base,
             R"({"fields":{},"user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":"a","user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":"a","fields":{},"time":"2024-03-05T07:08:09Z"})", R"({"path":"a","fields":{},"user":"u"})",
             R"({"path":1,"fields":{},"user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":"a","fields":[],"user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":"a","fields":{"NOTES":3},"user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":"a","fields":{"NOTES":null},"user":"u","time":"2024-03-05T07:08:09Z"})",
             R"({"path":null,"fields":{},"user":"u","time":"2024-03-05T07:08:09Z"})",
             "{\"path\":\"caf\xE9\",\"fields\":{},\"user\":\"u\",\"time\":\"2024-03-05T07:08:09Z\"}",
         })
        EXPECT_FALSE(decodes(bad)) << bad;

    for (const char* time : {"2024-03-05T07:08:09Z", "1970-01-01T00:00:00Z", "2024-02-29T23:59:59Z"})
        EXPECT_EQ(ChangeLog::timeText(*ChangeLog::parseTime(time)), time);
    for (const char* time : {"2024-03-05T07:08:09.000Z", "2024-03-05 07:08:09Z", "2024-03-05T07:08:09+00:00",
                             "2024-03-05T07:08:09", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
                             "2024-03-05T24:00:00Z", "2024-03-05T07:60:00Z", "2024-03-05T07:08:60Z", "2024-3-5T7:8:9Z",
                             "2024-03-05t07:08:09z", "+024-03-05T07:08:09Z"})
        EXPECT_EQ(ChangeLog::parseTime(time), std::nullopt) << time;
}

TEST(ChangeLog, OwnName) {
    EXPECT_EQ(ChangeLog::ownName("ann", "studio"), "ann@studio");
    EXPECT_EQ(ChangeLog::ownName("a/b", "host/x/y"), "a-b@host-x-y");
    EXPECT_EQ(ChangeLog::ownName("ann", ""), "ann@mac");
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(ChangeLog::loginName(), pw->pw_name);
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    EXPECT_EQ(ChangeLog::ownName(), ChangeLog::ownName(pw->pw_name, host));
}

TEST(ChangeLog, AppendMakesTheFolderAndAddsLines) {
    Library l;
    const ChangeLog::Entry first = entry("a.wav", {{"DESCRIPTION", "one"}}), second = entry("Sub/b.wav", {}, 3);
    ChangeLog::append((l.lib / "Sub/..").string(), first);  // any form of the root
    ChangeLog::append(l.lib.string() + "/", second);
    const fs::path own = l.lib / ".quillmarsh/changes" / (ChangeLog::ownName() + ".jsonl");
    EXPECT_EQ(ChangeLog::folder(l.lib.string()), l.root() + "/.quillmarsh/changes");
    EXPECT_EQ(readBytes(own), line(first) + line(second));
    // Nothing is written for an entry that cannot be encoded.
    ChangeLog::append(l.lib.string(), entry("caf\xE9.wav", {}));
    EXPECT_EQ(linesOf(own).size(), 2u);
}

TEST(ChangeLog, AppendWritesNothingThroughALink) {
    Library l;
    const fs::path outside = l.dir / "Outside";
    fs::create_directories(outside / "changes");
    writeBytes(outside / "precious.txt", "precious");
    const std::string name = ChangeLog::ownName() + ".jsonl";

    // A link planted at the own file.
    fs::create_directories(l.lib / ".quillmarsh/changes");
    fs::create_symlink(outside / "precious.txt", l.lib / ".quillmarsh/changes" / name);
    ChangeLog::append(l.lib.string(), entry("a.wav", {}));
    EXPECT_EQ(readBytes(outside / "precious.txt"), "precious");

    // A link at the change folder, and at the hidden folder.
    fs::remove_all(l.lib / ".quillmarsh");
    fs::create_directories(l.lib / ".quillmarsh");
    fs::create_directory_symlink(outside / "changes", l.lib / ".quillmarsh/changes");
    ChangeLog::append(l.lib.string(), entry("a.wav", {}));
    fs::remove_all(l.lib / ".quillmarsh");
    fs::create_directory_symlink(outside, l.lib / ".quillmarsh");
    ChangeLog::append(l.lib.string(), entry("a.wav", {}));
    EXPECT_TRUE(fs::is_empty(outside / "changes"));

    // A FIFO at the own file neither blocks the append nor takes a line.
    fs::remove(l.lib / ".quillmarsh");
    fs::create_directories(l.lib / ".quillmarsh/changes");
    ASSERT_EQ(::mkfifo((l.lib / ".quillmarsh/changes" / name).c_str(), 0600), 0);
    ChangeLog::append(l.lib.string(), entry("a.wav", {}));
    // A root that is not there gets no folder.
    ChangeLog::append((l.dir / "Missing").string(), entry("a.wav", {}));
    EXPECT_FALSE(fs::exists(l.dir / "Missing"));
}

TEST(ChangeLog, ManyThreadsAppend) {
    Library l;
    constexpr int kThreads = 8, kEach = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                ChangeLog::append(l.lib.string(),
                                  entry(fmt::format("t{}/f{}.wav", t, i), {{"NOTES", std::string(100 + i % 50, 'n')}}));
        });
    for (auto& t : threads) t.join();
    const auto lines = linesOf(l.lib / ".quillmarsh/changes" / (ChangeLog::ownName() + ".jsonl"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string& text : lines) {
        auto e = ChangeLog::Entry::decode(text);
        ASSERT_TRUE(e) << text;
        int t = 0, i = 0;
        ASSERT_EQ(sscanf(e->path.c_str(), "t%d/f%d.wav", &t, &i), 2);
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);  // each thread's lines in its order
    }
}

TEST(ChangeLog, AShortWriteLeavesNoHalfLine) {
    Library l;
    ChangeLog::append(l.lib.string(), entry("a.wav", {{"NOTES", "first"}}));
    const fs::path own = l.lib / ".quillmarsh/changes" / (ChangeLog::ownName() + ".jsonl");
    const std::string before = readBytes(own);

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = before.size() + 10;  // room for a piece of the line only
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ChangeLog::append(l.lib.string(), entry("b.wav", {{"NOTES", "second"}}));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(readBytes(own), before);
    ChangeLog::append(l.lib.string(), entry("c.wav", {{"NOTES", "third"}}));
    EXPECT_EQ(readBytes(own), before + line(entry("c.wav", {{"NOTES", "third"}})));
}

TEST(ChangeLog, PullAppliesCompleteLinesOnce) {
    Team t;
    t.write(line(entry("a.wav", {{"DESCRIPTION", "From Bob"}})) + line(entry("b.wav", {}, 4)));
    const std::string pending = *entry("c.wav", {{"KEYWORDS", "later"}}).encoded();
    t.write(pending);
    const int64_t twoLines = static_cast<int64_t>(fs::file_size(t.log) - pending.size());

    EXPECT_EQ(t.pull(), 2);
    EXPECT_EQ(t.offset(), twoLines);
    EXPECT_EQ(t.meta("a.wav").description, "From Bob");
    EXPECT_EQ(t.meta("b.wav").rating, 4);
    EXPECT_EQ(t.meta("c.wav").keywords, "");
    EXPECT_EQ(t.pull(), 0);

    t.write("\n");
    EXPECT_EQ(t.pull(), 1);
    EXPECT_EQ(t.meta("c.wav").keywords, "later");
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));

    // The pulled rows carry the files' stamps: a rescan keeps their metadata.
    t.scan();
    EXPECT_EQ(t.reports.front().candidates, 0);
    EXPECT_EQ(t.meta("a.wav").description, "From Bob");
}

TEST(ChangeLog, TagsRatingsAndPathsOutsideTheCatalog) {
    Team t;
    t.write(line(entry("a.wav", {{"NOTES", "n"}}, 3)));
    ASSERT_EQ(t.pull(), 1);
    const SoundMeta before = t.meta("a.wav");
    t.write(line(entry("a.wav", {{"KEYWORDS", "rain"}, {"NOT_A_TAG", "x"}, {"description", "lower case"}}, 0)));
    EXPECT_EQ(t.pull(), 1);
    SoundMeta expected = before;
    expected.keywords = "rain";
    expected.rating = 0;
    EXPECT_EQ(t.meta("a.wav"), expected);

    // A file that is not catalogued: consumed, not counted, never retried.
    t.put("new.wav");
    t.write(line(entry("new.wav", {{"DESCRIPTION", "too early"}})));
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));
    t.scan();
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(t.meta("new.wav").description, "");
}

TEST(ChangeLog, WhichLogsArePulled) {
    Team t;
    const std::string change = line(entry("a.wav", {{"DESCRIPTION", "changed"}}));
    // The own log, even as the only one.
    fs::remove(t.log);
    writeBytes(t.changes / (ChangeLog::ownName() + ".jsonl"), change);
    EXPECT_EQ(t.pull(), 0);
    for (const char* name : {"notes.txt", "CHANGES.JSONL", "x.jsonl.bak", ".jsonl"}) writeBytes(t.changes / name, change);
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(t.meta("a.wav").description, "");
    // A colleague's log is read.
    writeBytes(t.changes / ".hidden colleague@host.jsonl", change);
    EXPECT_EQ(t.pull(), 1);
    // No change folder: nothing.
    fs::remove_all(t.lib / ".quillmarsh");
    EXPECT_EQ(t.pull(), 0);
}

TEST(ChangeLog, ALogShorterThanItsOffsetIsPassedOver) {
    Team t;
    t.write(line(entry("a.wav", {{"NOTES", "1"}})) + line(entry("b.wav", {{"NOTES", "2"}})));
    ASSERT_EQ(t.pull(), 2);
    const int64_t offset = t.offset();
    writeBytes(t.log, line(entry("c.wav", {{"NOTES", "3"}})));  // rewritten, shorter
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(t.offset(), offset);
    EXPECT_EQ(t.meta("c.wav").notes, "");
}

// A colleague's log is someone else's data: nothing in it makes a pull touch
// a file outside the root, or change a row of another root.
TEST(ChangeLog, ALogNeverReachesOutsideTheRoot) {
    Team t({"a.wav", "swap.wav", "pipe.wav", "Inner/i.wav"});
    const fs::path outside = t.dir / "Outside", other = t.dir / "Other";
    fs::create_directories(outside);
    writeBytes(outside / "target.wav", wavBytes());
    fs::create_directories(other);
    writeBytes(other / "o.wav", wavBytes());
    LibraryScanner::scan(other.string(), t.catalog);
    LibraryScanner::scan((t.lib / "Inner").string(), t.catalog);  // a root inside the root
    const std::string o = realPath(other);
    const auto otherBefore = t.catalog.row(o + "/o.wav");
    const auto innerBefore = t.catalog.row(t.r + "/Inner/i.wav");
    ASSERT_TRUE(otherBefore && innerBefore);
    ASSERT_EQ(innerBefore->root, t.r + "/Inner");

    // Catalogued files replaced: by a link leading outside, by a FIFO.
    fs::remove(t.lib / "swap.wav");
    fs::create_symlink(outside / "target.wav", t.lib / "swap.wav");
    fs::remove(t.lib / "pipe.wav");
    ASSERT_EQ(::mkfifo((t.lib / "pipe.wav").c_str(), 0600), 0);
    fs::create_directory_symlink(other, t.lib / "to other");
    // A row under the root whose path reaches the other root through a link.
    t.catalog.transaction([&] { t.catalog.upsert(t.r + "/to other/o.wav", t.r, 1, 1, std::nullopt, {}); });

    const std::map<std::string, std::string> evil = {{"DESCRIPTION", "evil"}};
    std::string bytes;
    for (const std::string& path : std::vector<std::string>{o + "/o.wav", "/" + o + "/o.wav", "../Other/o.wav", "./a.wav", "Inner/../a.wav", "Inner//i.wav",
          "a.wav/", "", "/", std::string("a.wav\0x", 7), "Inner/i.wav", "swap.wav", "pipe.wav", "to other/o.wav",
          "../Outside/target.wav"})
        bytes += line(entry(path, evil));
    bytes += line(entry("a.wav", {{"DESCRIPTION", "fine"}}));  // the one that applies
    t.write(bytes);
    // Logs that are not what they claim.
    writeBytes(outside / "evil.jsonl", line(entry("a.wav", evil)));
    fs::create_symlink(outside / "evil.jsonl", t.changes / "linked@host.jsonl");
    fs::create_symlink("/dev/zero", t.changes / "zero@host.jsonl");
    ASSERT_EQ(::mkfifo((t.changes / "fifo@host.jsonl").c_str(), 0600), 0);
    fs::create_directory(t.changes / "folder@host.jsonl");

    OpenWatch watch;
    watch.add(outside, true);
    watch.add(other, true);
    watch.add("/dev/zero");
    EXPECT_EQ(t.pull(), 1);
    EXPECT_EQ(watch.opened(), std::vector<std::string>{});
    EXPECT_EQ(t.meta("a.wav").description, "fine");
    EXPECT_EQ(t.catalog.row(o + "/o.wav"), otherBefore);
    EXPECT_EQ(t.catalog.row(t.r + "/Inner/i.wav"), innerBefore);
    EXPECT_EQ(t.catalog.row(t.r + "/to other/o.wav")->meta().description, "");
    EXPECT_EQ(t.meta("swap.wav").description, "");
    EXPECT_EQ(t.meta("pipe.wav").description, "");
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));  // every line consumed
    EXPECT_EQ(t.catalog.logOffset((t.changes / "linked@host.jsonl").string()), 0);

    // A hidden folder that is a link leads nowhere either.
    fs::create_directories(outside / "changes");
    writeBytes(outside / "changes/bob@host.jsonl", line(entry("a.wav", evil)));
    fs::remove_all(t.lib / ".quillmarsh");
    fs::create_directory_symlink(outside, t.lib / ".quillmarsh");
    EXPECT_EQ(t.pull(), 0);
    EXPECT_EQ(watch.opened(), std::vector<std::string>{});
    EXPECT_EQ(t.meta("a.wav").description, "fine");
}

// 500 MB without a line feed (a sparse file): read in pieces and consumed as
// one malformed line, so memory stays bounded and the next pull starts
// after it.
TEST(ChangeLog, AHugeLogWithoutLineFeeds) {
    Team t;
    constexpr off_t kSize = 500LL << 20;
    {
        writeBytes(t.log, "");
        ASSERT_EQ(::truncate(t.log.c_str(), kSize), 0);
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = steady_clock::now();
    EXPECT_EQ(t.pull(), 0);
    const double seconds = duration<double>(steady_clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KiB
    EXPECT_EQ(t.offset(), kSize);
    std::cout << "pull of a 500 MB log without line feeds: " << seconds << " s\n";

    t.write("\n" + line(entry("a.wav", {{"NOTES", "after"}})));
    EXPECT_EQ(t.pull(), 1);
    EXPECT_EQ(t.meta("a.wav").notes, "after");
    // A line just over the limit is malformed; one at the limit is read.
    std::string longNotes(ChangeLog::kMaxLineBytes, 'x');
    t.write(line(entry("a.wav", {{"NOTES", longNotes}})));
    const std::string fits = *entry("b.wav", {{"NOTES", ""}}).encoded();
    t.write(line(entry("b.wav", {{"NOTES", std::string(ChangeLog::kMaxLineBytes - fits.size(), 'y')}})));
    EXPECT_EQ(t.pull(), 1);
    EXPECT_EQ(t.meta("a.wav").notes, "after");
    EXPECT_EQ(t.meta("b.wav").notes.size(), ChangeLog::kMaxLineBytes - fits.size());
}

TEST(ChangeLog, TwoPullsOfOneRootAtOnce) {
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) files.push_back(fmt::format("f{}.wav", i));
    Team t(files);
    constexpr int kLines = 600;
    std::string bytes;
    for (int i = 0; i < kLines; ++i) bytes += line(entry(files[i % 20], {{"NOTES", std::to_string(i)}}));
    t.write(bytes);

    std::atomic<bool> done{false};
    std::atomic<bool> decreased{false};
    std::thread watcher([&] {
        int64_t last = 0;
        while (!done) {
            const int64_t now = t.catalog.logOffset(t.log.string());
            if (now < last) decreased = true;
            last = now;
        }
    });
    std::atomic<int64_t> applied{0};
    std::vector<std::thread> pulls;
    for (int i = 0; i < 2; ++i)
        pulls.emplace_back([&] { applied += ChangeLog::pull((t.lib / ".").string(), t.catalog).applied; });
    for (auto& p : pulls) p.join();
    done = true;
    watcher.join();
    EXPECT_EQ(applied.load(), kLines);
    EXPECT_FALSE(decreased.load());
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(t.meta(files[static_cast<size_t>(i)]).notes, std::to_string(kLines - 20 + i));
}

// Mutated, broken and hostile lines: no crash; the valid ones are applied,
// everything is consumed.
TEST(ChangeLog, FuzzedLines) {
    Team t;
    std::mt19937 rng(7);
    const std::vector<std::string> paths = {"a.wav", "b.wav", "c.wav", "none.wav"};
    std::vector<std::string> lines;
    for (int i = 0; i < 400; ++i) {
        ChangeLog::Entry e = entry(paths[rng() % paths.size()], {{"NOTES", fmt::format("n{}", i)}});
        if (rng() % 2) e.rating = static_cast<int64_t>(rng() % 6);
        std::string text = *e.encoded();
        switch (rng() % 8) {
            case 0: break;  // valid as written
            case 1: text[rng() % text.size()] = static_cast<char>(rng()); break;
            case 2: text.resize(rng() % text.size()); break;
            case 3: text.insert(rng() % text.size(), std::string(1 + rng() % 4, static_cast<char>(0x80 + rng() % 64))); break;
            case 4: text.insert(text.size() - 1, ",\"rating\":1.5"); break;
            case 5: text.insert(text.size() - 1, ",\"deep\":" + std::string(20000, '[') + std::string(20000, ']')); break;
            case 6: text = R"({"path":["a.wav"],"fields":{},"user":"u","time":"2024-03-05T07:08:09Z"})"; break;
            case 7: text = std::string(1 + rng() % 40, static_cast<char>(rng())); break;
        }
        for (char& c : text)
            if (c == '\n') c = ' ';
        lines.push_back(text);
    }
    lines.push_back("{\"fields\":{\"x\":" + std::string(300000, '[') + "}}");
    const std::set<std::string> catalogued = {"a.wav", "b.wav", "c.wav"};
    int64_t expected = 0;
    std::string bytes;
    for (const std::string& text : lines) {
        bytes += text + "\n";
        auto e = ChangeLog::Entry::decode(text);
        if (e && catalogued.contains(e->path)) ++expected;
    }
    t.write(bytes);
    EXPECT_GT(expected, 40);
    EXPECT_EQ(t.pull(), expected);
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));
}

// Each batch of lines is stored with the log's offset after it: a pull that
// is stopped between batches has applied exactly the lines before its
// stored offset, and the next pull goes on from there.
TEST(ChangeLog, EachBatchStoresItsPlace) {
    Team t;
    constexpr int kLines = 1000;
    std::vector<int64_t> ends;  // the offset after each line
    std::string bytes;
    for (int i = 1; i <= kLines; ++i) {
        bytes += line(entry("a.wav", {{"NOTES", std::to_string(i)}}));
        ends.push_back(static_cast<int64_t>(bytes.size()));
    }
    t.write(bytes);
    int batches = 0;
    const auto stopAfterOne = [&] { return ++batches >= 1; };

    ChangeLog::PullResult first = ChangeLog::pull(t.lib.string(), t.catalog, stopAfterOne);
    EXPECT_EQ(first, (ChangeLog::PullResult{.applied = 256, .interrupted = true}));
    EXPECT_EQ(t.offset(), ends[255]);
    EXPECT_EQ(t.meta("a.wav").notes, "256");

    batches = 0;
    ChangeLog::PullResult second = ChangeLog::pull(t.lib.string(), t.catalog, stopAfterOne);
    EXPECT_EQ(second.applied, 256);
    EXPECT_EQ(t.offset(), ends[511]);
    EXPECT_EQ(t.meta("a.wav").notes, "512");

    // The last batch is shorter; the log's end stops the pull, not `stop`.
    ChangeLog::PullResult rest = ChangeLog::pull(t.lib.string(), t.catalog, [] { return false; });
    EXPECT_EQ(rest, (ChangeLog::PullResult{.applied = kLines - 512}));
    EXPECT_EQ(t.offset(), ends.back());
    EXPECT_EQ(t.meta("a.wav").notes, std::to_string(kLines));
}

// Another program holding the catalog: a short hold is waited for; a long
// one stops the pull before its first batch is stored, its offset where it
// was, nothing applied and nothing consumed.
TEST(ChangeLog, ALockedCatalogLeavesTheOffsetWhereItWas) {
    Team t;
    t.write(line(entry("a.wav", {{"DESCRIPTION", "one"}})) + line(entry("b.wav", {{"DESCRIPTION", "two"}})));
    t.catalog.setBusyTimeout(std::chrono::milliseconds(20));
    t.raw.exec("BEGIN IMMEDIATE");
    const ChangeLog::PullResult refused = ChangeLog::pull(t.lib.string(), t.catalog);
    t.raw.exec("COMMIT");
    EXPECT_EQ(refused, (ChangeLog::PullResult{.applied = 0, .failure = "database is locked"}));
    EXPECT_EQ(t.offset(), 0);
    EXPECT_EQ(t.meta("a.wav").description, "");
    EXPECT_TRUE(t.catalog.keptEdits(t.r + "/a.wav").empty());

    t.catalog.setBusyTimeout(Catalog::kBusyTimeout);
    t.raw.exec("BEGIN IMMEDIATE");
    int waits = 0;
    t.catalog.setBusyObserver([&] {
        if (waits++ == 0) t.raw.exec("COMMIT");
    });
    EXPECT_EQ(t.pull(), 2);
    EXPECT_GE(waits, 1);
    EXPECT_EQ(t.offset(), static_cast<int64_t>(fs::file_size(t.log)));
    EXPECT_EQ(t.meta("b.wav").description, "two");
}

// Every entry applied is kept apart from the row, with its time and author,
// so that a file whose modification time changes (an editor, a restore,
// touch) and is catalogued again from its own chunks keeps it.
TEST(ChangeLog, PulledEditsSurviveATouchAndARescan) {
    Team t;
    t.write(line(entry("a.wav", {{"DESCRIPTION", "From Bob"}, {"NOT_A_TAG", "x"}}, 5)));
    ASSERT_EQ(t.pull(), 1);
    const std::vector<Catalog::KeptEdit> kept = {{"DESCRIPTION", "From Bob", kTime.time_since_epoch().count(), "bob@other"},
                                                 {"RATING", "5", kTime.time_since_epoch().count(), "bob@other"}};
    EXPECT_EQ(t.catalog.keptEdits(t.r + "/a.wav"), kept);

    setMtime(t.lib / "a.wav", plusNanos(mtimeOf(t.lib / "a.wav"), 10000000));
    t.scan();
    ASSERT_EQ(t.reports.front().candidates, 1);
    EXPECT_EQ(t.meta("a.wav").description, "From Bob");
    EXPECT_EQ(t.meta("a.wav").rating, 5);
    EXPECT_EQ(t.meta("a.wav").fxName, "a");  // the rest from the file
    EXPECT_EQ(t.pull(), 0);  // nothing applied twice, nothing needed
    EXPECT_EQ(t.catalog.keptEdits(t.r + "/a.wav"), kept);
}

// A colleague's entry for a file that cannot be seen now (its row kept
// offline) changes the row's record alone; the row keeps the file's stamps
// and facts, so the file, back, is not read again and keeps the entry.
TEST(ChangeLog, AnEntryForAnOfflineFileChangesItsRowAlone) {
    Team t({"Drive/a.wav", "b.wav"});
    fs::rename(t.lib / "Drive/a.wav", t.lib / "Drive/.a.wav");  // only hidden items left
    t.scan();
    ASSERT_TRUE(t.catalog.isOffline(t.r + "/Drive/a.wav"));
    const std::optional<Catalog::Stamp> stamp = t.catalog.stamp(t.r + "/Drive/a.wav");
    t.write(line(entry("Drive/a.wav", {{"KEYWORDS", "while away"}})));
    EXPECT_EQ(t.pull(), 1);
    EXPECT_EQ(t.meta("Drive/a.wav").keywords, "while away");
    EXPECT_EQ(t.catalog.stamp(t.r + "/Drive/a.wav"), stamp);
    EXPECT_EQ(t.catalog.row(t.r + "/Drive/a.wav")->sampleRate, 48000);
    // A file that is simply missing (no row kept offline) is no target.
    fs::remove(t.lib / "b.wav");
    t.write(line(entry("b.wav", {{"KEYWORDS", "gone"}})));
    EXPECT_EQ(t.pull(), 0);

    fs::rename(t.lib / "Drive/.a.wav", t.lib / "Drive/a.wav");
    t.scan();
    EXPECT_EQ(t.reports.front().candidates, 0);
    EXPECT_FALSE(t.catalog.isOffline(t.r + "/Drive/a.wav"));
    EXPECT_EQ(t.meta("Drive/a.wav").keywords, "while away");
}
