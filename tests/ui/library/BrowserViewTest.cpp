#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include "app/DBusStandIn.h"
#include "app/core/FileReveal.h"
#include "app/library/LibraryFixture.h"
#include "app/player/PlayerFixture.h"
#include "app/shell/AppActions.h"
#include "library/InfoCache.h"
#include "ui/UiTestSupport.h"
#include "ui/library/BrowserTableModel.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"
#include "ui/library/InfoText.h"
#include "ui/widgets/FileDrag.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

class RecordingActions : public AppActions {
public:
    void openEditor(const fs::path& url) override { editor.push_back(url); }
    void makeTempEdits(const std::vector<fs::path>& urls) override { tempEdits.push_back(urls); }
    void addLibraryFolder() override {}
    void requestAccessibility() override {}
    void openAutomationSettings() override {}
    bool axTrusted() const override { return true; }
    bool automationDenied() const override { return false; }
    std::vector<fs::path> editor;
    std::vector<std::vector<fs::path>> tempEdits;
};

class RecordingReveal : public FileReveal {
public:
    void reveal(const std::vector<fs::path>& items) override { revealed.push_back(items); }
    std::vector<std::vector<fs::path>> revealed;
};

// Reads through the real reader, counted.
struct CountedCache {
    std::shared_ptr<std::atomic<int>> reads = std::make_shared<std::atomic<int>>(0);
    InfoCache cache{InfoCache::kDefaultLimit, [reads = reads](const fs::path& url) -> std::optional<AudioFileInfo> {
                        ++*reads;
                        try {
                            return AudioFileInfo::load(url);
                        } catch (const std::exception&) {
                            return std::nullopt;
                        }
                    }};
};

// A library root "Lib" with two folders (one named like a WAV file), three
// catalogued WAV files with metadata on the first, a file the scan could not
// read; a folder "Outside" of uncatalogued files; the player on the null
// output; the view over all of it.
struct BrowserFixture {
    LibraryFixture lib{{"Lib"}};
    Player player;
    fs::path a, b, c, broken, outside, loose, unreadable;
    std::unique_ptr<LibraryModel> library;
    FileSelection selection;
    RecordingActions actions;
    RecordingReveal reveal;
    CountedCache counted;
    std::unique_ptr<BrowserView> view;
    // The file the player holds each time it starts playing, and the start frame.
    std::vector<std::pair<fs::path, double>> plays;

    BrowserFixture() {
        a = lib.lib / "a.wav";
        b = lib.lib / "b.wav";
        c = lib.lib / "c.wav";
        writeTestFile(a, 2, 588000, 48000);  // 12.25 s, 24-bit stereo
        writeTestFile(b, 1, 4800, 44100, {.bits = 16});
        writeTestFile(c, 2, 4800, 48000);
        broken = lib.put(lib.lib / "broken.wav", "this is no audio file");
        fs::create_directories(lib.lib / "Sub");
        lib.put(lib.lib / "Sub/d.wav");
        fs::create_directories(lib.lib / "x.wav");
        outside = lib.dir / "Outside";
        fs::create_directories(outside);
        loose = outside / "loose.wav";
        writeTestFile(loose, 1, 4800, 48000, {.bits = 16});
        unreadable = lib.put(outside / "unreadable.wav", "garbage");
        library = lib.model();
        EXPECT_TRUE(waitUntil([&] { return LibraryFixture::settled(*library) && library->indexedCount() >= 4; }));
        library->save({{"DESCRIPTION", "Wind in pines"}, {"CATEGORY", "AMBIENCE"}, {"SUBCATEGORY", "FOREST"},
                       {"LIBRARY", "Field Kit"}},
                      std::nullopt, {a});
        EXPECT_TRUE(waitUntil([&] { return LibraryFixture::settled(*library); }));
        library->open(lib.lib);
        view = std::make_unique<BrowserView>(*library, player.model, *lib.settings, selection, actions, reveal);
        view->tableModel()->setInfoCache(&counted.cache);
        view->resize(1100, 420);
        view->show();
        QObject::connect(&player.model, &PlayerModel::isPlayingChanged, [this] {
            if (player.model.isPlaying() && player.model.info())
                plays.emplace_back(player.model.info()->url, player.model.playhead()->frame());
        });
    }
    ~BrowserFixture() { view.reset(); }

    bool wait(const std::function<bool()>& cond) { return player.wait(cond); }
    void setAutoPlay(bool on) {
        lib.settings->update([&](AppSettings& s) { s.autoPlay = on; });
    }
    BrowserTableModel& model() { return *view->tableModel(); }
    QTableView& table() { return *view->table(); }
    int rowOf(const fs::path& url) {
        for (int r = 0; r < model().rowCount(); ++r)
            if (model().entry(r)->url == url) return r;
        return -1;
    }
    // The file names of the rows, in the table's order.
    std::vector<std::string> rowNames() {
        std::vector<std::string> names;
        for (int r = 0; r < model().rowCount(); ++r) names.push_back(model().entry(r)->url.filename().string());
        return names;
    }
    QPoint centre(int row) { return table().visualRect(model().index(row, 0)).center(); }
    void click(const fs::path& url, Qt::KeyboardModifiers mods = {}) {
        const int row = rowOf(url);
        ASSERT_GE(row, 0) << url;
        QTest::mouseClick(table().viewport(), Qt::LeftButton, mods, centre(row));
    }
    QString cell(const fs::path& url, int column) {
        return model().data(model().index(rowOf(url), column)).toString();
    }
    // Opens the context menu on a row (or the empty area below the rows).
    QMenu* menuAt(std::optional<fs::path> url) {
        const QPoint pos = url ? centre(rowOf(*url)) : QPoint(10, table().viewport()->height() - 4);
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, table().viewport()->mapToGlobal(pos));
        QApplication::sendEvent(table().viewport(), &event);
        return view->openMenu();
    }
    static QAction* item(QMenu* menu, const char* name) { return menu->findChild<QAction*>(name); }
};

std::vector<fs::path> urls(const QMimeData* mime) {
    std::vector<fs::path> out;
    if (mime)
        for (const QUrl& u : mime->urls()) out.emplace_back(u.toLocalFile().toStdString());
    return out;
}

}  // namespace

TEST(InfoText, Texts) {
    BrowserEntry folder{"/m/Sub", true, std::nullopt};
    Catalog::Row row;
    row.sampleRate = 48000;
    row.bits = 24;
    row.channels = 2;
    row.codec = "PCM";
    row.duration = 12.25;
    BrowserEntry catalogued{"/m/a.wav", false, row};
    Catalog::Row zero = row;
    zero.sampleRate = 0;
    BrowserEntry unread{"/m/z.wav", false, zero};
    Catalog::Row huge = row;
    huge.duration = 1e300;
    BrowserEntry damaged{"/m/h.wav", false, huge};
    Catalog::Row nan = row;
    nan.duration = std::numeric_limits<double>::quiet_NaN();
    BrowserEntry notANumber{"/m/n.wav", false, nan};
    BrowserEntry loose{"/o/l.wav", false, std::nullopt};
    BrowserEntry offline{"/m/gone.wav", false, row, true};
    BrowserEntry offlineFolder{"/m/Drive", true, std::nullopt, true};
    AudioFileInfo info;
    info.sampleRate = 44100;
    info.channels = 1;
    info.frames = 44100 * 75 + 22050;
    info.bitDepth = 16;
    info.codec = "PCM";
    AudioFileInfo noRate = info;
    noRate.sampleRate = 0;

    using K = InfoText::Kind;
    struct Case {
        const char* name;
        BrowserEntry entry;
        std::optional<AudioFileInfo> info;
        QString duration, format;
    };
    const Case cases[] = {
        {"folder", folder, std::nullopt, "", ""},
        {"catalogued", catalogued, std::nullopt, "0:12.250", QString::fromUtf8("48 kHz · 24-bit · 2 ch")},
        {"row wins over facts", catalogued, info, "0:12.250", QString::fromUtf8("48 kHz · 24-bit · 2 ch")},
        {"zero-rate row", unread, std::nullopt, "", ""},
        {"duration too large", damaged, std::nullopt, "0:00.000", QString::fromUtf8("48 kHz · 24-bit · 2 ch")},
        {"duration not a number", notANumber, std::nullopt, "0:00.000", QString::fromUtf8("48 kHz · 24-bit · 2 ch")},
        {"not read yet", loose, std::nullopt, "", ""},
        {"read", loose, info, "1:15.500", QString::fromUtf8("44.1 kHz · 16-bit · mono")},
        {"read, no rate", loose, noRate, "0:00.000", QString::fromStdString(noRate.summary())},
        {"offline", offline, info, "0:12.250", "Offline"},
        {"offline folder", offlineFolder, std::nullopt, "", "Offline"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(InfoText::text(c.entry, K::duration, c.info), c.duration);
        EXPECT_EQ(InfoText::text(c.entry, K::format, c.info), c.format);
    }
    EXPECT_FALSE(InfoText::needsRead(folder));
    EXPECT_FALSE(InfoText::needsRead(unread));
    EXPECT_TRUE(InfoText::needsRead(loose));
    EXPECT_FALSE(InfoText::needsRead(BrowserEntry{"/m/gone.wav", false, std::nullopt, true}));
}

TEST(BrowserView, CategoryAndHeaderTexts) {
    auto entry = [](std::string category, std::string sub) {
        Catalog::Row row;
        SoundMeta meta;
        meta.category = std::move(category);
        meta.subCategory = std::move(sub);
        row.setMeta(std::move(meta));
        return BrowserEntry{"/f.wav", false, row};
    };
    EXPECT_EQ(BrowserView::categoryText(entry("AMBIENCE", "FOREST")), QString::fromUtf8("AMBIENCE · FOREST"));
    EXPECT_EQ(BrowserView::categoryText(entry("AMBIENCE", "")), "AMBIENCE");
    EXPECT_EQ(BrowserView::categoryText(entry("", "FOREST")), "FOREST");
    EXPECT_EQ(BrowserView::categoryText(entry("", "")), "");
    EXPECT_EQ(BrowserView::categoryText(BrowserEntry{"/f.wav", false, std::nullopt}), "");
    EXPECT_EQ(BrowserView::resultsText(0, QLocale(QLocale::English)), "0 results");
    EXPECT_EQ(BrowserView::resultsText(12345, QLocale(QLocale::English)), "12,345 results");
    EXPECT_EQ(BrowserView::resultsText(12345, QLocale(QLocale::German)), "12.345 results");
    EXPECT_EQ(BrowserView::tempEditsTitle(0), "Make Temp Edits");
    EXPECT_EQ(BrowserView::tempEditsTitle(1), "Make Temp Edits");
    EXPECT_EQ(BrowserView::tempEditsTitle(3), "Make Temp Edits (3 files)");
}

TEST(BrowserView, CellsOfTheFolder) {
    BrowserFixture f;
    // a.wav is emptied on disk: its cells can only come from its row.
    ASSERT_TRUE(f.wait([&] { return f.rowOf(f.a) >= 0 && f.model().entry(f.rowOf(f.a))->row; }));
    std::filesystem::resize_file(f.a, 0);
    using C = BrowserTableModel;
    EXPECT_EQ(f.cell(f.a, C::name), "a.wav");
    EXPECT_EQ(f.cell(f.a, C::description), "Wind in pines");
    EXPECT_EQ(f.cell(f.a, C::category), QString::fromUtf8("AMBIENCE · FOREST"));
    EXPECT_EQ(f.cell(f.a, C::library), "Field Kit");
    EXPECT_EQ(f.cell(f.a, C::length), "0:12.250");
    EXPECT_EQ(f.cell(f.a, C::format), QString::fromUtf8("48 kHz · 24-bit · 2 ch"));
    // A catalogued row without metadata, a folder, a row of an unreadable file.
    EXPECT_EQ(f.cell(f.b, C::description), "");
    EXPECT_EQ(f.cell(f.b, C::category), "");
    EXPECT_EQ(f.cell(f.lib.lib / "Sub", C::length), "");
    EXPECT_EQ(f.cell(f.lib.lib / "Sub", C::format), "");
    const BrowserEntry* broken = f.model().entry(f.rowOf(f.broken));
    ASSERT_TRUE(broken && broken->row);
    EXPECT_EQ(broken->row->sampleRate, 0);
    EXPECT_EQ(f.cell(f.broken, C::length), "");
    // The folder named like a WAV file is listed as a folder.
    const BrowserEntry* xwav = f.model().entry(f.rowOf(f.lib.lib / "x.wav"));
    ASSERT_TRUE(xwav);
    EXPECT_TRUE(xwav->isFolder);
    savePng(*f.view, "browser-folder");
    f.model().waitForReads();
    QApplication::processEvents();
    EXPECT_EQ(*f.counted.reads, 0);
    EXPECT_EQ(f.model().requests(), 0);
}

TEST(BrowserView, UncataloguedFilesAreReadOncePerListing) {
    BrowserFixture f;
    f.library->open(f.outside);
    ASSERT_GE(f.rowOf(f.loose), 0);
    using C = BrowserTableModel;
    // No row: empty Description, Category and Library cells.
    for (int column : {C::description, C::category, C::library}) EXPECT_EQ(f.cell(f.loose, column), "");
    // Empty at first; the read is asked once, whatever the repaints.
    EXPECT_EQ(f.cell(f.loose, C::length), "");
    f.cell(f.loose, C::format);
    f.table().viewport()->repaint();
    ASSERT_TRUE(f.wait([&] { return f.cell(f.loose, C::length) == "0:00.100"; }));
    EXPECT_EQ(f.cell(f.loose, C::format), QString::fromUtf8("48 kHz · 16-bit · mono"));
    EXPECT_TRUE(f.wait([&] { return f.model().requests() == 2; }));
    f.model().waitForReads();
    QApplication::processEvents();
    EXPECT_EQ(f.cell(f.unreadable, C::length), "");
    EXPECT_EQ(*f.counted.reads, 2);
    // A new listing asks again; the cache answers the readable file, the
    // unreadable one is read again.
    f.library->open(f.lib.lib);
    f.library->open(f.outside);
    ASSERT_TRUE(f.wait([&] { return f.rowOf(f.loose) >= 0; }));
    f.table().viewport()->repaint();
    f.model().waitForReads();
    ASSERT_TRUE(f.wait([&] { return f.cell(f.loose, C::length) == "0:00.100"; }));
    EXPECT_EQ(*f.counted.reads, 3);
    EXPECT_EQ(f.cell(f.unreadable, C::format), "");
}

TEST(BrowserView, ReadsOfRowsThatLeftTheScreenAreDropped) {
    BrowserFixture f;
    for (int i = 0; i < 300; ++i) f.lib.put(f.outside / ("many" + std::to_string(1000 + i) + ".wav"));
    // The first read waits for the test, so later requests queue behind it.
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> reads{0};
    InfoCache gated(100, [&](const fs::path& url) -> std::optional<AudioFileInfo> {
        if (reads++ == 0) {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return released; });
        }
        AudioFileInfo info;
        info.url = url;
        info.sampleRate = 48000;
        info.channels = 1;
        info.frames = 4800;
        return info;
    });
    f.model().setInfoCache(&gated);
    f.library->open(f.outside);
    ASSERT_TRUE(f.wait([&] { return f.model().rowCount() == 302; }));
    f.table().viewport()->repaint();
    const int firstScreen = f.model().requests();
    ASSERT_GT(firstScreen, 5);
    ASSERT_LT(firstScreen, 60);
    // The first read holds the worker; scroll to the end before the other
    // requests get their turn.
    ASSERT_TRUE(f.wait([&] { return reads.load() == 1; }));
    f.table().verticalScrollBar()->setValue(f.table().verticalScrollBar()->maximum());
    QApplication::processEvents();
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_all();
    f.model().waitForReads();
    f.table().viewport()->repaint();
    f.model().waitForReads();
    QApplication::processEvents();
    // Only the first request and those of the rows on screen were read.
    EXPECT_EQ(f.model().dropped(), firstScreen - 1);
    EXPECT_EQ(reads.load(), f.model().requests() - f.model().dropped());
    const int last = f.model().rowCount() - 1;
    EXPECT_EQ(f.model().data(f.model().index(last, BrowserTableModel::length)).toString(), "0:00.100");
    // Rows that come back on screen are asked again.
    f.table().verticalScrollBar()->setValue(0);
    f.table().viewport()->repaint();
    f.model().waitForReads();
    ASSERT_TRUE(f.wait([&] { return f.model().data(f.model().index(1, BrowserTableModel::length)).toString() == "0:00.100"; }));
    f.model().setInfoCache(&f.counted.cache);
}

TEST(BrowserView, SelectingAuditions) {
    BrowserFixture f;
    f.setAutoPlay(true);
    // One folder: the player is not touched.
    f.click(f.lib.lib / "Sub");
    EXPECT_EQ(f.selection.urls(), std::vector<fs::path>{f.lib.lib / "Sub"});
    settle(100ms);
    EXPECT_EQ(f.player.model.loadGen(), 0u);
    // One WAV file: loaded, and played with auto-play on.
    f.click(f.a);
    ASSERT_TRUE(f.wait([&] { return f.player.model.isPlaying(); }));
    EXPECT_EQ(f.player.model.info()->url, f.a);
    // Two files: the player stays on the file it has.
    f.player.model.stopPlayback();
    const uint64_t gen = f.player.model.loadGen();
    f.click(f.b, Qt::ControlModifier);
    EXPECT_EQ(f.selection.urls(), (std::vector<fs::path>{f.a, f.b}));
    settle(100ms);
    EXPECT_EQ(f.player.model.loadGen(), gen);
    EXPECT_EQ(f.player.model.info()->url, f.a);
    // Auto-play off: a single file is loaded and stays stopped.
    f.setAutoPlay(false);
    f.click(f.c);
    ASSERT_TRUE(f.wait([&] { return f.player.model.info() && f.player.model.info()->url == f.c; }));
    settle(100ms);
    EXPECT_FALSE(f.player.model.isPlaying());
}

TEST(BrowserView, ReturnAndSpace) {
    BrowserFixture f;
    f.setAutoPlay(false);
    f.click(f.a);
    ASSERT_TRUE(f.wait([&] { return f.player.model.info() && f.player.model.info()->url == f.a; }));
    // Cue somewhere else: Return plays from the first frame all the same.
    f.player.model.seek(24000);
    f.player.model.stopPlayback();
    f.plays.clear();
    f.table().setFocus();
    QTest::keyClick(&f.table(), Qt::Key_Return);
    ASSERT_TRUE(f.wait([&] { return f.player.model.isPlaying(); }));
    ASSERT_EQ(f.plays.size(), 1u);
    EXPECT_EQ(f.plays[0], std::make_pair(f.a, 0.0));
    // Space stops and starts.
    QTest::keyClick(&f.table(), Qt::Key_Space);
    EXPECT_TRUE(f.wait([&] { return !f.player.model.isPlaying(); }));
    QTest::keyClick(&f.table(), Qt::Key_Space);
    EXPECT_TRUE(f.wait([&] { return f.player.model.isPlaying(); }));
    f.player.model.stopPlayback();

    // Return on a folder clears the search text and opens it; the selection
    // goes with the folder change.
    f.library->setQuery("wind");
    f.library->setQuery("");
    f.click(f.lib.lib / "Sub");
    f.library->setQuery("  ");  // blank: still the folder listing
    QTest::keyClick(&f.table(), Qt::Key_Return);
    EXPECT_EQ(f.library->query(), "");
    EXPECT_EQ(f.library->folder(), std::optional<fs::path>(f.lib.lib / "Sub"));
    EXPECT_TRUE(f.selection.empty());
    // Return with nothing selected does nothing.
    const uint64_t gen = f.player.model.loadGen();
    QTest::keyClick(&f.table(), Qt::Key_Return);
    EXPECT_EQ(f.library->folder(), std::optional<fs::path>(f.lib.lib / "Sub"));
    EXPECT_EQ(f.player.model.loadGen(), gen);

    // A folder named x.wav is activated as a file: the player tries it.
    f.library->goUp();
    ASSERT_TRUE(f.wait([&] { return f.rowOf(f.lib.lib / "x.wav") >= 0; }));
    f.click(f.lib.lib / "x.wav");
    QTest::keyClick(&f.table(), Qt::Key_Return);
    EXPECT_TRUE(f.wait([&] { return f.player.model.message() == std::string("Can't read x.wav"); }));
    EXPECT_EQ(f.library->folder(), std::optional<fs::path>(f.lib.lib));
}

TEST(BrowserView, ActivatedFilePlaysOnceLoaded) {
    BrowserFixture f;
    f.setAutoPlay(false);
    ASSERT_TRUE(f.player.load(f.a));
    // b is not loaded yet: a must not play in its place.
    f.view->activate(f.b);
    EXPECT_FALSE(f.player.model.isPlaying());
    ASSERT_TRUE(f.wait([&] { return f.player.model.isPlaying(); }));
    ASSERT_EQ(f.plays.size(), 1u);
    EXPECT_EQ(f.plays[0], std::make_pair(f.b, 0.0));
    f.player.model.stopPlayback();

    // Overtaken by another load: the request is dropped.
    f.plays.clear();
    f.view->activate(f.c);
    f.player.model.load(f.a, false);
    ASSERT_TRUE(f.wait([&] { return !f.player.model.isLoading(); }));
    settle(150ms);
    EXPECT_TRUE(f.plays.empty());
    EXPECT_EQ(f.player.model.info()->url, f.a);

    // A listed file deleted before activation: the player's message, and
    // the file it held does not play.
    fs::remove(f.c);
    f.click(f.c);
    QTest::keyClick(&f.table(), Qt::Key_Return);
    EXPECT_TRUE(f.wait([&] { return f.player.model.message() == std::string("Can't read c.wav"); }));
    settle(150ms);
    EXPECT_TRUE(f.plays.empty());
}

TEST(BrowserView, SelectionSurvivesRefreshesAndGoesWithTheFolder) {
    BrowserFixture f;
    f.setAutoPlay(false);
    f.click(f.a);
    ASSERT_TRUE(f.wait([&] { return f.player.model.info() && f.player.model.info()->url == f.a; }));
    const uint64_t gen = f.player.model.loadGen();
    int changes = 0;
    QObject::connect(&f.selection, &FileSelection::changed, [&] { ++changes; });
    // A save refreshes the listing: the row is marked again, and nothing is
    // reloaded.
    const BrowserList before = f.library->entries();
    f.library->save({{"DESCRIPTION", "Pines, closer"}}, std::nullopt, {f.a});
    ASSERT_TRUE(f.wait([&] { return !f.library->entries().sameList(before) && LibraryFixture::settled(*f.library); }));
    EXPECT_EQ(f.cell(f.a, BrowserTableModel::description), "Pines, closer");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(f.player.model.loadGen(), gen);
    const auto rows = f.table().selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].row(), f.rowOf(f.a));
    // Searching and back: still selected.
    f.library->setQuery("pines");
    ASSERT_TRUE(f.wait([&] { return f.model().rowCount() == 1; }));
    EXPECT_EQ(f.table().selectionModel()->selectedRows().size(), 1);
    f.library->setQuery("");
    ASSERT_TRUE(f.wait([&] { return f.model().list().sameList(f.library->entries()); }));
    EXPECT_EQ(f.selection.urls(), std::vector<fs::path>{f.a});
    // A folder change empties it.
    f.library->open(f.lib.lib / "Sub");
    EXPECT_TRUE(f.selection.empty());
    EXPECT_EQ(f.player.model.loadGen(), gen);
}

TEST(BrowserView, HeaderWhileSearching) {
    BrowserFixture f;
    auto* up = f.view->findChild<QToolButton*>("up");
    auto* count = f.view->findChild<QLabel*>("resultCount");
    ASSERT_TRUE(up && count);
    EXPECT_TRUE(up->isEnabled());
    EXPECT_EQ(up->toolTip(), "Enclosing folder");
    EXPECT_EQ(f.view->searchField()->placeholderText(),
              "Search sounds, descriptions, keywords  (-word excludes)");
    EXPECT_LE(f.view->searchField()->maximumWidth(), 340);
    // The up button opens the parent folder.
    f.library->open(f.lib.lib / "Sub");
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(f.library->folder(), std::optional<fs::path>(f.lib.lib));

    // A query of only quotes and hyphens: typed and searched like any
    // other (it holds no word, so it filters nothing), the header counts.
    f.table().setFocus();
    QTest::keyClicks(f.view->searchField(), "\"--\" -\"");
    EXPECT_EQ(f.library->query(), "\"--\" -\"");
    ASSERT_TRUE(f.wait([&] { return f.lib.searches > 0 && f.model().list().sameList(f.library->results()); }));
    EXPECT_FALSE(up->isEnabled());
    EXPECT_TRUE(count->isVisible());
    EXPECT_EQ(count->text(), BrowserView::resultsText(qint64(f.library->results().size()), QLocale()));
    // No hits.
    f.view->searchField()->setText("zzqxw");
    ASSERT_TRUE(f.wait([&] { return f.library->results().empty() && f.model().list().sameList(f.library->results()); }));
    EXPECT_EQ(count->text(), "0 results");
    EXPECT_EQ(f.model().rowCount(), 0);
    EXPECT_FALSE(up->isEnabled());
    f.view->searchField()->clear();
    EXPECT_EQ(f.library->query(), "");

    // Chips: one per filter set; a click clears that filter only.
    f.library->setCategory(QString("AMBIENCE"));
    f.library->setLibraryFilter(QString("Field Kit"));
    ASSERT_TRUE(f.wait([&] { return f.model().rowCount() == 1 && f.model().list().sameList(f.library->results()); }));
    auto* categoryChip = f.view->findChild<QAbstractButton*>("categoryChip");
    auto* libraryChip = f.view->findChild<QAbstractButton*>("libraryChip");
    ASSERT_TRUE(categoryChip && libraryChip);
    EXPECT_EQ(categoryChip->text(), "AMBIENCE");
    EXPECT_EQ(libraryChip->text(), "Field Kit");
    EXPECT_EQ(count->text(), "1 results");
    savePng(*f.view, "browser-search-chips");
    QTest::mouseClick(categoryChip, Qt::LeftButton);
    EXPECT_TRUE(f.wait([&] { return !f.library->category(); }));
    EXPECT_EQ(f.library->libraryFilter(), std::optional<QString>("Field Kit"));
    EXPECT_EQ(f.view->findChild<QAbstractButton*>("categoryChip"), nullptr);
    EXPECT_NE(f.view->findChild<QAbstractButton*>("libraryChip"), nullptr);
}

// A query longer than a search takes: a mark at the end of the field says
// how much of it is searched.
TEST(BrowserView, TheSearchFieldSaysWhatOfALongQueryIsSearched) {
    BrowserFixture f;
    QAction* mark = f.view->searchNoteMark();
    ASSERT_TRUE(mark);
    EXPECT_FALSE(mark->isVisible());
    QString words;
    for (int i = 0; i < 40; ++i) words += QStringLiteral("wind ");
    f.view->searchField()->setText(words);
    ASSERT_TRUE(f.wait([&] { return f.model().list().sameList(f.library->results()) && f.model().rowCount() == 1; }));
    EXPECT_TRUE(mark->isVisible());
    EXPECT_EQ(mark->toolTip(), "Only the first 32 words are searched");
    EXPECT_EQ(f.view->searchField()->toolTip(), "Only the first 32 words are searched");
    savePng(*f.view, "browser-search-note");
    f.view->searchField()->setText("wind");
    EXPECT_FALSE(mark->isVisible());
    EXPECT_EQ(f.view->searchField()->toolTip(), "");
}

TEST(BrowserView, TheColumnsFillTheTableAndEveryColumnSorts) {
    BrowserFixture f;
    QHeaderView* header = f.table().horizontalHeader();
    const auto totalWidth = [&] {
        int sum = 0;
        for (int c = 0; c < BrowserTableModel::columnCount_; ++c) sum += header->sectionSize(c);
        return sum;
    };
    // The columns fill the table, the name whole.
    for (int width : {1100, 1700}) {
        f.view->resize(width, 420);
        QApplication::processEvents();
        EXPECT_EQ(totalWidth(), f.table().viewport()->width()) << width;
        EXPECT_GE(header->sectionSize(BrowserTableModel::name),
                  static_cast<QAbstractItemView&>(f.table()).sizeHintForColumn(BrowserTableModel::name));
    }

    // The list's own order first: folders, then files by name.
    const std::vector<std::string> listed = {"Sub", "x.wav", "a.wav", "b.wav", "broken.wav", "c.wav"};
    EXPECT_EQ(f.rowNames(), listed);
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    f.click(f.b);
    // By length, the title clicked once, twice and a third time; folders
    // stay first, an unreadable file counts as the shortest.
    const auto clickTitle = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 10, header->height() / 2));
        QApplication::processEvents();
    };
    clickTitle(BrowserTableModel::length);
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Sub", "x.wav", "broken.wav", "c.wav", "b.wav", "a.wav"}));
    EXPECT_EQ(f.table().selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(f.model().entry(f.table().selectionModel()->selectedRows()[0].row())->url, f.b)
        << "the selection goes with its file";
    EXPECT_EQ(f.selection.urls(), std::vector<fs::path>{f.b}) << "sorting is no change of the selection";
    clickTitle(BrowserTableModel::length);
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Sub", "x.wav", "a.wav", "b.wav", "c.wav", "broken.wav"}));
    clickTitle(BrowserTableModel::length);
    EXPECT_EQ(f.rowNames(), listed) << "a third click goes back to the list's own order";

    // Every column: names (numbers by value) and texts as the locale
    // sorts them, the format by rate and channels.
    header->setSortIndicator(BrowserTableModel::name, Qt::DescendingOrder);
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"x.wav", "Sub", "c.wav", "broken.wav", "b.wav", "a.wav"}));
    header->setSortIndicator(BrowserTableModel::description, Qt::DescendingOrder);
    EXPECT_EQ(f.rowNames()[2], "a.wav") << "the one description first";
    header->setSortIndicator(BrowserTableModel::category, Qt::DescendingOrder);
    EXPECT_EQ(f.rowNames()[2], "a.wav");
    header->setSortIndicator(BrowserTableModel::library, Qt::DescendingOrder);
    EXPECT_EQ(f.rowNames()[2], "a.wav");
    header->setSortIndicator(BrowserTableModel::format, Qt::AscendingOrder);
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Sub", "x.wav", "broken.wav", "b.wav", "a.wav", "c.wav"}))
        << "a and c have the same format: the list's order between them";
    // The cells go with their rows.
    for (int r = 0; r < f.model().rowCount(); ++r)
        EXPECT_EQ(f.model().data(f.model().index(r, BrowserTableModel::name)).toString(),
                  QString::fromStdString(f.model().entry(r)->url.filename().string()));

    // The chosen order holds for the next list; back to the list's own
    // order, the folder lists as it did, and search hits come in the
    // search's ranking.
    header->setSortIndicator(BrowserTableModel::length, Qt::DescendingOrder);
    f.library->open(f.lib.lib / "Sub");
    f.library->open(f.lib.lib);
    ASSERT_TRUE(f.wait([&] { return f.model().list().sameList(f.library->entries()) && f.model().rowCount() == 6; }));
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Sub", "x.wav", "a.wav", "b.wav", "c.wav", "broken.wav"}));
    header->setSortIndicator(-1, Qt::AscendingOrder);
    EXPECT_EQ(f.rowNames(), listed);
    f.view->searchField()->setText("Wind");
    ASSERT_TRUE(f.wait([&] { return !f.library->results().empty() && f.model().list().sameList(f.library->results()); }));
    for (int r = 0; r < f.model().rowCount(); ++r)
        EXPECT_EQ(f.model().entry(r)->url, f.library->results()[static_cast<size_t>(r)].url);
}

TEST(BrowserView, SortedByLengthOrFormatTheRowsMoveAsTheirFactsArrive) {
    BrowserFixture f;
    // Uncatalogued files of many lengths, rates and widths, more than the
    // table shows, named in another order than their lengths.
    struct Facts {
        std::string name;
        double seconds;
        double rate;
        int channels;
    };
    std::vector<Facts> files = {{"loose.wav", 0.1, 48000, 1}, {"unreadable.wav", -1, 0, 0}};
    for (int i = 0; i < 30; ++i) {
        const Facts facts{"take " + std::to_string((i * 7) % 30 + 10) + ".wav", 480.0 * (i + 1) / (i % 2 ? 44100 : 48000),
                          i % 2 ? 44100.0 : 48000.0, i % 3 == 0 ? 2 : 1};
        writeTestFile(f.outside / facts.name, facts.channels, 480 * (i + 1), facts.rate, {.bits = 16});
        files.push_back(facts);
    }
    // The facts wait until the rows are sorted.
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    InfoCache gated(100, [&](const fs::path& url) -> std::optional<AudioFileInfo> {
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return released; });
        }
        try {
            return AudioFileInfo::load(url);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    });
    f.model().setInfoCache(&gated);
    f.library->open(f.outside);
    ASSERT_TRUE(f.wait([&] { return f.model().rowCount() == static_cast<int>(files.size()); }));
    f.table().viewport()->repaint();
    const fs::path chosen = f.outside / files[5].name;
    f.click(chosen);
    ASSERT_EQ(f.selection.urls(), std::vector<fs::path>{chosen});

    // Longest first; the unreadable file, with no length, last.
    f.table().horizontalHeader()->setSortIndicator(BrowserTableModel::length, Qt::DescendingOrder);
    std::sort(files.begin(), files.end(), [](const Facts& a, const Facts& b) { return a.seconds > b.seconds; });
    std::vector<std::string> longestFirst;
    for (const Facts& facts : files) longestFirst.push_back(facts.name);
    ASSERT_NE(f.rowNames(), longestFirst) << "nothing known yet";
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_all();
    EXPECT_TRUE(f.wait([&] { return f.rowNames() == longestFirst; })) << "also the rows never shown";
    // The selection and the current row went with their file.
    const auto selected = f.table().selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(f.model().entry(selected[0].row())->url, chosen);
    EXPECT_EQ(f.model().entry(f.table().currentIndex().row())->url, chosen);
    EXPECT_EQ(f.selection.urls(), std::vector<fs::path>{chosen});

    // By format: rate, then channels, from the facts read.
    f.table().horizontalHeader()->setSortIndicator(BrowserTableModel::format, Qt::AscendingOrder);
    std::map<std::string, std::pair<double, int>> format;
    for (const Facts& facts : files) format[facts.name] = {facts.rate, facts.channels};
    const auto byFormat = f.rowNames();
    EXPECT_TRUE(std::is_sorted(byFormat.begin(), byFormat.end(),
                               [&](const std::string& a, const std::string& b) { return format[a] < format[b]; }));
    f.model().waitForReads();
    f.model().setInfoCache(&f.counted.cache);
}

TEST(BrowserView, MessageInTheHeader) {
    BrowserFixture f;
    // The save of the fixture left its message: on a line of its own, at
    // the desktop's text size, whole.
    auto* message = f.view->findChild<QLabel*>("libraryMessage");
    ASSERT_TRUE(message);
    ASSERT_TRUE(f.library->message());
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), *f.library->message());
    EXPECT_EQ(QFontInfo(message->font()).pixelSize(), QFontInfo(QApplication::font()).pixelSize());
    EXPECT_TRUE(message->wordWrap());
    EXPECT_GE(message->width(), f.view->width() / 2) << "the width of the list, not a corner of the header";
    savePng(*f.view, "browser-message");
}

TEST(BrowserView, ContextMenu) {
    BrowserFixture f;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText("kept");

    // The empty area: nothing to open, temp edits of nothing, the clipboard
    // left alone.
    QMenu* menu = f.menuAt(std::nullopt);
    ASSERT_TRUE(menu);
    EXPECT_FALSE(BrowserFixture::item(menu, "openInEditor")->isEnabled());
    QAction* temp = BrowserFixture::item(menu, "makeTempEdits");
    EXPECT_TRUE(temp->isEnabled());
    EXPECT_EQ(temp->text(), "Make Temp Edits");
    temp->trigger();
    ASSERT_EQ(f.actions.tempEdits.size(), 1u);
    EXPECT_TRUE(f.actions.tempEdits[0].empty());
    BrowserFixture::item(menu, "copyPath")->trigger();
    EXPECT_EQ(clipboard->text(), "kept");
    menu->close();

    // One file: opens in the editor; its path is copied without a line break.
    menu = f.menuAt(f.a);
    QAction* editor = BrowserFixture::item(menu, "openInEditor");
    EXPECT_TRUE(editor->isEnabled());
    editor->trigger();
    EXPECT_EQ(f.actions.editor, std::vector<fs::path>{f.a});
    BrowserFixture::item(menu, "copyPath")->trigger();
    EXPECT_EQ(clipboard->text(), QString::fromStdString(f.a.string()));
    EXPECT_EQ(BrowserFixture::item(menu, "reveal")->text(), "Show in File Manager");
    BrowserFixture::item(menu, "reveal")->trigger();
    EXPECT_EQ(f.reveal.revealed.back(), std::vector<fs::path>{f.a});
    menu->close();

    // Three selected files, menu on one of them: the menu acts on all three.
    f.click(f.a);
    f.click(f.b, Qt::ControlModifier);
    f.click(f.c, Qt::ControlModifier);
    menu = f.menuAt(f.b);
    EXPECT_FALSE(BrowserFixture::item(menu, "openInEditor")->isEnabled());
    temp = BrowserFixture::item(menu, "makeTempEdits");
    EXPECT_EQ(temp->text(), "Make Temp Edits (3 files)");
    temp->trigger();
    EXPECT_EQ(f.actions.tempEdits.back(), (std::vector<fs::path>{f.a, f.b, f.c}));
    BrowserFixture::item(menu, "copyPath")->trigger();
    EXPECT_EQ(clipboard->text(), QString::fromStdString(f.a.string() + "\n" + f.b.string() + "\n" + f.c.string()));
    menu->close();
    // A row outside the selection: the menu acts on that row alone.
    menu = f.menuAt(f.broken);
    EXPECT_TRUE(BrowserFixture::item(menu, "openInEditor")->isEnabled());
    EXPECT_EQ(BrowserFixture::item(menu, "makeTempEdits")->text(), "Make Temp Edits");
    menu->close();
}

TEST(BrowserView, DoubleClickActivates) {
    BrowserFixture f;
    f.library->setQuery("x");
    f.library->setQuery("");
    // As the window system delivers it: press, release, double click, release.
    const QPoint at = f.centre(f.rowOf(f.lib.lib / "Sub"));
    QTest::mouseClick(f.table().viewport(), Qt::LeftButton, {}, at);
    QMouseEvent dclick(QEvent::MouseButtonDblClick, at, f.table().viewport()->mapToGlobal(at), Qt::LeftButton,
                       Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(f.table().viewport(), &dclick);
    QTest::mouseRelease(f.table().viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(f.library->folder(), std::optional<fs::path>(f.lib.lib / "Sub"));
}

TEST(BrowserView, DragCarriesFilesOnly) {
    BrowserFixture f;
    auto index = [&](const fs::path& url, int column = 0) { return f.model().index(f.rowOf(url), column); };
    EXPECT_FALSE(f.model().flags(index(f.lib.lib / "Sub")) & Qt::ItemIsDragEnabled);
    EXPECT_TRUE(f.model().flags(index(f.a)) & Qt::ItemIsDragEnabled);
    std::unique_ptr<QMimeData> mime(
        f.model().mimeData({index(f.lib.lib / "Sub"), index(f.a), index(f.a, 3), index(f.b)}));
    ASSERT_TRUE(mime);
    EXPECT_TRUE(mime->hasFormat("text/uri-list"));
    EXPECT_EQ(urls(mime.get()), (std::vector<fs::path>{f.a, f.b}));
    EXPECT_EQ(f.model().mimeData({index(f.lib.lib / "Sub")}), nullptr);
    // Dragging a selection of a folder and two files carries the two files.
    std::vector<widgets::FileDrag> drags;
    widgets::fileDragHook() = [&](const widgets::FileDrag& d) { drags.push_back(d); };
    f.click(f.lib.lib / "Sub");
    f.click(f.a, Qt::ControlModifier);
    f.click(f.b, Qt::ControlModifier);
    const QPoint from = f.centre(f.rowOf(f.a));
    QTest::mousePress(f.table().viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(f.table().viewport(), from + QPoint(5, 5));
    QTest::mouseMove(f.table().viewport(), from + QPoint(40, 40));
    QTest::mouseRelease(f.table().viewport(), Qt::LeftButton, {}, from + QPoint(40, 40));
    widgets::fileDragHook() = nullptr;
    ASSERT_EQ(drags.size(), 1u);
    std::vector<fs::path> dragged;
    for (const QUrl& u : drags[0].urls) dragged.emplace_back(u.toLocalFile().toStdString());
    EXPECT_EQ(dragged, (std::vector<fs::path>{f.a, f.b}));
    // Cells past the end are empty.
    EXPECT_FALSE(f.model().data(f.model().index(f.model().rowCount(), 0)).isValid());
}

TEST(BrowserView, RevealOnTheDesktop) {
    // A file manager on a private session bus receives the URIs.
    {
        PrivateBus bus;
        FileManagerStandIn manager(bus.connect("manager"));
        DesktopFileReveal reveal(bus.connect("app"));
        BrowserFixture f;
        BrowserView view(*f.library, f.player.model, *f.lib.settings, f.selection, f.actions, reveal);
        std::unique_ptr<QMenu> menu(view.contextMenu({f.a, f.b}, nullptr));
        BrowserFixture::item(menu.get(), "reveal")->trigger();
        ASSERT_TRUE(f.wait([&] { return manager.calls.size() == 1; }));
        EXPECT_EQ(manager.calls[0], DesktopFileReveal::uris({f.a, f.b}));
    }
    // No session bus: the first file's folder is opened instead.
    {
        OpenerStandIn opener;
        opener.install();
        DesktopFileReveal reveal(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                               QStringLiteral("no-bus")));
        BrowserFixture f;
        BrowserView view(*f.library, f.player.model, *f.lib.settings, f.selection, f.actions, reveal);
        std::optional<FileReveal::Outcome> outcome;
        QObject::connect(&reveal, &FileReveal::finished, [&](FileReveal::Outcome o) { outcome = o; });
        std::unique_ptr<QMenu> menu(view.contextMenu({f.a}, nullptr));
        BrowserFixture::item(menu.get(), "reveal")->trigger();
        ASSERT_TRUE(f.wait([&] { return outcome.has_value(); }));
        EXPECT_EQ(*outcome, FileReveal::Outcome::folderOpened);
        // The opener runs detached: its log line comes when it has run.
        ASSERT_TRUE(f.wait([&] { return !opener.calls().empty(); }));
        ASSERT_EQ(opener.calls().size(), 1u);
        EXPECT_EQ(opener.calls()[0], f.lib.lib.string());
    }
}

// A file the catalog keeps while it cannot be seen (here: its folder lists
// only a hidden item) is listed and found, dimmed, "Offline" in its info
// text; selecting it auditions nothing, Return plays nothing, and it does
// not drag out.
TEST(BrowserView, OfflineFilesAreShownDimmedAndNotPlayed) {
    BrowserFixture f;
    f.setAutoPlay(true);
    const fs::path gone = f.lib.lib / "Sub/d.wav";
    fs::rename(gone, f.lib.lib / "Sub/.d.wav");
    f.library->rescanAll();
    ASSERT_TRUE(waitUntil([&] { return LibraryFixture::settled(*f.library); }));
    f.library->open(f.lib.lib / "Sub");
    ASSERT_TRUE(f.wait([&] { return f.rowOf(gone) >= 0; }));
    const int row = f.rowOf(gone);
    ASSERT_TRUE(f.model().entry(row)->offline);
    EXPECT_TRUE(f.model().isOffline(gone));
    const QColor dimmed = QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    for (int column = 0; column < BrowserTableModel::columnCount_; ++column)
        EXPECT_EQ(f.model().data(f.model().index(row, column), Qt::ForegroundRole).value<QColor>(), dimmed) << column;
    EXPECT_EQ(f.cell(gone, BrowserTableModel::format), "Offline");
    EXPECT_EQ(f.cell(gone, BrowserTableModel::length), "0:00.000");
    EXPECT_FALSE(f.model().flags(f.model().index(row, 0)) & Qt::ItemIsDragEnabled);
    EXPECT_EQ(f.model().mimeData({f.model().index(row, 0)}), nullptr);
    savePng(*f.view, "browser-offline-file");

    const uint64_t gen = f.player.model.loadGen();
    f.click(gone);
    EXPECT_EQ(f.selection.urls(), std::vector<fs::path>{gone});
    f.table().setFocus();
    QTest::keyClick(&f.table(), Qt::Key_Return);
    settle(100ms);
    EXPECT_EQ(f.player.model.loadGen(), gen);
    EXPECT_TRUE(f.plays.empty());

    // A search finds it, offline too; the files that are there are not.
    f.library->setQuery("d");
    ASSERT_TRUE(f.wait([&] { return f.rowOf(gone) >= 0 && f.library->isSearching(); }));
    EXPECT_TRUE(f.model().entry(f.rowOf(gone))->offline);
    for (const BrowserEntry& e : f.library->results()) {
        EXPECT_EQ(e.offline, e.url == gone) << e.url;
    }
    savePng(*f.view, "browser-offline-search");
}
