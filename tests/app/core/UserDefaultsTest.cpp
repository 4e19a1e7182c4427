// The user-defaults file: the same INI form QSettings reads and writes, and
// whatever stands at the file's name (a FIFO, a folder, a device, links,
// huge values) neither blocks the start nor is written through.
#include "app/core/UserDefaults.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <random>

#include <fmt/format.h>

#include "app/core/SettingsStore.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

struct stat statOf(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

// Values that exercise every escape: all bytes, the INI's own marks, an
// escape followed by hex digits, blanks at the ends.
std::vector<QByteArray> awkwardValues() {
    std::vector<QByteArray> values = {"", " ", " lead", "trail ", "a,b", "k=v", "x;y", "\"quoted\"", "back\\slash",
                                      QByteArray("\0" "12", 3), "\x01" "f", "\x7f" "A", "caf\xc3\xa9",
                                      R"({"profiles":[{"name":"Room, 9.1.6"}]})", "@ByteArray(x)", "@@", "line\nbreak"};
    QByteArray all;
    for (int b = 0; b < 256; ++b) all += char(b);
    values.push_back(all);
    std::mt19937 rng(1109);
    for (int i = 0; i < 100; ++i) {
        QByteArray v;
        for (int k = int(rng() % 40); k > 0; --k) v += char(rng() % 8 == 0 ? "0aF;,= \"\\"[rng() % 10] : rng());
        values.push_back(v);
    }
    return values;
}

// Opening a FIFO for reading blocks until a writer comes: a construction
// that does so is freed by opening the FIFO for writing, and fails.
std::unique_ptr<UserDefaults> openWithin(const fs::path& file, std::chrono::seconds limit) {
    auto pending = std::async(std::launch::async, [&] { return std::make_unique<UserDefaults>(q(file)); });
    if (pending.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "reading " << file << " blocked";
        const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    return pending.get();
}

}  // namespace

TEST(UserDefaults, ReadsWhatQSettingsWroteAndWritesWhatItReads) {
    test::TempDir dir;
    const auto values = awkwardValues();
    {
        QSettings theirs(q(dir / "theirs.ini"), QSettings::IniFormat);
        for (size_t i = 0; i < values.size(); ++i) theirs.setValue(QString("key.%1").arg(i), values[i]);
        theirs.setValue("text", QString::fromUtf8("Caf\xc3\xa9, \xe2\x98\x95"));
        theirs.setValue("Section/inner key", QByteArray("x"));
        theirs.sync();
    }
    UserDefaults ours(q(dir / "theirs.ini"));
    EXPECT_TRUE(ours.problem().isEmpty());
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(ours.data(QString("key.%1").arg(i)), values[i]) << i;
    EXPECT_EQ(ours.data("text"), QByteArray("Caf\xc3\xa9, \xe2\x98\x95"));
    EXPECT_EQ(ours.data("Section/inner key"), QByteArray("x"));
    EXPECT_EQ(ours.data("missing"), std::nullopt);

    UserDefaults written(q(dir / "ours.ini"));
    for (size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(written.setData(QString("key.%1").arg(i), values[i]));
    ASSERT_TRUE(written.setData("Section/inner key", "y"));
    ASSERT_TRUE(written.removeValue("key.0"));
    QSettings back(q(dir / "ours.ini"), QSettings::IniFormat);
    EXPECT_EQ(back.status(), QSettings::NoError);
    EXPECT_FALSE(back.contains("key.0"));
    for (size_t i = 1; i < values.size(); ++i) EXPECT_EQ(back.value(QString("key.%1").arg(i)).toByteArray(), values[i]) << i;
    EXPECT_EQ(back.value("Section/inner key").toByteArray(), "y");
    UserDefaults again(q(dir / "ours.ini"));
    for (size_t i = 1; i < values.size(); ++i) EXPECT_EQ(again.data(QString("key.%1").arg(i)), values[i]) << i;
}

// A FIFO, a folder or a device at the file's name (or behind a link there):
// never opened, never written through or replaced; the defaults are used
// and the settings say so.
TEST(UserDefaults, SomethingOtherThanAFileAtTheNameIsLeftAloneAndSaid) {
    test::TempDir dir;
    struct Odd {
        const char* what;
        std::function<void(const fs::path&)> make;
    };
    std::vector<Odd> odd = {
        {"a named pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"a folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }},
    };
    // A null device node of the test's own, never the system's.
    if (::geteuid() == 0)
        odd.push_back({"a device", [](const fs::path& p) { ASSERT_EQ(::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); }});
    for (const bool behindALink : {false, true}) {
        for (const Odd& o : odd) {
            SCOPED_TRACE(std::string(o.what) + (behindALink ? " behind a link" : ""));
            const fs::path file = dir / "Quillmarsh.conf";
            const fs::path entry = behindALink ? dir / "elsewhere" : file;
            o.make(entry);
            if (behindALink) fs::create_symlink(entry, file);
            const struct stat before = statOf(entry);

            auto defaults = openWithin(file, 5s);
            EXPECT_TRUE(defaults->problem().contains(QString("is %1, not a file").arg(o.what)))
                << defaults->problem().toStdString();
            EXPECT_EQ(defaults->data("settings.v1"), std::nullopt);
            EXPECT_FALSE(defaults->setData("settings.v1", "{}"));
            EXPECT_TRUE(defaults->writeError().contains(o.what)) << defaults->writeError().toStdString();

            // Through the settings: the defaults, a message, a change kept in
            // memory and a save that says why it failed.
            auto shared = std::shared_ptr<UserDefaults>(std::move(defaults));
            SettingsStore store(shared);
            EXPECT_EQ(store.value().profiles.size(), 3u);
            EXPECT_FALSE(store.value().expertMode);
            EXPECT_TRUE(store.message().contains("the defaults are in use and changes are not saved"))
                << store.message().toStdString();
            store.update([](AppSettings& s) { s.expertMode = true; });
            EXPECT_TRUE(store.value().expertMode);
            EXPECT_TRUE(store.message().startsWith("Settings could not be saved:")) << store.message().toStdString();
            EXPECT_TRUE(store.message().contains(o.what)) << store.message().toStdString();

            const struct stat after = statOf(entry);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_rdev, before.st_rdev);
            if (behindALink) {
                EXPECT_TRUE(fs::is_symlink(file));
            }
            for (const auto& e : fs::directory_iterator(dir.path()))
                EXPECT_FALSE(e.path().filename().string().ends_with(".qm-tmp")) << e.path();
            fs::remove_all(entry);
            fs::remove(file);
        }
    }
}

// A link to a file: read through, and the file it leads to replaced whole
// (a new file under its name), the link kept.
TEST(UserDefaults, ALinkToAFileIsFollowedAndItsTargetReplacedWhole) {
    test::TempDir dir;
    fs::create_directories(dir / "dotfiles");
    {
        UserDefaults real(q(dir / "dotfiles/Quillmarsh.conf"));
        ASSERT_TRUE(real.setData("monitor.state", "{\"dim\":true}"));
    }
    ASSERT_EQ(::chmod((dir / "dotfiles/Quillmarsh.conf").c_str(), 0600), 0);
    fs::create_symlink("dotfiles/Quillmarsh.conf", dir / "Quillmarsh.conf");
    const struct stat before = statOf(dir / "dotfiles/Quillmarsh.conf");

    UserDefaults linked(q(dir / "Quillmarsh.conf"));
    EXPECT_TRUE(linked.problem().isEmpty());
    EXPECT_EQ(linked.data("monitor.state"), QByteArray("{\"dim\":true}"));
    ASSERT_TRUE(linked.setData("settings.v1", "{}")) << linked.writeError().toStdString();

    EXPECT_TRUE(fs::is_symlink(dir / "Quillmarsh.conf"));
    EXPECT_EQ(fs::read_symlink(dir / "Quillmarsh.conf"), "dotfiles/Quillmarsh.conf");
    const struct stat after = statOf(dir / "dotfiles/Quillmarsh.conf");
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written into";
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    UserDefaults again(q(dir / "dotfiles/Quillmarsh.conf"));
    EXPECT_EQ(again.data("settings.v1"), QByteArray("{}"));
    EXPECT_EQ(again.data("monitor.state"), QByteArray("{\"dim\":true}"));
}

// A value over the limit is refused at read, whether its line is long or
// its escapes make it so; the rest of the file is read.
TEST(UserDefaults, ValuesOverTheLimitAreRefusedAtRead) {
    test::TempDir dir;
    const fs::path file = dir / "Quillmarsh.conf";
    {
        std::ofstream out(file, std::ios::binary);
        out << "[General]\nmonitor.source=@ByteArray(jack:system)\n";
        out << "settings.v1=@ByteArray(" << std::string(64u << 20, 'x') << ")\n";
        out << "monitor.state=@ByteArray(" << std::string(UserDefaults::kMaxValueBytes, 's') << ")\n";
        out << "monitor.profile=@ByteArray(" << std::string(UserDefaults::kMaxValueBytes + 1, 'p') << ")\n";
        out << "settings.v1.unreadable=\"@ByteArray(";
        for (qsizetype i = 0; i <= UserDefaults::kMaxValueBytes / 2; ++i) out << "\\0,";
        out << ")\"\nlast=@ByteArray(kept)";
    }
    auto defaults = std::make_shared<UserDefaults>(q(file));
    EXPECT_EQ(defaults->data("monitor.source"), QByteArray("jack:system"));
    EXPECT_EQ(defaults->data("monitor.state")->size(), UserDefaults::kMaxValueBytes);
    EXPECT_EQ(defaults->data("last"), QByteArray("kept"));
    for (const char* key : {"settings.v1", "monitor.profile", "settings.v1.unreadable"}) {
        EXPECT_EQ(defaults->data(key), std::nullopt) << key;
        EXPECT_TRUE(defaults->problem().contains(key)) << defaults->problem().toStdString();
    }
    SettingsStore store(defaults);
    EXPECT_EQ(store.value().profiles.size(), 3u);
    EXPECT_TRUE(store.message().startsWith("Stored settings over 1 MiB were not read")) << store.message().toStdString();
}

// A file not read whole (here a document over the limit, holding the
// library folders) is kept beside the new one, byte for byte, by the first
// write, whoever makes it (a window's place); the message names the copy,
// and later writes keep nothing more.
TEST(UserDefaults, AFileNotReadWholeIsKeptBesideBeforeTheFirstWrite) {
    test::TempDir dir;
    const fs::path file = dir / "Quillmarsh.conf";
    {
        std::ofstream out(file, std::ios::binary);
        out << "[General]\nsettings.v1=@ByteArray({\"libraryRoots\":[\"/Lib\"],\"notes\":\""
            << std::string(UserDefaults::kMaxValueBytes, 'x') << "\"})\n";
    }
    std::ifstream in(file, std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto defaults = std::make_shared<UserDefaults>(q(file));
    SettingsStore store(defaults);
    EXPECT_TRUE(store.value().libraryRoots.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);  // nothing at load

    defaults->setData("window.main.geometry", "g");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string name = fmt::format("Quillmarsh.conf.unread-{:04d}-{:02d}-{:02d}", local.tm_year + 1900,
                                         local.tm_mon + 1, local.tm_mday);
    ASSERT_EQ(defaults->keptCopy(), dir / name);
    std::ifstream kept(dir / name, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), before);
    EXPECT_TRUE(store.message().startsWith("Stored settings over 1 MiB were not read (settings.v1)"))
        << store.message().toStdString();
    EXPECT_TRUE(store.message().endsWith(QString::fromStdString(
        fmt::format(" The settings file as it was is kept as \"{}\".", name))))
        << store.message().toStdString();

    store.update([](AppSettings& s) { s.autoPlay = !s.autoPlay; });
    EXPECT_FALSE(fs::exists(dir / (name + "-2")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}
