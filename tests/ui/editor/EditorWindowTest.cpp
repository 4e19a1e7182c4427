#include "ui/editor/EditorWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "app/DBusStandIn.h"
#include "app/HttpStandIn.h"
#include "app/core/FileReveal.h"
#include "support/AudioFiles.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorTexts.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/editor/LaneControls.h"
#include "ui/editor/TempEditsPanel.h"
#include "ui/widgets/Chip.h"
#include "ui/widgets/ElidedLabel.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

QByteArray jsonBytes(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// The AI service as far as an intro needs it: a generation request, one
// poll that is done, one take.
class AIServiceStandIn {
public:
    AIServiceStandIn()
        : server_([this](const test::HttpRequest& r) -> test::HttpAnswer {
              if (r.path == "/ai/generate" && r.method == "POST")
                  return {200, jsonBytes({{"taskId", "T-1"}, {"used", 3}, {"allowance", 50}})};
              if (r.path == "/ai/generate") {
                  // The first poll keeps the generation running for a while.
                  if (++polls_ < 3) return {200, jsonBytes({{"status", "running"}})};
                  const QString take = server_.base().resolved(QUrl("takes/1")).toString();
                  return {200, jsonBytes({{"status", "done"}, {"tracks", QJsonArray{QJsonObject{{"url", take}}}}})};
              }
              return {200, take(), "audio/mpeg"};
          }) {}

    AIGenerator::Service service() const {
        AIGenerator::Service s;
        s.baseAddress = server_.base();
        s.pollInterval = std::chrono::milliseconds(100);
        s.timeLimit = std::chrono::seconds(20);
        s.requestTimeout = std::chrono::seconds(5);
        return s;
    }

private:
    static QByteArray take() {
        static QByteArray bytes;
        if (bytes.isEmpty()) {
            test::TempDir dir;
            test::writeAudioFile(dir / "take.mp3", test::sineSignal(2, 44100 * 16, 44100, 440, 0.5f), 44100,
                                 {.kind = test::FileKind::mp3});
            const std::string s = test::readBytes(dir / "take.mp3");
            bytes = QByteArray(s.data(), static_cast<qsizetype>(s.size()));
        }
        return bytes;
    }

    int polls_ = 0;
    test::HttpStandIn server_;
};

// The whole window over a real model, a file manager on a private bus and
// the AI stand-in.
struct Window {
    test::EditorFixture e;
    test::PrivateBus bus;
    test::FileManagerStandIn manager{bus.connect("manager")};
    DesktopFileReveal reveal{bus.connect("client")};
    AIServiceStandIn ai;
    EditorWindow window{e.model, e.settings, reveal, ai.service()};

    Window() {
        window.resize(1280, 760);
        window.show();
        QApplication::processEvents();
    }
    template <class W = QWidget>
    W* find(const QString& name) const {
        return window.findChild<W*>(name);
    }
    QToolButton* button(const QString& name) const { return find<QToolButton>(name); }
    QPushButton* push(const QString& name) const { return find<QPushButton>(name); }
    bool shown(const QString& name) const { return find(name) && find(name)->isVisible(); }

    // Sends a drag over the window and drops it there.
    bool drop(const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        const QPointF at(300, 300);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        EXPECT_TRUE(window.dropTargeted());
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        EXPECT_FALSE(window.dropTargeted());
        return drop.isAccepted();
    }
    QUrl url(const fs::path& file) const { return QUrl::fromLocalFile(QString::fromStdString(file.string())); }
    fs::path piece(const char* name, int channels = 2, double seconds = 24) {
        const auto file = e.dir / name;
        test::writePiece(file, seconds, 44100, channels);
        return file;
    }
    std::vector<QWidget*> cards() const {
        std::vector<QWidget*> out;
        for (QWidget* w : window.findChildren<QWidget*>())
            if (w->objectName().startsWith("card:") && w->isVisible()) out.push_back(w);
        return out;
    }
    QWidget* card(const std::string& name) const {
        for (QWidget* c : cards())
            if (c->objectName() == QString::fromStdString("card:" + name)) return c;
        return nullptr;
    }
};

}  // namespace

TEST(EditorWindow, DropsOpenTheFirstAudioFileOnlyAndAreAlwaysAccepted) {
    Window w;
    auto& m = w.e.model;
    EXPECT_TRUE(w.shown("emptyState"));
    EXPECT_FALSE(w.shown("document"));
    EXPECT_GE(w.window.minimumWidth(), 900);
    w.window.resize(500, 300);
    EXPECT_EQ(w.window.size(), QSize(900, 560)) << "never smaller than 900 x 560";
    w.window.resize(1280, 760);

    // A drag over the empty state tints it.
    QMimeData mime;
    mime.setUrls({w.url(w.e.dir / "x.wav")});
    QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w.window, &enter);
    EXPECT_TRUE(w.window.dropTargeted());
    test::savePng(w.window, "editor-window-empty-drag");
    QDragLeaveEvent leave;
    QApplication::sendEvent(&w.window, &leave);
    EXPECT_FALSE(w.window.dropTargeted());

    // Text files do nothing, yet the drop is taken; only the first item counts.
    const auto text = w.e.dir / "notes.txt";
    test::writeBytes(text, "hello");
    const auto drums = w.piece("DRUMS.WAV");
    EXPECT_TRUE(w.drop({w.url(text)}));
    EXPECT_TRUE(w.drop({w.url(text), w.url(drums)}));
    EXPECT_TRUE(w.drop({QUrl("https://example.org/a.wav")})) << "a file that is not local";
    w.e.waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(m.doc());
    EXPECT_FALSE(m.busy());
    EXPECT_FALSE(m.message());

    // An audio file named in capitals opens; the badge shows while it loads.
    EXPECT_TRUE(w.drop({w.url(drums)}));
    ASSERT_TRUE(w.e.waitFor([&] { return m.busy().has_value(); }));
    EXPECT_TRUE(w.shown("busyBadge"));
    EXPECT_EQ(w.find<QLabel>("busyText")->text(), "Loading\u2026");
    test::savePng(w.window, "editor-window-loading");
    w.e.settle();
    ASSERT_TRUE(m.doc());
    EXPECT_EQ(m.doc()->url, drums);
    EXPECT_TRUE(w.shown("document"));
    EXPECT_FALSE(w.shown("busyBadge"));

    // A drop over an open document replaces it, the badge over the old one.
    const auto other = w.piece("Other.wav", 1, 8);
    m.play();
    ASSERT_TRUE(w.e.waitFor([&] { return m.isPlaying(); }));
    EXPECT_TRUE(w.drop({w.url(other)}));
    ASSERT_TRUE(w.e.waitFor([&] { return m.busy().has_value(); }));
    EXPECT_FALSE(m.isPlaying()) << "opening stops playback first";
    EXPECT_TRUE(w.shown("busyBadge"));
    EXPECT_TRUE(w.shown("document"));
    w.e.settle();
    EXPECT_EQ(m.doc()->url, other);
}

TEST(EditorWindow, OpenCancelledChangesNothingAndBadDropsReportInTheTransport) {
    Window w;
    auto& m = w.e.model;
    int asked = 0;
    w.window.chooseOpenFile = [&]() -> std::optional<fs::path> {
        ++asked;
        return std::nullopt;
    };
    QTest::mouseClick(w.push("open"), Qt::LeftButton);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(m.busy());
    EXPECT_FALSE(m.doc());
    const auto drums = w.piece("Drums.wav");
    w.window.chooseOpenFile = [&]() -> std::optional<fs::path> { return drums; };
    QTest::mouseClick(w.push("open"), Qt::LeftButton);
    w.e.settle();
    ASSERT_TRUE(m.doc());

    // Over 30 minutes, gone, a folder with an audio name: the model's
    // message in the transport, the document as it was.
    const auto longFile = w.e.dir / "Long.wav";
    test::writeAudioFile(longFile, test::Planar(1, std::vector<float>(8000 * 60 * 31, 0.f)), 8000,
                         {.kind = test::FileKind::wav, .bits = 8});
    fs::create_directory(w.e.dir / "x.wav");
    for (const auto& bad : {longFile, w.e.dir / "gone.wav", w.e.dir / "x.wav"}) {
        SCOPED_TRACE(bad.string());
        EXPECT_TRUE(w.drop({w.url(bad)}));
        w.e.waitFor([&] { return m.busy().has_value(); }, std::chrono::milliseconds(500));
        w.e.settle();
        EXPECT_EQ(m.doc()->url, drums);
        ASSERT_TRUE(m.message());
        EXPECT_TRUE(w.shown("message"));
        EXPECT_EQ(w.find<widgets::ElidedLabel>("message")->text(), QString::fromStdString(*m.message()));
    }
}

TEST(EditorWindow, TheLaneColumnNeedsExpertModeAndTwoLanes) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Mono.wav", 1, 6));
    auto* lanes = w.window.findChild<LaneControls*>();
    w.e.setExpert(true);
    EXPECT_FALSE(lanes->isVisible()) << "a mono document never shows it";
    w.e.open(w.piece("Stereo.wav", 2, 6));
    EXPECT_TRUE(lanes->isVisible());
    w.e.setExpert(false);
    EXPECT_FALSE(lanes->isVisible());
    EXPECT_TRUE(m.doc());
}

TEST(TempEditsPanel, TargetsCardsPinsAndOptionsFollowTheModel) {
    Window w;
    auto& m = w.e.model;
    auto& panel = w.window.panel();
    (void)panel;
    w.e.open(w.piece("Drums.wav", 2, 40));
    ASSERT_TRUE(m.pins());
    ASSERT_FALSE(m.plans().empty());

    auto options = m.options();
    options.targets = {15, 60};
    m.setOptions(options);
    EXPECT_TRUE(w.button("target15")->isChecked());
    EXPECT_FALSE(w.button("target30")->isChecked());
    QTest::mouseClick(w.button("target30"), Qt::LeftButton);
    EXPECT_EQ(m.options().targets, (std::vector<double>{15, 30, 60}));
    QTest::mouseClick(w.button("target15"), Qt::LeftButton);
    EXPECT_EQ(m.options().targets, (std::vector<double>{30, 60}));
    EXPECT_TRUE(w.button("target30")->isChecked());
    EXPECT_TRUE(w.button("target60")->isChecked());
    QApplication::processEvents();
    EXPECT_EQ(w.cards().size(), m.plans().size()) << "one card per plan, following every change";

    EXPECT_TRUE(w.button("extended")->isChecked());
    QTest::mouseClick(w.button("extended"), Qt::LeftButton);
    EXPECT_EQ(m.options().extended, std::nullopt);
    QTest::mouseClick(w.button("extended"), Qt::LeftButton);
    EXPECT_EQ(m.options().extended, 180.0);

    // Pin chips as the pins say, and "Reset pins" puts moved pins back.
    std::vector<QString> chips;
    for (auto* chip : w.window.findChildren<widgets::Chip*>())
        if (chip->isVisible()) chips.push_back(chip->text());
    std::vector<QString> expected;
    for (const auto& c : editortext::pinChips(*m.pins())) expected.push_back(c.text);
    EXPECT_EQ(chips, expected);
    const Pins analysed = *m.pins();
    m.movePin(PinKind::loopEnd, m.frame(analysed.loopEnd + 1));
    ASSERT_NE(m.pins(), analysed);
    QTest::mouseClick(w.button("resetPins"), Qt::LeftButton);
    EXPECT_EQ(m.pins(), analysed);
    QApplication::processEvents();

    // Cards: 150 wide and plain in basic mode, 230 with the map in expert mode.
    ASSERT_FALSE(w.cards().empty());
    EXPECT_EQ(w.cards()[0]->width(), 150);
    EXPECT_FALSE(w.cards()[0]->findChild<QLabel*>("map"));
    EXPECT_FALSE(w.shown("expertRow"));
    test::savePng(w.window, "editor-window-basic");
    w.e.setExpert(true);
    QApplication::processEvents();
    ASSERT_FALSE(w.cards().empty());
    EXPECT_EQ(w.cards()[0]->width(), 230);
    EXPECT_TRUE(w.cards()[0]->findChild<QLabel*>("map"));
    for (size_t i = 0; i < m.plans().size(); ++i) {
        const auto& plan = m.plans()[i];
        auto* card = w.card(plan.name);
        ASSERT_TRUE(card);
        EXPECT_EQ(card->findChild<QLabel*>("quality") != nullptr, plan.quality < 0.999) << plan.name;
        EXPECT_EQ(card->findChild<QLabel*>("length")->text(), editortext::planLength(plan, m.doc()->sampleRate));
    }

    // The expert row: the crossfade stepper within 5 ... 120 by 5, exact
    // lengths, edits beside the source, loop candidates.
    ASSERT_TRUE(w.shown("expertRow"));
    auto* crossfade = w.find<QSpinBox>("crossfade");
    EXPECT_EQ(crossfade->text(), "Splice crossfade 30 ms");
    crossfade->stepUp();
    EXPECT_EQ(m.options().crossfadeMs, 35);
    crossfade->setValue(500);
    EXPECT_EQ(m.options().crossfadeMs, 120);
    crossfade->setValue(1);
    EXPECT_EQ(m.options().crossfadeMs, 5);
    crossfade->stepDown();
    EXPECT_EQ(m.options().crossfadeMs, 5);
    QTest::mouseClick(w.find<QCheckBox>("exactLengths"), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(m.options().exactLength);
    QTest::mouseClick(w.find<QCheckBox>("besideSource"), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(w.e.settings.value().tempEditsBesideSource);
    QTest::mouseClick(w.find<QCheckBox>("besideSource"), Qt::LeftButton, {}, QPoint(5, 5));

    const auto& candidates = m.analysis()->structure.loopCandidates;
    const auto actions = w.button("loopCandidates")->menu()->actions();
    ASSERT_EQ(static_cast<size_t>(actions.size()), std::min<size_t>(candidates.size(), 6));
    if (!actions.isEmpty()) {
        EXPECT_EQ(actions[0]->text(), editortext::loopCandidateTitle(candidates[0]));
        actions[0]->trigger();
        EXPECT_EQ(m.pins()->loopEnd, std::max(candidates[0].boundary, m.pins()->loopStart + 1));
    }

    // Auditioning a card plays its rendering.
    QApplication::processEvents();
    ASSERT_FALSE(w.cards().empty());
    QTest::mouseClick(w.cards()[0]->findChild<QToolButton*>("audition"), Qt::LeftButton);
    EXPECT_TRUE(w.e.waitFor([&] { return m.isPlaying(); }));
    m.stop();
}

TEST(TempEditsPanel, MakeTempEditsWritesTheFolderAndRevealShowsIt) {
    Window w;
    auto& m = w.e.model;
    auto* make = w.push("makeTempEdits");
    // Silence: no analysis, no plans, no pins.
    const auto quiet = w.e.dir / "Quiet.wav";
    test::writeAudioFile(quiet, test::Planar(2, std::vector<float>(44100 * 4, 0.f)), 44100);
    w.e.open(quiet);
    EXPECT_TRUE(m.plans().empty());
    EXPECT_FALSE(make->isEnabled());
    for (const char* name : {"aiIntro", "aiEnding", "aiVariation"}) EXPECT_FALSE(w.push(name)->isEnabled()) << name;
    EXPECT_FALSE(w.shown("lastExport"));

    w.e.open(w.piece("Drums.wav", 2, 40));
    ASSERT_FALSE(m.plans().empty());
    ASSERT_TRUE(make->isEnabled());
    QTest::mouseClick(make, Qt::LeftButton);
    EXPECT_EQ(m.busy(), "Writing edits\u2026");
    EXPECT_FALSE(make->isEnabled()) << "disabled while the model is busy";
    w.e.settle();
    ASSERT_TRUE(m.lastExport());
    const auto result = *m.lastExport();
    EXPECT_EQ(result.folder, w.e.dir / "Drums Edits");
    EXPECT_EQ(result.files.size(), m.plans().size());
    for (const auto& f : result.files) EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(result.notes));
    // The batch itself asked the file manager to show the folder.
    const QStringList folder = DesktopFileReveal::uris({result.folder});
    ASSERT_TRUE(w.e.waitFor([&] { return !w.manager.calls.empty(); }));
    EXPECT_EQ(w.manager.calls.back(), folder);

    ASSERT_TRUE(w.shown("lastExport"));
    EXPECT_EQ(w.find<widgets::ElidedLabel>("exportFolder")->text(), QString::fromStdString(result.folder.string()));
    QTest::mouseClick(w.push("reveal"), Qt::LeftButton);
    ASSERT_TRUE(w.e.waitFor([&] { return w.manager.calls.size() == 2; }));
    EXPECT_EQ(w.manager.calls.back(), folder);
    w.e.setExpert(true);
    QApplication::processEvents();
    test::savePng(w.window, "editor-window-expert-written");
}

TEST(TempEditsPanel, AnAIIntroRunsAgainstTheServiceAndOutlivesTheWindowsClosing) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 40));
    ASSERT_TRUE(m.pins());
    auto& ai = w.window.panel().ai();
    for (const char* name : {"aiIntro", "aiEnding", "aiVariation"}) EXPECT_TRUE(w.push(name)->isEnabled()) << name;
    QTest::mouseClick(w.push("aiIntro"), Qt::LeftButton);
    ASSERT_TRUE(ai.running());
    for (const char* name : {"aiIntro", "aiEnding", "aiVariation"}) EXPECT_FALSE(w.push(name)->isEnabled()) << name;
    EXPECT_TRUE(w.shown("aiBusy"));
    ASSERT_TRUE(w.e.waitFor([&] { return ai.status().has_value(); }));
    EXPECT_TRUE(w.shown("aiStatus"));

    // Closing the window only hides it: the generation goes on to its end.
    EXPECT_TRUE(w.window.close());
    EXPECT_FALSE(w.window.isVisible());
    ASSERT_TRUE(w.e.waitFor([&] { return !ai.running(); }, std::chrono::seconds(60)));
    ASSERT_FALSE(ai.results().empty()) << ai.status().value_or("").toStdString();
    for (const auto& take : ai.results()) {
        EXPECT_TRUE(fs::exists(take)) << take;
        EXPECT_EQ(take.parent_path(), w.e.dir / "Drums Edits");
    }
    ASSERT_TRUE(w.e.waitFor([&] { return !w.manager.calls.empty(); }));
    EXPECT_EQ(w.manager.calls.back(), DesktopFileReveal::uris(ai.results()));
    w.window.show();
    QApplication::processEvents();
    EXPECT_FALSE(w.shown("aiBusy"));
    EXPECT_EQ(w.find<widgets::ElidedLabel>("aiStatus")->text(), *ai.status());
    EXPECT_TRUE(w.push("aiIntro")->isEnabled());
}
