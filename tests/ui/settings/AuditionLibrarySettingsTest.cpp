#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFontInfo>
#include <QLabel>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "app/shell/LinkLoader.h"
#include "support/TempDir.h"
#include "ui/UiTestSupport.h"
#include "ui/settings/AuditionSettings.h"
#include "ui/settings/LibrarySettings.h"
#include "ui/settings/SettingsTestSupport.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/Style.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

QColor textColour(const QWidget* w) { return w->palette().color(QPalette::WindowText); }

}  // namespace

TEST(AuditionSettings, TheSwitchesWriteTheirSettings) {
    SettingsFixture f;
    f.window().tabs().setCurrentIndex(1);
    f.window().show();
    struct Case {
        const char* name;
        bool AppSettings::*field;
    };
    for (Case c : {Case{"finderPanel", &AppSettings::finderPanel}, Case{"spacePlaysInFinder", &AppSettings::spacePlaysInFinder},
                   Case{"autoPlay", &AppSettings::autoPlay}, Case{"monoToCenter", &AppSettings::monoToCenter}}) {
        auto* box = f.find<QCheckBox>(c.name);
        ASSERT_NE(box, nullptr) << c.name;
        EXPECT_TRUE(box->isChecked()) << c.name;
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));  // on the box itself
        EXPECT_FALSE(f.settings().value().*c.field) << c.name;
        EXPECT_FALSE(f.stored().*c.field) << c.name;
        // A change made elsewhere shows at once.
        f.settings().update([&](AppSettings& s) { s.*c.field = true; });
        EXPECT_TRUE(box->isChecked()) << c.name;
    }
    EXPECT_EQ(f.find<QCheckBox>("finderPanel")->text(), "Show the audition panel under file manager windows");
    EXPECT_EQ(f.find<QCheckBox>("spacePlaysInFinder")->text(), "Space plays audio files in the file manager");
    EXPECT_EQ(f.find<QCheckBox>("autoPlay")->text(), "Auto-play when the selection changes");
    EXPECT_EQ(f.find<QCheckBox>("monoToCenter")->text(), "Mono files play from the center speaker");
}

TEST(AuditionSettings, AWaylandSessionReadsWhyInPlaceOfTheFileManagerSwitches) {
    SettingsFixture f;
    auto& audition = f.window().audition();
    f.window().tabs().setCurrentIndex(1);
    f.window().show();
    auto* note = f.find<QLabel>("waylandNote");
    ASSERT_NE(note, nullptr);
    EXPECT_FALSE(note->isVisible()) << "an X11 session";
    for (const char* name : {"finderPanel", "spacePlaysInFinder", "autoPlay"}) EXPECT_TRUE(f.find<QCheckBox>(name)->isVisible());

    audition.setWaylandSession(true);
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), AuditionSettings::kWaylandNote);
    EXPECT_TRUE(note->text().contains("X11 sessions only"));
    for (const char* name : {"finderPanel", "spacePlaysInFinder", "autoPlay"})
        EXPECT_FALSE(f.find<QCheckBox>(name)->isVisible()) << name;
    EXPECT_TRUE(f.find<QCheckBox>("monoToCenter")->isVisible()) << "what works everywhere stays";
    savePng(f.window(), "settings-audition-wayland");
}

TEST(AuditionSettings, TheDownloaderStatusFollowsTyping) {
    SettingsFixture f;
    TempDir tools;
    const fs::path script = tools / "bin/my-yt-dlp";
    fs::create_directories(script.parent_path());
    writeBytes(script, "#!/bin/sh\nexit 0\n");
    fs::permissions(script, fs::perms::owner_all);
    auto& audition = f.window().audition();
    audition.setDownloaderLocations({});  // as on a machine without the tool
    f.window().tabs().setCurrentIndex(1);
    f.window().show();
    auto* field = f.find<QLineEdit>("ytDlpPath");
    auto* status = f.find<QLabel>("ytDlpStatus");
    EXPECT_EQ(field->placeholderText(), "yt-dlp path (blank = auto)");
    EXPECT_EQ(status->text(), LinkLoader::kNotFoundText);
    EXPECT_EQ(status->text(), "yt-dlp not found. Install with: sudo apt install yt-dlp ffmpeg (or: pipx install yt-dlp)");
    // What stops the feature reads as every message does: the warning
    // colour at the desktop's text size.
    EXPECT_EQ(textColour(status), style::warning(audition.palette()));
    EXPECT_EQ(QFontInfo(status->font()).pixelSize(), QFontInfo(QApplication::font()).pixelSize());
    savePng(f.window(), "settings-audition-downloader-missing");

    field->setFocus();
    const QString path = QString::fromStdString(script.string());
    QTest::keyClicks(field, path.left(path.size() - 1));
    EXPECT_EQ(f.stored().ytDlpPath, path.left(path.size() - 1).toStdString());  // every keystroke
    EXPECT_EQ(status->text(), LinkLoader::kNotFoundText);
    QTest::keyClicks(field, path.right(1));
    EXPECT_EQ(f.settings().value().ytDlpPath, script.string());
    EXPECT_EQ(status->text(), "Using " + path);
    EXPECT_EQ(textColour(status), style::secondaryLabel(audition.palette()));
    EXPECT_LT(QFontInfo(status->font()).pixelSize(), QFontInfo(QApplication::font()).pixelSize()) << "a caption";
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(status->text(), LinkLoader::kNotFoundText);

    // Blank: the fixed places.
    audition.setDownloaderLocations({script.string()});
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    EXPECT_EQ(f.stored().ytDlpPath, "");
    EXPECT_EQ(status->text(), "Using " + path);

    // Installed with pipx, in the home's .local/bin.
    const fs::path pipx = tools / "home/.local/bin/yt-dlp";
    fs::create_directories(pipx.parent_path());
    fs::copy_file(script, pipx);
    audition.setDownloaderLocations(LinkLoader::searchLocations("/nowhere", (tools / "home").string()));
    EXPECT_EQ(status->text(), "Using " + QString::fromStdString(pipx.string()));

    // Installed while the window is open: seen when the tab is shown again.
    const fs::path later = tools / "later/yt-dlp";
    audition.setDownloaderLocations({later.string()});
    EXPECT_EQ(status->text(), LinkLoader::kNotFoundText);
    fs::create_directories(later.parent_path());
    fs::copy_file(script, later);
    f.window().tabs().setCurrentIndex(2);
    f.window().tabs().setCurrentIndex(1);
    EXPECT_EQ(status->text(), "Using " + QString::fromStdString(later.string()));
}

TEST(AuditionSettings, TheAIServiceIsNoneUntilNamedAndOnlyHttpsIsTaken) {
    SettingsFixture f;
    f.window().tabs().setCurrentIndex(1);
    f.window().show();
    auto* address = f.find<QLineEdit>("aiServiceAddress");
    auto* key = f.find<QLineEdit>("aiServiceKey");
    auto* status = f.find<QLabel>("aiServiceStatus");
    ASSERT_TRUE(address && key && status);
    auto* group = qobject_cast<QGroupBox*>(address->parentWidget());
    ASSERT_TRUE(group);
    EXPECT_EQ(group->title(), "AI generation service");
    EXPECT_EQ(address->text(), "");
    EXPECT_EQ(key->echoMode(), QLineEdit::Password) << "a key is not shown to whoever looks on";
    EXPECT_TRUE(status->text().contains("nothing is sent"));

    // Typed in clear over the network: stored as typed, said to be refused.
    address->setFocus();
    QTest::keyClicks(address, "http://generate.example.org/");
    EXPECT_EQ(f.stored().aiServiceAddress, "http://generate.example.org/");
    EXPECT_TRUE(status->text().contains("https"));
    EXPECT_EQ(textColour(status), style::warning(f.window().palette()));
    EXPECT_EQ(QFontInfo(status->font()).pixelSize(), QFontInfo(QApplication::font()).pixelSize());
    address->clear();
    QTest::keyClicks(address, "https://generate.example.org/v1/");
    EXPECT_EQ(f.stored().aiServiceAddress, "https://generate.example.org/v1/");
    EXPECT_EQ(status->text(), "The editor's AI buttons send to generate.example.org");
    key->setFocus();
    QTest::keyClicks(key, "k-123");
    EXPECT_EQ(f.stored().aiServiceKey, "k-123");
    savePng(f.window(), "settings-audition-ai-service");
}

TEST(AuditionSettings, ThePullsFolderIsChosenAndShown) {
    SettingsFixture f;
    const fs::path pulls = f.lib.dir / "Deep/Down/In/A/Long/Path/To/The/Pulls Folder";
    f.settings().update([&](AppSettings& s) { s.pullsFolder = pulls.string(); });
    auto& audition = f.window().audition();
    std::optional<fs::path> answer;
    fs::path startedAt;
    audition.setFolderChooser([&](QWidget*, const fs::path& start) {
        startedAt = start;
        return answer;
    });
    f.window().tabs().setCurrentIndex(1);
    f.window().show();
    auto* label = f.find<widgets::ElidedLabel>("pullsFolder");
    EXPECT_EQ(label->text().toStdString(), pulls.string());
    label->resize(120, label->height());
    EXPECT_TRUE(label->shownText().startsWith(QChar(0x2026)));
    EXPECT_TRUE(label->shownText().endsWith("Folder"));

    // "Show" makes the missing folder, then opens it.
    ASSERT_FALSE(fs::exists(pulls));
    QTest::mouseClick(f.find<QPushButton>("showPulls"), Qt::LeftButton);
    EXPECT_TRUE(fs::is_directory(pulls));
    EXPECT_EQ(f.workspace.opened, std::vector<fs::path>{pulls});
    // A folder that cannot be made is still asked for (the file manager says why).
    writeBytes(f.lib.dir / "file", "x");
    f.settings().update([&](AppSettings& s) { s.pullsFolder = (f.lib.dir / "file/Pulls").string(); });
    QTest::mouseClick(f.find<QPushButton>("showPulls"), Qt::LeftButton);
    EXPECT_EQ(f.workspace.opened.size(), 2u);

    // "Choose…": cancel changes nothing; a folder is stored.
    QTest::mouseClick(f.find<QPushButton>("choosePulls"), Qt::LeftButton);
    EXPECT_EQ(startedAt, f.lib.dir / "file/Pulls");
    EXPECT_EQ(f.stored().pullsFolder, (f.lib.dir / "file/Pulls").string());
    answer = f.lib.dir / "Chosen";
    QTest::mouseClick(f.find<QPushButton>("choosePulls"), Qt::LeftButton);
    EXPECT_EQ(f.stored().pullsFolder, (f.lib.dir / "Chosen").string());
    EXPECT_EQ(label->text().toStdString(), (f.lib.dir / "Chosen").string());
}

TEST(LibrarySettings, RowsFollowTheRootsAndTheStatusTheScans) {
    {
        SettingsFixture f;
        f.window().tabs().setCurrentIndex(2);
        f.window().show();
        EXPECT_FALSE(f.find<QWidget>("roots")->isVisible());
        EXPECT_EQ(f.find<QLabel>("libraryStatus")->text(), "0 files");
        QTest::mouseClick(f.find<QPushButton>("addFolder"), Qt::LeftButton);
        EXPECT_EQ(f.addFolderCalls, 1);
        savePng(f.window(), "settings-library-empty");
    }
    SettingsFixture f({"Lib", "Other"}, {"Lib/a.wav", "Other/b.wav", "Other/c.wav"});
    // Both roots are being scanned: their results wait for the event loop.
    ASSERT_EQ(f.library->indexing().size(), 2u);
    f.window().tabs().setCurrentIndex(2);
    auto* status = f.find<QLabel>("libraryStatus");
    EXPECT_EQ(status->text(), QStringLiteral("Indexing\u2026"));
    const QString other = QString::fromStdString((f.lib.dir / "Other").string());
    ASSERT_NE(f.find<QWidget>("root:" + other), nullptr);

    // "Rescan All" while every root is scanning starts nothing.
    QSignalSpy indexing(f.library.get(), &LibraryModel::indexingChanged);
    QTest::mouseClick(f.find<QPushButton>("rescanAll"), Qt::LeftButton);
    EXPECT_EQ(indexing.count(), 0);

    // A removal during its scan: the row goes at once, the status stays.
    QTest::mouseClick(f.find<QPushButton>("remove:" + other), Qt::LeftButton);
    EXPECT_EQ(f.settings().value().libraryRoots, std::vector<std::string>{f.lib.lib.string()});
    EXPECT_EQ(f.stored().libraryRoots, std::vector<std::string>{f.lib.lib.string()});
    auto* gone = f.find<QWidget>("root:" + other);
    EXPECT_TRUE(gone == nullptr || gone->isHidden());
    EXPECT_EQ(status->text(), QStringLiteral("Indexing\u2026"));
    ASSERT_TRUE(waitUntil([&] { return f.library->indexing().empty(); }));
    ASSERT_TRUE(waitUntil([&] { return status->text() != QStringLiteral("Indexing\u2026"); }));
    EXPECT_EQ(f.library->indexedCount(), 1);
    EXPECT_EQ(status->text(), "1 files");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(f.find<QWidget>("root:" + other), nullptr);  // deleted once the loop is back
    savePng(f.window(), "settings-library");
}

TEST(LibrarySettings, TheCountUsesTheLocalesGrouping) {
    EXPECT_EQ(LibrarySettings::statusText(false, 12480, QLocale(QLocale::English, QLocale::UnitedStates)), "12,480 files");
    EXPECT_EQ(LibrarySettings::statusText(false, 12480, QLocale(QLocale::German, QLocale::Germany)), "12.480 files");
    QLocale plain(QLocale::English, QLocale::UnitedStates);
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    EXPECT_EQ(LibrarySettings::statusText(false, 1234567, plain), "1,234,567 files");
    EXPECT_EQ(LibrarySettings::statusText(false, 0, QLocale(QLocale::German, QLocale::Germany)), "0 files");
    EXPECT_EQ(LibrarySettings::statusText(true, 5), QStringLiteral("Indexing\u2026"));
}
