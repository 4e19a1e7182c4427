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
#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "app/DBusStandIn.h"
#include "app/HttpStandIn.h"
#include "app/core/FileReveal.h"
#include "support/AudioFiles.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorTexts.h"
#include "ui/editor/EditorWaveView.h"
#include "edit/EditOps.h"
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

    explicit Window(bool withService = true) {
        if (withService)
            e.settings.update([&](AppSettings& s) { s.aiServiceAddress = ai.service().baseAddress.toString().toStdString(); });
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
        EXPECT_EQ(w.find<QLabel>("message")->text(), QString::fromStdString(*m.message()));
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
        // The map in two lines at most; a longer one shortened, whole in
        // its tooltip.
        auto* map = card->findChild<QLabel*>("map");
        const QString full = QString::fromStdString(plan.map);
        if (map->text() != full) {
            EXPECT_TRUE(map->text().endsWith(QStringLiteral("\u2026"))) << plan.name;
            EXPECT_TRUE(full.startsWith(map->text().chopped(1).trimmed())) << plan.name;
            EXPECT_EQ(map->toolTip(), full) << plan.name;
        }
        EXPECT_LE(map->heightForWidth(map->width()), 2 * QFontMetrics(map->font()).lineSpacing() + 2) << plan.name;
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

TEST(TempEditsPanel, APlainWheelScrollsThePlanCardsThatRunPastTheEdge) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 40));
    auto options = m.options();
    options.targets = {15, 30, 60, 120};
    m.setOptions(options);
    w.e.setExpert(true);
    w.window.resize(w.window.minimumSize());
    QApplication::processEvents();
    auto* strip = w.find<QAbstractScrollArea>("cards");
    ASSERT_TRUE(strip);
    QScrollBar* bar = strip->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "more cards than the window is wide";
    ASSERT_FALSE(w.cards().empty());
    // As a mouse or a touchpad sends it; to the strip's viewport, where a
    // wheel over a card arrives (its labels and buttons take none, and an
    // event sent by hand is not passed on to the parents).
    QWidget* viewport = strip->viewport();
    const auto wheel = [&](QPoint pixels, QPoint angle) {
        const QPointF at(viewport->rect().center());
        QWheelEvent event(at, viewport->mapToGlobal(at), pixels, angle, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &event);
        return bar->value();
    };
    EXPECT_EQ(bar->value(), 0);
    const int down = wheel({}, {0, -120});
    EXPECT_GT(down, 0) << "a notch down moves on to the later cards";
    EXPECT_LT(wheel({}, {0, 120}), down) << "and up back";
    EXPECT_EQ(bar->value(), 0);
    EXPECT_GT(wheel({-40, 0}, {-40, 0}), 0) << "a touchpad's sideways swipe, by its pixels";
    for (int i = 0; i < 100; ++i) wheel({}, {0, -120});
    EXPECT_EQ(bar->value(), bar->maximum()) << "to the last card and no further";
    EXPECT_FALSE(w.cards().back()->visibleRegion().isEmpty()) << "the last card is in view";
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
    // The window alone shows nothing: the composition root reveals the
    // batch (AppShellTest counts one reveal per batch); "Reveal" shows it.
    const QStringList folder = DesktopFileReveal::uris({result.folder});
    w.e.waitFor([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(w.manager.calls.empty());

    ASSERT_TRUE(w.shown("lastExport"));
    EXPECT_EQ(w.find<widgets::ElidedLabel>("exportFolder")->text(), QString::fromStdString(result.folder.string()));
    QTest::mouseClick(w.push("reveal"), Qt::LeftButton);
    ASSERT_TRUE(w.e.waitFor([&] { return w.manager.calls.size() == 1; }));
    EXPECT_EQ(w.manager.calls.back(), folder);
    w.e.setExpert(true);
    QApplication::processEvents();
    test::savePng(w.window, "editor-window-expert-written");
}

TEST(TempEditsPanel, TheAIButtonsWaitForAServiceAndSayWhy) {
    Window w(false);
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 40));
    ASSERT_TRUE(m.pins());
    auto& ai = w.window.panel().ai();
    // None named (the default): off, saying so, and a click sends nothing.
    for (const char* name : {"aiIntro", "aiEnding", "aiVariation"}) {
        EXPECT_FALSE(w.push(name)->isEnabled()) << name;
        EXPECT_EQ(w.push(name)->toolTip(), QString::fromUtf8(AIGenerator::kNoServiceText)) << name;
    }
    w.push("aiEnding")->click();
    EXPECT_FALSE(ai.running());
    // An address in clear over the network: refused, and said why.
    w.e.settings.update([](AppSettings& s) { s.aiServiceAddress = "http://generate.example.org/v1/"; });
    EXPECT_FALSE(w.push("aiIntro")->isEnabled());
    EXPECT_TRUE(w.push("aiIntro")->toolTip().contains("https"));
    // The stand-in on this machine: on, the tooltip naming where it sends.
    const QUrl base = AIServiceStandIn().service().baseAddress;
    w.e.settings.update([&](AppSettings& s) { s.aiServiceAddress = base.toString().toStdString(); });
    EXPECT_TRUE(w.push("aiIntro")->isEnabled());
    EXPECT_TRUE(w.push("aiIntro")->toolTip().endsWith(base.host()));
    EXPECT_EQ(ai.service().baseAddress, base);
    test::savePng(w.window, "editor-window-ai-service");
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

// --- Keys ----------------------------------------------------------------

namespace {

// The key a control's tooltip names in its parentheses: "Undo (Ctrl+Z)".
QKeySequence namedKey(const QWidget* control) {
    const QString tip = control->toolTip();
    const qsizetype open = tip.lastIndexOf(QLatin1Char('('));
    if (open < 0 || !tip.endsWith(QLatin1Char(')'))) return {};
    return QKeySequence::fromString(tip.mid(open + 1, tip.size() - open - 2), QKeySequence::NativeText);
}

void press(QWidget* target, const QKeySequence& keys) {
    ASSERT_FALSE(keys.isEmpty());
    const QKeyCombination k = keys[0];
    QTest::keyClick(target, k.key(), k.keyboardModifiers());
    QApplication::processEvents();
}

}  // namespace

TEST(EditorWindow, EveryKeyATooltipNamesDoesWhatItsButtonDoes) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 12));
    ASSERT_TRUE(m.doc());
    w.window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.window));
    // The keys reach the window wherever the focus is, here the waveform.
    w.window.waveform().setFocus();
    QWidget* at = &w.window.waveform();
    const int64_t frames = m.doc()->frames();
    const double rate = m.doc()->sampleRate;
    auto key = [&](const char* name) {
        QWidget* control = w.find(name);
        EXPECT_TRUE(control) << name;
        return control ? namedKey(control) : QKeySequence();
    };
    EXPECT_EQ(key("undo").toString(QKeySequence::NativeText), "Ctrl+Z");
    EXPECT_EQ(key("redo").toString(QKeySequence::NativeText), "Ctrl+Shift+Z");

    // Select all, then delete a second of it.
    press(at, QKeySequence(Qt::CTRL | Qt::Key_A));
    EXPECT_EQ(m.selection(), (FrameRange{0, frames}));
    m.setSelection(FrameRange{0, static_cast<int64_t>(rate)});
    press(at, key("delete"));
    EXPECT_EQ(m.doc()->frames(), frames - static_cast<int64_t>(rate));
    press(at, key("undo"));
    EXPECT_EQ(m.doc()->frames(), frames);
    press(at, key("redo"));
    EXPECT_EQ(m.doc()->frames(), frames - static_cast<int64_t>(rate));
    press(at, key("undo"));
    press(at, QKeySequence(Qt::CTRL | Qt::Key_Y));
    EXPECT_EQ(m.doc()->frames(), frames - static_cast<int64_t>(rate)) << "Ctrl+Y redoes too";
    press(at, key("undo"));
    m.setSelection(FrameRange{0, static_cast<int64_t>(rate)});
    press(at, QKeySequence(Qt::Key_Backspace));
    EXPECT_EQ(m.doc()->frames(), frames - static_cast<int64_t>(rate)) << "Backspace deletes as Delete does";
    press(at, key("undo"));
    ASSERT_EQ(m.doc()->frames(), frames);

    // Copy, cut and paste through the process-wide clipboard.
    EditOps::clipboard.reset();
    m.setSelection(FrameRange{0, 1000});
    press(at, key("copy"));
    ASSERT_TRUE(EditOps::clipboard);
    EXPECT_EQ((*EditOps::clipboard)[0].size(), 1000u);
    m.setSelection(FrameRange{0, 500});
    press(at, key("cut"));
    EXPECT_EQ(m.doc()->frames(), frames - 500);
    EXPECT_EQ((*EditOps::clipboard)[0].size(), 500u);
    m.setSelection(std::nullopt);
    press(at, key("paste"));
    EXPECT_EQ(m.doc()->frames(), frames);

    // Zoom in and out around the cursor while it is in view.
    m.fit();
    m.setCursor(frames / 4);
    const int64_t whole = m.viewLength();
    press(at, key("zoomIn"));
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(static_cast<double>(whole) / 1.5));
    EXPECT_LE(m.viewStart(), frames / 4);
    EXPECT_GE(m.viewStart() + m.viewLength(), frames / 4);
    press(at, QKeySequence(Qt::Key_Equal));
    const int64_t closer = m.viewLength();
    EXPECT_LT(closer, whole / 2) << "= zooms in as + does, without Shift";
    press(at, key("zoomOut"));
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(static_cast<double>(closer) / 0.66));

    // Nudges: a twentieth of the view, with Shift a whole view; the view
    // follows the cursor.
    const int64_t view = m.viewLength();
    const int64_t from = m.cursor();
    press(at, QKeySequence(Qt::Key_Right));
    EXPECT_EQ(m.cursor(), from + view / 20);
    press(at, QKeySequence(Qt::Key_Left));
    EXPECT_EQ(m.cursor(), from);
    press(at, QKeySequence(Qt::SHIFT | Qt::Key_Right));
    ASSERT_LT(from + view, frames);
    EXPECT_EQ(m.cursor(), from + (view / 20) * 20);
    EXPECT_LE(m.viewStart(), m.cursor());
    EXPECT_GE(m.viewStart() + m.viewLength(), m.cursor()) << "the cursor stays in view";
    press(at, QKeySequence(Qt::SHIFT | Qt::Key_Right));
    EXPECT_EQ(m.cursor(), frames) << "never past the end";

    // Home and End go to the ends, stop playback and bring them into view.
    m.play();
    ASSERT_TRUE(w.e.waitFor([&] { return m.isPlaying(); }));
    press(at, key("toEnd"));
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.cursor(), frames);
    EXPECT_EQ(m.viewStart() + m.viewLength(), frames);
    press(at, key("toZero"));
    EXPECT_EQ(m.cursor(), 0);
    EXPECT_EQ(m.viewStart(), 0);

    // While playing, a nudge plays on from the new place.
    m.play();
    ASSERT_TRUE(w.e.waitFor([&] { return m.isPlaying(); }));
    press(at, QKeySequence(Qt::SHIFT | Qt::Key_Right));
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(m.cursor(), m.viewLength() / 20 * 20);
    m.stop();
}

TEST(EditorWindow, ATextFieldKeepsTheKeysItEditsWith) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 12));
    w.e.setExpert(true);
    QApplication::processEvents();
    w.window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.window));
    auto* crossfade = w.find<QSpinBox>("crossfade");
    ASSERT_TRUE(crossfade && crossfade->isVisible());
    crossfade->setFocus();
    ASSERT_TRUE(crossfade->hasFocus());
    m.setSelection(FrameRange{0, 44100});
    m.setCursor(1000);
    const int64_t frames = m.doc()->frames();
    const int64_t length = m.viewLength();
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::CTRL | Qt::Key_A),
          QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_Right),
          QKeySequence(Qt::Key_Home), QKeySequence(Qt::Key_End), QKeySequence(Qt::Key_Minus)}) {
        press(crossfade, keys);
        EXPECT_EQ(m.doc()->frames(), frames) << keys.toString().toStdString();
        EXPECT_EQ(m.selection(), (FrameRange{0, 44100})) << keys.toString().toStdString();
        EXPECT_EQ(m.cursor(), 1000) << keys.toString().toStdString();
        EXPECT_EQ(m.viewLength(), length) << keys.toString().toStdString();
    }
    // Out of the field, the same key acts on the document again.
    w.window.waveform().setFocus();
    press(&w.window.waveform(), QKeySequence(Qt::Key_Delete));
    EXPECT_EQ(m.doc()->frames(), frames - 44100);
}

TEST(EditorWindow, TheScrollBarShowsAndMovesTheVisiblePart) {
    Window w;
    auto& m = w.e.model;
    w.e.open(w.piece("Drums.wav", 2, 12));
    auto* bar = w.find<QScrollBar>("viewScroll");
    ASSERT_TRUE(bar && bar->isVisible());
    m.fit();
    EXPECT_EQ(bar->maximum(), 0) << "the whole file in view: nothing to scroll";
    m.zoom(4, 0, 0);
    const int64_t length = m.viewLength();
    EXPECT_EQ(bar->pageStep(), length);
    EXPECT_EQ(bar->maximum(), m.doc()->frames() - length);
    EXPECT_EQ(bar->value(), 0);
    m.scroll(length / 2);
    EXPECT_EQ(bar->value(), m.viewStart());
    // Dragging the handle scrolls the view, the zoom unchanged.
    bar->setValue(bar->maximum());
    EXPECT_EQ(m.viewStart(), m.doc()->frames() - length);
    EXPECT_EQ(m.viewLength(), length);
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(m.viewStart(), m.doc()->frames() - 2 * length);
}

TEST(EditorWindow, AFailedOpenIsShownWhereTheUserLooksAndWholly) {
    Window w;
    auto& m = w.e.model;
    // No document: the empty state says what went wrong.
    const auto gone = w.e.dir / "A file whose name is long enough to fill a good part of the line.wav";
    m.open(gone);
    w.e.settle();
    ASSERT_FALSE(m.doc());
    ASSERT_TRUE(m.message());
    ASSERT_TRUE(w.shown("emptyMessage"));
    auto* empty = w.find<QLabel>("emptyMessage");
    EXPECT_EQ(empty->text(), QString::fromStdString(*m.message()));
    EXPECT_TRUE(empty->text().contains("A file whose name")) << "the file is named";
    EXPECT_GE(empty->font().pixelSize() > 0 ? empty->font().pixelSize() : QFontInfo(empty->font()).pixelSize(),
              QFontInfo(QApplication::font()).pixelSize())
        << "at the desktop's text size";
    test::savePng(w.window, "editor-window-failed-open");

    // With a document, the transport's line shows the whole text, wrapped
    // at a narrow window rather than cut.
    w.e.open(w.piece("Drums.wav", 2, 8));
    m.open(gone);
    w.e.settle();
    ASSERT_TRUE(m.message());
    w.window.resize(w.window.minimumSize());
    QApplication::processEvents();
    auto* line = w.find<QLabel>("message");
    ASSERT_TRUE(line->isVisible());
    EXPECT_EQ(line->text(), QString::fromStdString(*m.message()));
    const QFontMetrics metrics(line->font());
    const QRect needs = metrics.boundingRect(QRect(0, 0, line->contentsRect().width(), 10000),
                                             Qt::TextWordWrap, line->text());
    EXPECT_LE(needs.height(), line->contentsRect().height() + 1) << "every line of it shows";
    test::savePng(w.window, "editor-window-failed-open-over-a-document");
}
