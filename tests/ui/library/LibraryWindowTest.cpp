#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <map>

#include "app/core/FileReveal.h"
#include "app/library/LibraryFixture.h"
#include "app/player/PlayerFixture.h"
#include "app/shell/AppActions.h"
#include "library/MetaIO.h"
#include "ui/UiTestSupport.h"
#include "ui/library/BrowserTableModel.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"
#include "ui/library/InspectorView.h"
#include "ui/library/MainView.h"
#include "ui/library/PermissionBanner.h"
#include "ui/library/SidebarView.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

// The composition root's stand-in: records the actions, publishes the two
// permission flags with AppModel's signals.
class StandInActions : public QObject, public AppActions {
    Q_OBJECT

public:
    void openEditor(const fs::path& url) override { calls.push_back("editor " + url.string()); }
    void makeTempEdits(const std::vector<fs::path>&) override { calls.push_back("temp edits"); }
    void addLibraryFolder() override { calls.push_back("add folder"); }
    void requestAccessibility() override { calls.push_back("accessibility"); }
    void openAutomationSettings() override { calls.push_back("automation"); }
    bool axTrusted() const override { return trusted; }
    bool automationDenied() const override { return denied; }
    std::optional<fileManagers::Kind> deniedFileManager() const override { return refuser; }
    bool waylandSession() const override { return wayland; }
    void setFlags(bool axTrusted, bool automationDenied, std::optional<fileManagers::Kind> by = std::nullopt) {
        trusted = axTrusted;
        denied = automationDenied;
        refuser = by;
        emit axTrustedChanged();
        emit automationDeniedChanged();
    }
    bool trusted = true;
    bool denied = false;
    std::optional<fileManagers::Kind> refuser;
    bool wayland = false;
    std::vector<std::string> calls;

signals:
    void axTrustedChanged();
    void automationDeniedChanged();
};

namespace {

struct NoReveal : FileReveal {
    void reveal(const std::vector<fs::path>&) override {}
};

SoundMeta meta(const char* description, const char* designer = "Ann", int64_t rating = 0) {
    SoundMeta m;
    m.description = description;
    m.category = "AMBIENCE";
    m.subCategory = "FOREST";
    m.keywords = "wind trees";
    m.library = "Field Kit";
    m.designer = designer;
    m.rating = rating;
    return m;
}

// A library root "Lib" with catalogued WAV files written with metadata, the
// player on the null output.
struct Library {
    LibraryFixture lib{{"Lib"}};
    Player player;
    StandInActions actions;
    NoReveal reveal;
    std::unique_ptr<LibraryModel> library;

    explicit Library(const std::vector<std::pair<std::string, SoundMeta>>& files) {
        for (const auto& [name, m] : files) {
            const fs::path file = lib.lib / name;
            fs::create_directories(file.parent_path());
            writeTestFile(file, 1, 4800, 48000, {.bits = 16});
            MetaIO::write(m, file);
        }
        library = lib.model();
        EXPECT_TRUE(waitUntil([&] { return LibraryFixture::settled(*library) && library->indexedCount() >= 1; }));
        library->open(lib.lib);
    }
    fs::path operator/(const std::string& name) const { return lib.lib / name; }
    bool settled() {
        return player.wait([&] { return LibraryFixture::settled(*library); });
    }
    void setExpert(bool on) {
        lib.settings->update([&](AppSettings& s) { s.expertMode = on; });
    }
};

void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

}  // namespace

// --- Sidebar ------------------------------------------------------------

TEST(SidebarView, TextsAndIcons) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(SidebarView::statusText(true, 5, english), QString::fromUtf8("Indexing…"));
    EXPECT_EQ(SidebarView::statusText(false, 1234567, english), "1,234,567 files indexed");
    EXPECT_EQ(SidebarView::statusText(false, 1, english), "1 files indexed");
    EXPECT_EQ(SidebarView::statusText(false, 0, english), "");

    EXPECT_EQ(SidebarView::rootIcon("/media/ann/Field Recordings/SFX"), "externaldrive.connected.to.line.below");
    EXPECT_EQ(SidebarView::rootIcon("/mnt/share"), "externaldrive.connected.to.line.below");
    EXPECT_EQ(SidebarView::rootIcon("/home/ann/Sounds"), "books.vertical");
    EXPECT_EQ(SidebarView::placeIcon("/media/ann/Field Recordings"), "externaldrive");
    EXPECT_EQ(SidebarView::placeIcon("/home/ann/Music"), "folder");
}

TEST(SidebarView, RootsStatusAndPlaces) {
    Library f({{"a.wav", meta("A")}});
    SidebarView view(*f.library, *f.lib.settings, f.actions);
    view.resize(240, 600);
    view.show();
    // The four sections in order.
    EXPECT_EQ(view.sectionTitles(), (QStringList{"Library", "Categories", "Libraries", "Places"}));
    EXPECT_EQ(view.status(), QLocale().toString(qlonglong(f.library->indexedCount())) + " files indexed");

    // The root row: its icon, tooltip, tint (its folder is listed).
    const QString root = QString::fromStdString(f.lib.lib.string());
    QAbstractButton* rootRow = view.button("root", root);
    ASSERT_NE(rootRow, nullptr);
    EXPECT_EQ(rootRow->text(), "Lib");
    EXPECT_EQ(rootRow->toolTip(), root);
    EXPECT_EQ(rootRow->property("symbol").toString(), "books.vertical");
    EXPECT_TRUE(rootRow->property("tinted").toBool());

    // The mounted volume among the places has the plain drive icon.
    QAbstractButton* volume = view.button("place", "/media/ann/Field Recordings");
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->property("symbol").toString(), "externaldrive");
    EXPECT_EQ(view.button("place", QString::fromStdString(f.lib.music.string()))->property("symbol").toString(),
              "folder");

    // "Add Folder…" asks the composition root.
    click(view.button("add", {}));
    EXPECT_EQ(f.actions.calls, std::vector<std::string>{"add folder"});

    // A rescan shows "Indexing…" while it runs.
    view.rootMenu(f.lib.lib.string(), &view)->actions().at(0)->trigger();
    ASSERT_FALSE(f.library->indexing().empty());
    EXPECT_EQ(view.status(), QString::fromUtf8("Indexing…"));
    ASSERT_TRUE(f.settled());

    // "Remove from Library": no question, the root goes; only the button
    // (and the count line while the catalog still counts) are left.
    QMenu* menu = view.rootMenu(f.lib.lib.string(), &view);
    EXPECT_EQ(menu->actions().at(1)->text(), "Remove from Library");
    menu->actions().at(1)->trigger();
    ASSERT_TRUE(f.settled());
    EXPECT_TRUE(view.buttons("root").isEmpty());
    EXPECT_EQ(view.buttons("add").size(), 1);
    EXPECT_TRUE(f.lib.settings->value().libraryRoots.empty());
    EXPECT_EQ(view.status(), SidebarView::statusText(false, f.library->indexedCount(), QLocale()));
}

TEST(SidebarView, VolumeRootAndSharedFolderTint) {
    Library f({{"a.wav", meta("A")}});
    // A root on a volume, and a root that is also a place (the Music folder).
    f.lib.settings->update([&](AppSettings& s) {
        s.libraryRoots = {"/media/ann/Field Recordings/SFX", f.lib.music.string() + "/"};
    });
    SidebarView view(*f.library, *f.lib.settings, f.actions);
    EXPECT_EQ(view.button("root", "/media/ann/Field Recordings/SFX")->property("symbol").toString(),
              "externaldrive.connected.to.line.below");

    QAbstractButton* musicPlace = view.button("place", QString::fromStdString(f.lib.music.string()));
    click(musicPlace);
    ASSERT_EQ(f.library->folder(), f.lib.music);
    QAbstractButton* musicRoot = view.button("root", QString::fromStdString(f.lib.music.string() + "/"));
    ASSERT_NE(musicRoot, nullptr);
    EXPECT_TRUE(musicRoot->property("tinted").toBool());
    EXPECT_TRUE(view.button("place", QString::fromStdString(f.lib.music.string()))->property("tinted").toBool());
    EXPECT_FALSE(view.button("place", QString::fromStdString(f.lib.desktop.string()))->property("tinted").toBool());
}

TEST(SidebarView, ALongFolderNameIsShortenedToTheColumnNotCutByIt) {
    Library f({{"a.wav", meta("A")}});
    const std::string root = "/media/ann/Field recordings from the northern coast, spring and autumn of 2019";
    f.lib.settings->update([&](AppSettings& s) { s.libraryRoots = {root}; });
    SidebarView view(*f.library, *f.lib.settings, f.actions);
    view.resize(MainView::kSidebarMinimumWidth, 600);
    view.show();
    QApplication::processEvents();
    QAbstractButton* row = view.button("root", QString::fromStdString(root));
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->text().contains(QStringLiteral("\u2026"))) << row->text().toStdString();
    EXPECT_TRUE(row->text().startsWith("Field")) << "shortened in the middle";
    EXPECT_EQ(row->toolTip(), QString::fromStdString(root)) << "the whole path";
    EXPECT_LE(row->geometry().right(), row->parentWidget()->width());
    EXPECT_TRUE(test::overlaps(view).isEmpty()) << test::overlaps(view).join('\n').toStdString();
    EXPECT_TRUE(test::clippedTexts(view).isEmpty()) << test::clippedTexts(view).join('\n').toStdString();
    // Given the room, the whole name.
    view.resize(700, 600);
    QApplication::processEvents();
    EXPECT_EQ(row->text(), QString::fromStdString(fs::path(root).filename().string()));
}

TEST(SidebarView, FacetsLimitToggleAndPlaces) {
    std::vector<std::pair<std::string, SoundMeta>> files;
    for (int i = 0; i < 30; ++i) {
        SoundMeta m = meta("x");
        m.category = QStringLiteral("CAT%1").arg(i, 2, 10, QChar('0')).toStdString();
        files.emplace_back(QStringLiteral("f%1.wav").arg(i).toStdString(), m);
    }
    Library f(files);
    ASSERT_TRUE(waitUntil([&] { return f.library->categories().size() == 30; }));
    SidebarView view(*f.library, *f.lib.settings, f.actions);
    EXPECT_EQ(view.buttons("category").size(), 12);
    EXPECT_EQ(view.buttons("library").size(), 1);
    f.setExpert(true);
    EXPECT_EQ(view.buttons("category").size(), 30);

    // Toggle on, replace, toggle off.
    click(view.button("category", "CAT03"));
    EXPECT_EQ(f.library->category(), QString("CAT03"));
    EXPECT_TRUE(view.button("category", "CAT03")->property("tinted").toBool());
    click(view.button("category", "CAT07"));
    EXPECT_EQ(f.library->category(), QString("CAT07"));
    EXPECT_FALSE(view.button("category", "CAT03")->property("tinted").toBool());
    click(view.button("category", "CAT07"));
    EXPECT_EQ(f.library->category(), std::nullopt);

    // A place clicked during a search clears every field and lists it.
    f.library->setQuery("wind");
    click(view.button("library", "Field Kit"));
    click(view.button("category", "CAT01"));
    ASSERT_TRUE(f.library->isSearching());
    click(view.button("place", QString::fromStdString(f.lib.desktop.string())));
    EXPECT_EQ(f.library->query(), "");
    EXPECT_EQ(f.library->category(), std::nullopt);
    EXPECT_EQ(f.library->libraryFilter(), std::nullopt);
    EXPECT_EQ(f.library->folder(), f.lib.desktop);
    EXPECT_TRUE(waitUntil([&] { return f.library->results().empty(); }));
}

// --- Inspector ----------------------------------------------------------

TEST(InspectorView, MixedFieldsSaveOnlyWhatWasTyped) {
    Library f({{"a.wav", meta("Wind in pines", "Ann", 3)}, {"b.wav", meta("Rain on roof", "Bob", 3)}});
    const fs::path a = f / "a.wav", b = f / "b.wav";
    InspectorView view(*f.library, *f.lib.settings, {a, b});
    view.show();

    EXPECT_EQ(view.titleLabel()->text(), "2 files");
    // Basic mode: five fields shown, all fifteen compared.
    EXPECT_EQ(InspectorView::tags(false).size(), 5u);
    EXPECT_EQ(view.field("DESIGNER"), nullptr);
    // (A file's FX name is its own name when none is stored.)
    EXPECT_EQ(view.mixed(), (std::set<std::string>{"DESCRIPTION", "DESIGNER", "FXNAME"}));
    EXPECT_EQ(view.placeholder("DESCRIPTION"), "Mixed");
    EXPECT_EQ(view.placeholder("CATEGORY"), "");
    EXPECT_EQ(view.values().at("CATEGORY"), "AMBIENCE");
    EXPECT_EQ(view.rating(), 3);
    EXPECT_FALSE(view.saveButton()->isEnabled());
    EXPECT_FALSE(view.revertButton()->isEnabled());

    auto* description = qobject_cast<QPlainTextEdit*>(view.field("DESCRIPTION"));
    ASSERT_NE(description, nullptr);
    description->setFocus();
    QTest::keyClicks(description, "Storm");
    EXPECT_EQ(view.placeholder("DESCRIPTION"), "");
    EXPECT_TRUE(view.saveButton()->isEnabled());
    EXPECT_EQ(view.edited(), std::set<std::string>{"DESCRIPTION"});

    // A field typed into and emptied again writes the empty text.
    auto* sub = qobject_cast<QLineEdit*>(view.field("SUBCATEGORY"));
    sub->setFocus();
    sub->end(false);
    QTest::keyClicks(sub, "X");
    for (int i = 0; i < 8; ++i) QTest::keyClick(sub, Qt::Key_Backspace);
    EXPECT_EQ(view.values().at("SUBCATEGORY"), "");

    click(view.saveButton());
    EXPECT_TRUE(view.edited().empty());
    EXPECT_FALSE(view.saveButton()->isEnabled());
    EXPECT_FALSE(view.revertButton()->isEnabled());
    EXPECT_EQ(qobject_cast<QPlainTextEdit*>(view.field("DESCRIPTION"))->toPlainText(), "Storm");
    ASSERT_TRUE(f.settled());
    EXPECT_EQ(f.library->message(), QString("Saved metadata to 2 file(s)"));

    // Both files hold the typed texts; every other field is their own.
    for (const auto& [file, designer] : {std::pair{a, "Ann"}, std::pair{b, "Bob"}}) {
        SoundMeta expected = meta("Storm", designer, 3);
        expected.subCategory = "";
        expected.fxName = file.stem().string();
        EXPECT_EQ(MetaIO::read(file), expected) << file;
    }
}

TEST(InspectorView, StarsRevertAndReload) {
    Library f({{"a.wav", meta("A", "Ann", 3)}, {"b.wav", meta("A", "Ann", 3)}, {"c.wav", meta("A", "Ann", 4)}});
    const fs::path a = f / "a.wav", b = f / "b.wav", c = f / "c.wav";
    InspectorView view(*f.library, *f.lib.settings, {a, b});
    EXPECT_EQ(view.rating(), 3);
    EXPECT_TRUE(view.star(3)->property("filled").toBool());
    EXPECT_FALSE(view.star(4)->property("filled").toBool());
    view.setUrls({a, c});
    EXPECT_EQ(view.rating(), 0);
    EXPECT_EQ(view.titleLabel()->text(), "2 files");

    struct Step {
        int star, rating;
    };
    for (const Step& s : {Step{3, 3}, Step{3, 0}, Step{5, 5}, Step{1, 1}}) {
        click(view.star(s.star));
        EXPECT_EQ(view.rating(), s.rating) << "star " << s.star;
        EXPECT_TRUE(view.ratingEdited());
        EXPECT_TRUE(view.saveButton()->isEnabled());
    }
    // Revert reloads.
    click(view.revertButton());
    EXPECT_EQ(view.rating(), 0);
    EXPECT_FALSE(view.ratingEdited());
    EXPECT_FALSE(view.revertButton()->isEnabled());

    // Unsaved edits go with another selection.
    auto* keywords = qobject_cast<QLineEdit*>(view.field("KEYWORDS"));
    QTest::keyClick(keywords, Qt::Key_End);
    QTest::keyClicks(keywords, " gusts");
    ASSERT_FALSE(view.edited().empty());
    view.setUrls({b});
    EXPECT_TRUE(view.edited().empty());
    EXPECT_EQ(view.titleLabel()->text(), "b.wav");
    EXPECT_EQ(keywords, view.field("KEYWORDS"));
    EXPECT_EQ(keywords->text(), "wind trees");
    EXPECT_EQ(view.rating(), 3);
    f.library->save({}, std::nullopt, {b});
    ASSERT_TRUE(f.settled());
    EXPECT_EQ(MetaIO::read(b).keywords, "wind trees");
}

TEST(InspectorView, BadInput) {
    Library f({{"a.wav", meta("A")}, {"b.wav", meta("B")}});
    const fs::path a = f / "a.wav", b = f / "b.wav";
    f.setExpert(true);
    InspectorView view(*f.library, *f.lib.settings, {a, b});
    view.show();
    EXPECT_NE(view.field("DESIGNER"), nullptr);
    EXPECT_NE(view.field("USERCATEGORY"), nullptr);

    // A 100 kB text pasted into a one-line field is taken whole.
    const QString big(100000, QChar('k'));
    QApplication::clipboard()->setText(big);
    auto* keywords = qobject_cast<QLineEdit*>(view.field("KEYWORDS"));
    keywords->setFocus();
    keywords->selectAll();
    QTest::keyClick(keywords, Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(view.values().at("KEYWORDS").size(), 100000u);
    click(view.saveButton());
    ASSERT_TRUE(f.settled());
    EXPECT_EQ(f.library->message(), QString("Saved metadata to 2 file(s)"));
    EXPECT_EQ(MetaIO::read(a).keywords, big.toStdString());
    EXPECT_EQ(MetaIO::read(b).keywords, big.toStdString());

    // Files without a CatID: nothing is renamed.
    click(view.renameButton());
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(view.confirmRename());
    EXPECT_EQ(box->text(), "Rename 2 file(s) to their UCS names?");
    EXPECT_EQ(box->informativeText(), "DAW sessions that reference the old names will need to relink.");
    QAbstractButton* rename = nullptr;
    for (QAbstractButton* button : box->buttons())
        if (button->text() == "Rename") rename = button;
    click(rename);
    ASSERT_TRUE(f.settled());
    EXPECT_EQ(f.library->message(), QString("Renamed 0 file(s)"));
    EXPECT_TRUE(fs::exists(a) && fs::exists(b));
    EXPECT_FALSE(view.confirmRename());

    // A selected file deleted before Save is named in the failure.
    fs::remove(b);
    QTest::keyClicks(qobject_cast<QLineEdit*>(view.field("LOCATION")), "Oslo");
    click(view.saveButton());
    ASSERT_TRUE(f.settled());
    ASSERT_TRUE(f.library->message());
    EXPECT_TRUE(f.library->message()->startsWith("Couldn't write 1 file(s): ")) << f.library->message()->toStdString();
    EXPECT_TRUE(f.library->message()->contains("b.wav"));
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(MetaIO::read(a).location, "Oslo");
}

// --- Banners ------------------------------------------------------------

TEST(PermissionBanner, FollowsTheFlags) {
    StandInActions actions;
    PermissionBanner banners(actions);
    banners.show();
    EXPECT_TRUE(banners.shown().isEmpty());
    actions.setFlags(false, true);
    EXPECT_EQ(banners.shown(), (QStringList{PermissionBanner::kAccessibilityMessage,
                                            QString::fromUtf8(PermissionBanner::kAutomationMessage)}));
    // Accessibility is turned on by the button; a file manager started
    // before it was on only the user can restart, so that banner says how.
    click(banners.accessibilityBanner()->findChild<QPushButton*>());
    EXPECT_EQ(actions.calls, (std::vector<std::string>{"accessibility"}));
    EXPECT_FALSE(banners.automationBanner()->findChild<QPushButton*>());
    EXPECT_TRUE(QString::fromUtf8(PermissionBanner::kAccessibilityMessage).contains("restarted"));
    EXPECT_TRUE(QString::fromUtf8(PermissionBanner::kAutomationMessage).contains("open it again"));
    actions.setFlags(true, true);
    EXPECT_EQ(banners.shown(), QStringList{QString::fromUtf8(PermissionBanner::kAutomationMessage)});

    // On Wayland neither asks: nothing they ask for would let the file
    // manager be followed.
    actions.wayland = true;
    actions.setFlags(false, true);
    EXPECT_TRUE(banners.shown().isEmpty());
}

// The steps by hand stay folded under the message until asked for, then
// name every desktop family with the one command the bus reads.
TEST(PermissionBanner, TheStepsByHandUnfoldForEachDesktopFamily) {
    StandInActions actions;
    PermissionBanner banners(actions);
    actions.setFlags(false, false);
    banners.show();
    auto* toggle = banners.accessibilityBanner()->findChild<QToolButton*>(QStringLiteral("stepsToggle"));
    auto* steps = banners.accessibilityBanner()->findChild<QLabel*>(QStringLiteral("steps"));
    ASSERT_TRUE(toggle && steps);
    EXPECT_FALSE(steps->isVisible());
    const int folded = banners.accessibilityBanner()->sizeHint().height();
    click(toggle);
    EXPECT_TRUE(steps->isVisible());
    EXPECT_GT(banners.accessibilityBanner()->sizeHint().height(), folded);
    for (const char* how : {"gsettings set org.gnome.desktop.interface toolkit-accessibility true", "GNOME",
                            "KDE Plasma", "Konsole", "Xfce", "MATE", "Screen Reader"})
        EXPECT_TRUE(steps->text().contains(QString::fromUtf8(how))) << how;
    click(toggle);
    EXPECT_FALSE(steps->isVisible());
}

// Each file manager's banner names it and its own way to quit, never
// another's.
TEST(PermissionBanner, TheFileManagerBannerNamesTheOneThatRefusedAndHowToQuitIt) {
    StandInActions actions;
    PermissionBanner banners(actions);
    banners.show();
    const std::map<fileManagers::Kind, QString> quits = {
        {fileManagers::Kind::thunar, "thunar -q"},  {fileManagers::Kind::nautilus, "nautilus -q"},
        {fileManagers::Kind::nemo, "nemo -q"},      {fileManagers::Kind::caja, "caja -q"},
        {fileManagers::Kind::dolphin, "Close every Dolphin window"},
        {fileManagers::Kind::pcmanfm, "Close every PCManFM window"},
        {fileManagers::Kind::pcmanfmQt, "pcmanfm-qt -q"}};
    ASSERT_EQ(quits.size(), fileManagers::all().size());
    for (const auto& [kind, quit] : quits) {
        actions.setFlags(true, true, kind);
        ASSERT_EQ(banners.shown().size(), 1);
        const QString text = banners.shown().front();
        const QString name = QString::fromUtf8(fileManagers::name(kind));
        EXPECT_TRUE(text.contains(name + QStringLiteral("'s selection"))) << text.toStdString();
        EXPECT_TRUE(text.contains(quit)) << text.toStdString();
        for (const auto& [other, otherQuit] : quits) {
            if (other != kind && otherQuit.endsWith(QStringLiteral(" -q"))) {
                EXPECT_FALSE(text.contains(QLatin1Char(' ') + otherQuit)) << text.toStdString();
            }
        }
    }
    actions.setFlags(true, true, fileManagers::Kind::pcmanfm);
    EXPECT_TRUE(banners.shown().front().contains("libatk-adaptor"));
}

// --- The whole window ---------------------------------------------------

namespace {

struct Window : Library {
    std::unique_ptr<MainView> view;

    explicit Window(const std::vector<std::pair<std::string, SoundMeta>>& files) : Library(files) {
        view = std::make_unique<MainView>(*library, player.model, *lib.settings, actions, reveal);
        view->resize(1280, 760);
        view->show();
        view->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }
    ~Window() { view.reset(); }

    QTableView& table() { return *view->browser().table(); }
    BrowserTableModel& rows() { return *view->browser().tableModel(); }
    int rowOf(const fs::path& url) {
        for (int r = 0; r < rows().rowCount(); ++r)
            if (rows().entry(r)->url == url) return r;
        return -1;
    }
    void select(const fs::path& url, Qt::KeyboardModifiers mods = {}) {
        const int row = rowOf(url);
        ASSERT_GE(row, 0) << url;
        QTest::mouseClick(table().viewport(), Qt::LeftButton, mods,
                          table().visualRect(rows().index(row, 0)).center());
    }
    bool inspectorShown() { return view->inspector() && view->inspector()->isVisible(); }
};

SoundMeta ucs(const char* catID, const char* fxName) {
    SoundMeta m = meta("Door");
    m.catID = catID;
    m.fxName = fxName;
    m.source = "QM";
    return m;
}

}  // namespace

TEST(MainView, BrowseFilterEditSave) {
    Window w({{"a.wav", meta("Wind in pines")}, {"b.wav", meta("Rain")}, {"c.wav", ucs("DOORWood", "Slam")}});
    const fs::path a = w / "a.wav", b = w / "b.wav";
    EXPECT_EQ(w.view->sidebar().minimumWidth(), MainView::kSidebarMinimumWidth);
    EXPECT_EQ(w.view->browser().minimumWidth(), MainView::kListMinimumWidth);
    EXPECT_EQ(w.view->inspectorToggle()->toolTip(), "Metadata inspector");

    // A facet filters the search; the hits replace the folder.
    click(w.view->sidebar().button("category", "AMBIENCE"));
    EXPECT_EQ(w.library->category(), QString("AMBIENCE"));
    ASSERT_TRUE(waitUntil([&] { return w.library->results().size() == 3; }));
    EXPECT_TRUE(waitUntil([&] { return w.rows().rowCount() == 3; }));
    savePng(*w.view, "library-window-browsing");
    click(w.view->sidebar().button("root", QString::fromStdString(w.lib.lib.string())));
    ASSERT_FALSE(w.library->isSearching());
    ASSERT_TRUE(waitUntil([&] { return w.rowOf(a) >= 0; }));

    // No selection: no inspector, whatever the toggle says.
    EXPECT_TRUE(w.view->showInspector());
    EXPECT_EQ(w.view->inspector(), nullptr);
    w.select(a);
    w.select(b, Qt::ControlModifier);
    ASSERT_EQ(w.view->selection().urls().size(), 2u);
    ASSERT_TRUE(w.inspectorShown());
    InspectorView* inspector = w.view->inspector();
    EXPECT_EQ(inspector->urls(), w.view->selection().urls());
    EXPECT_GE(inspector->width(), InspectorView::kMinimumWidth);
    EXPECT_LE(inspector->width(), InspectorView::kMaximumWidth);
    EXPECT_EQ(inspector->placeholder("DESCRIPTION"), "Mixed");

    // Typing, then a refresh of the listed folder (a team pull, a rescan)
    // while the edits are unsaved: they stay.
    QTest::keyClick(inspector->field("LIBRARY"), Qt::Key_End);
    QTest::keyClicks(inspector->field("LIBRARY"), " Two");
    w.library->rescanAll();
    ASSERT_TRUE(w.settled());
    w.library->pullColleagues();
    ASSERT_TRUE(w.settled());
    ASSERT_EQ(w.view->inspector(), inspector);
    EXPECT_EQ(inspector->edited(), std::set<std::string>{"LIBRARY"});
    EXPECT_EQ(inspector->values().at("LIBRARY"), "Field Kit Two");

    // The platform's Save key.
    inspector->field("LIBRARY")->setFocus();
    QTest::keyClick(w.view.get(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return w.library->message() == QString("Saved metadata to 2 file(s)"); }));
    EXPECT_EQ(MetaIO::read(a).library, "Field Kit Two");
    EXPECT_EQ(MetaIO::read(b).library, "Field Kit Two");
    EXPECT_EQ(MetaIO::read(w / "c.wav").library, "Field Kit");
    EXPECT_EQ(MetaIO::read(a).description, "Wind in pines");

    // The toggle hides the inspector and keeps the selection.
    w.view->inspectorToggle()->trigger();
    EXPECT_FALSE(w.view->showInspector());
    EXPECT_FALSE(w.inspectorShown());
    EXPECT_EQ(w.view->selection().urls().size(), 2u);
    w.view->inspectorToggle()->trigger();
    ASSERT_TRUE(w.inspectorShown());
    EXPECT_TRUE(w.view->inspector()->edited().empty());
    // Clearing the selection removes it even with the toggle on.
    w.view->selection().clear();
    EXPECT_FALSE(w.inspectorShown());
}

TEST(MainView, ExpertRenameAndDeletedFile) {
    Window w({{"a.wav", ucs("DOORWood", "Slam")}, {"b.wav", ucs("DOORMetl", "Creak")}, {"z.wav", meta("Z")}});
    w.setExpert(true);
    const fs::path a = w / "a.wav", b = w / "b.wav", z = w / "z.wav";
    w.select(a);
    w.select(b, Qt::ControlModifier);
    ASSERT_TRUE(w.inspectorShown());
    EXPECT_EQ(w.view->inspector()->mixed().count("CATID"), 1u);
    savePng(*w.view, "library-window-inspector-expert");

    click(w.view->inspector()->renameButton());
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    for (QAbstractButton* button : box->buttons())
        if (button->text() == "Rename") click(button);
    ASSERT_TRUE(waitUntil([&] { return w.library->message() == QString("Renamed 2 file(s)"); }));
    ASSERT_TRUE(w.settled());
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    int renamed = 0;
    for (const auto& e : fs::directory_iterator(w.lib.lib))
        renamed += e.path().filename().string().rfind("DOOR", 0) == 0;
    EXPECT_EQ(renamed, 2);

    // A selection that holds a file deleted since it was listed: the save
    // names it as a failure and writes the others.
    ASSERT_TRUE(waitUntil([&] { return w.rowOf(z) >= 0; }));
    w.select(z);
    const fs::path gone = w.lib.lib / "gone.wav";
    writeTestFile(gone, 1, 4800, 48000, {.bits = 16});
    w.view->selection().set({z, gone});
    fs::remove(gone);
    ASSERT_TRUE(w.inspectorShown());
    QTest::keyClicks(w.view->inspector()->field("NOTES"), "checked");
    click(w.view->inspector()->saveButton());
    ASSERT_TRUE(w.settled());
    ASSERT_TRUE(w.library->message());
    EXPECT_EQ(*w.library->message(), "Couldn't write 1 file(s): gone.wav (it is gone)");
    EXPECT_EQ(MetaIO::read(z).notes, "checked");
    EXPECT_FALSE(fs::exists(gone));
}

TEST(MainView, BannersAndPlayerStrip) {
    Window w({{"a.wav", meta("A")}});
    EXPECT_EQ(w.view->stripHeight(), MainView::kStripHeight);
    EXPECT_EQ(w.view->strip()->height(), 170);

    const fs::path ambi = w.lib.lib / "forest_ambix.wav";
    writeTestFile(ambi, 4, 48000, 48000, {.bits = 16});
    ASSERT_TRUE(w.player.load(ambi));
    ASSERT_TRUE(w.player.model.source()->isAmbisonic());
    EXPECT_EQ(w.view->strip()->height(), 204);
    w.player.model.setFormatOverride(SourceFormat::discrete(4));
    EXPECT_EQ(w.view->strip()->height(), 170);
    w.player.model.setFormatOverride(std::nullopt);
    EXPECT_EQ(w.view->strip()->height(), 204);

    w.actions.setFlags(false, true);
    EXPECT_EQ(w.view->banners().shown().size(), 2);
    EXPECT_LT(w.view->banners().accessibilityBanner()->y(), w.view->banners().automationBanner()->y() + 1);
    savePng(*w.view, "library-window-banners-ambisonics");
    // The steps by hand unfolded push the list down, over nothing.
    click(w.view->banners().accessibilityBanner()->findChild<QToolButton*>(QStringLiteral("stepsToggle")));
    savePng(*w.view, "library-window-banners-steps");
    w.player.load(w.lib.lib / "a.wav");
    EXPECT_EQ(w.view->strip()->height(), 170);
}

#include "LibraryWindowTest.moc"
