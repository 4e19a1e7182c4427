#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "edit/EditOps.h"
#include "support/AudioFiles.h"
#include "support/Signals.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorHeader.h"
#include "ui/editor/EditorTexts.h"
#include "ui/editor/EditorToolbar.h"
#include "ui/editor/EditorTransport.h"
#include "ui/editor/EditorWaveBridge.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/editor/LaneControls.h"
#include "ui/widgets/ElidedLabel.h"

using namespace qm;

namespace {

// The rows around the waveform, hosted in a plain widget.
struct Rows {
    test::EditorFixture e;
    QWidget host;
    EditorHeader* header;
    EditorToolbar* toolbar;
    LaneControls* lanes;
    EditorWaveView* wave;
    EditorTransport* transport;

    Rows() {
        auto* column = new QVBoxLayout(&host);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        header = new EditorHeader(e.model, e.settings, &host);
        toolbar = new EditorToolbar(e.model, e.settings, &host);
        auto* middle = new QHBoxLayout;
        middle->setSpacing(0);
        lanes = new LaneControls(e.model, e.settings, &host);
        wave = new EditorWaveView(&host);
        wave->setMinimumHeight(220);
        new EditorWaveBridge(e.model, *wave);
        middle->addWidget(lanes);
        middle->addWidget(wave, 1);
        transport = new EditorTransport(e.model, &host);
        column->addWidget(header);
        column->addWidget(toolbar);
        column->addLayout(middle, 1);
        column->addWidget(transport);
        host.resize(1200, 480);
        host.show();
    }
    QToolButton* button(const char* name) const { return host.findChild<QToolButton*>(name); }
    QString text(const char* name) const {
        if (auto* l = host.findChild<QLabel*>(name)) return l->text();
        if (auto* l = host.findChild<widgets::ElidedLabel*>(name)) return l->text();
        return button(name)->text();
    }
    bool shown(const char* name) const { return host.findChild<QWidget*>(name)->isVisible(); }
    QAction* action(const char* menu, const QString& title) const {
        for (QAction* a : button(menu)->menu()->actions())
            if (a->text() == title) return a;
        return nullptr;
    }
    void openPiece(const char* name = "Drums.wav", int channels = 2, double seconds = 24) {
        const auto file = e.dir / name;
        test::writePiece(file, seconds, 44100, channels);
        e.open(file);
        QApplication::processEvents();
    }
};

}  // namespace

TEST(EditorToolbar, EnablingFollowsSelectionUndoAndTheProcessWideClipboard) {
    EditOps::clipboard.reset();
    Rows r;
    r.openPiece();
    auto& m = r.e.model;
    for (const char* name : {"undo", "redo", "paste", "cut", "copy", "delete", "trim", "silence", "zoomToSelection"})
        EXPECT_FALSE(r.button(name)->isEnabled()) << name;
    for (const char* name : {"effects", "topAndTails", "seamlessLoop", "zoomIn", "zoomOut", "fit", "swap"})
        EXPECT_TRUE(r.button(name)->isEnabled()) << name;

    m.setSelection(FrameRange{44100, 88200});
    for (const char* name : {"cut", "copy", "delete", "trim", "silence", "zoomToSelection"})
        EXPECT_TRUE(r.button(name)->isEnabled()) << name;
    // Copy changes nothing the toolbar reads but the clipboard: Paste follows.
    QTest::mouseClick(r.button("copy"), Qt::LeftButton);
    EXPECT_TRUE(r.button("paste")->isEnabled());
    EXPECT_FALSE(r.button("undo")->isEnabled());

    const auto before = *m.doc()->channels;
    QTest::mouseClick(r.button("silence"), Qt::LeftButton);
    EXPECT_EQ((*m.doc()->channels)[0][50000], 0.f);
    EXPECT_TRUE(r.button("undo")->isEnabled());
    EXPECT_FALSE(r.button("redo")->isEnabled());
    QTest::mouseClick(r.button("undo"), Qt::LeftButton);
    EXPECT_EQ(*m.doc()->channels, before);
    EXPECT_TRUE(r.button("redo")->isEnabled());
    r.e.settle();

    // A newly opened document: the clipboard of the earlier one still pastes.
    r.openPiece("Other.wav");
    EXPECT_FALSE(r.button("undo")->isEnabled());
    EXPECT_FALSE(r.button("redo")->isEnabled());
    EXPECT_TRUE(r.button("paste")->isEnabled());
    EXPECT_FALSE(r.button("cut")->isEnabled());
}

TEST(EditorToolbar, EffectsToolsScopeSnapAndZoomCallTheModel) {
    Rows r;
    r.openPiece();
    auto& m = r.e.model;
    const auto before = *m.doc()->channels;

    // The Effects menu lists the table in order with its blurbs as help.
    const auto actions = r.button("effects")->menu()->actions();
    ASSERT_EQ(actions.size(), 11);
    EXPECT_EQ(actions[0]->text(), "Normalize");
    EXPECT_EQ(actions[5]->toolTip(), "1987. A payphone outside a laundromat. You're on hold.");
    EXPECT_EQ(actions[10]->text(), "Ghost Echo");
    r.action("effects", "Reverse")->trigger();
    EXPECT_EQ((*m.doc()->channels)[0].front(), before[0].back()) << "no selection: the whole file";
    QTest::mouseClick(r.button("swap"), Qt::LeftButton);
    EXPECT_EQ((*m.doc()->channels)[1].front(), before[0].back());
    EXPECT_EQ(m.undoDepth(), 2u);

    // The scope menu: expert mode and two lanes or more only.
    EXPECT_FALSE(r.shown("scope"));
    r.e.setExpert(true);
    ASSERT_TRUE(r.shown("scope"));
    EXPECT_EQ(r.text("scope"), "All lanes");
    r.action("scope", "Lane 1")->trigger();
    r.action("scope", "Lane 2")->trigger();
    EXPECT_EQ(m.scope(), (std::set<int>{0, 1}));
    EXPECT_EQ(r.text("scope"), "2 lanes");
    r.action("scope", "Lane 1")->trigger();
    r.action("scope", "Lane 2")->trigger();
    EXPECT_EQ(m.scope(), std::nullopt);
    EXPECT_EQ(r.text("scope"), "All lanes");
    r.action("scope", "Lane 2")->trigger();
    r.action("scope", "All lanes")->trigger();
    EXPECT_EQ(m.scope(), std::nullopt);
    r.e.setExpert(false);
    EXPECT_FALSE(r.shown("scope"));

    // Snap is a switch on the model's snap.
    EXPECT_TRUE(r.button("snap")->isChecked());
    QTest::mouseClick(r.button("snap"), Qt::LeftButton);
    EXPECT_FALSE(m.snap());
    m.setSnap(true);
    EXPECT_TRUE(r.button("snap")->isChecked());

    // Zooming keeps the centre; out at full view keeps the whole file.
    const int64_t frames = m.doc()->frames();
    QTest::mouseClick(r.button("zoomOut"), Qt::LeftButton);
    EXPECT_EQ(m.viewStart(), 0);
    EXPECT_EQ(m.viewLength(), frames);
    QTest::mouseClick(r.button("zoomIn"), Qt::LeftButton);
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(frames / 1.5));
    EXPECT_EQ(m.viewStart(), frames / 2 - static_cast<int64_t>(0.5 * m.viewLength()));
    m.setSelection(FrameRange{100000, 200000});
    QTest::mouseClick(r.button("zoomToSelection"), Qt::LeftButton);
    EXPECT_EQ(m.viewStart(), 95000);
    QTest::mouseClick(r.button("fit"), Qt::LeftButton);
    EXPECT_EQ(m.viewLength(), frames);
    r.e.settle();
}

TEST(EditorToolbar, AMonoDocumentHasNoScopeAndCannotSwap) {
    Rows r;
    r.e.setExpert(true);
    r.openPiece("Mono.wav", 1, 8);
    EXPECT_FALSE(r.shown("scope"));
    EXPECT_FALSE(r.button("swap")->isEnabled());
    EXPECT_FALSE(r.lanes->isVisible()) << "no lane column for one lane";
}

TEST(LaneControls, SoloAndMuteEditTheSetsAndTheWaveformDims) {
    Rows r;
    r.openPiece("Four.wav", 4, 8);
    auto& m = r.e.model;
    EXPECT_FALSE(r.lanes->isVisible()) << "basic mode shows no lane column";
    r.e.setExpert(true);
    ASSERT_TRUE(r.lanes->isVisible());
    QTest::mouseClick(r.button("solo1"), Qt::LeftButton);
    EXPECT_EQ(m.solo(), (std::set<int>{1}));
    QApplication::processEvents();
    EXPECT_EQ(r.wave->muted, (std::set<int>{0, 2, 3}));
    QTest::mouseClick(r.button("mute1"), Qt::LeftButton);
    EXPECT_EQ(r.wave->muted, (std::set<int>{0, 1, 2, 3}));
    QTest::mouseClick(r.button("mute3"), Qt::LeftButton);
    QTest::mouseClick(r.button("mute1"), Qt::LeftButton);
    EXPECT_EQ(m.mute(), (std::set<int>{3})) << "turning a switch off removes only that lane";
    test::savePng(r.host, "editor-rows-expert");

    // Leaving expert mode hides the switches and keeps the sets in force.
    r.e.setExpert(false);
    EXPECT_FALSE(r.lanes->isVisible());
    EXPECT_EQ(m.solo(), (std::set<int>{1}));
    EXPECT_EQ(r.wave->muted, (std::set<int>{0, 2, 3}));
    test::savePng(r.host, "editor-rows-basic");
}

TEST(LaneControls, SixteenLanesEachHaveARowLevelWithTheirLane) {
    Rows r;
    r.host.resize(1200, 900);
    r.e.setExpert(true);
    r.openPiece("Sixteen.wav", 16, 4);
    QApplication::processEvents();
    const double laneHeight = (r.wave->height() - 24.0) / 16;
    for (int i = 0; i < 16; ++i) {
        auto* solo = r.button(QStringLiteral("solo%1").arg(i).toLatin1().constData());
        ASSERT_TRUE(solo);
        const QWidget* row = solo->parentWidget();
        EXPECT_NEAR(row->y(), 24 + i * laneHeight, 1.0) << i;
        EXPECT_NEAR(row->height(), laneHeight, 1.0) << i;
    }
    EXPECT_EQ(r.lanes->width(), 34);
    test::savePng(r.host, "editor-rows-16-lanes");
}

TEST(EditorTransport, StepsClampToTheFileAndTheEndButtonsStopPlayback) {
    Rows r;
    const auto file = r.e.dir / "Short.wav";
    test::writeTestFile(file, 2, 200000, 48000);
    r.e.open(file);
    auto& m = r.e.model;
    EXPECT_EQ(EditorTransport::step(48000), 240000);
    EXPECT_EQ(EditorTransport::step(44100.9), 220504);
    m.setCursor(100000);
    QTest::mouseClick(r.button("back"), Qt::LeftButton);
    EXPECT_EQ(m.cursor(), 0);
    m.setCursor(190000);
    QTest::mouseClick(r.button("forward"), Qt::LeftButton);
    EXPECT_EQ(m.cursor(), 200000);

    // Playing, the forward step does not stop playback; the end button does.
    m.setCursor(0);
    m.play();
    ASSERT_TRUE(r.e.waitFor([&] { return m.isPlaying(); }));
    QTest::mouseClick(r.button("forward"), Qt::LeftButton);
    EXPECT_TRUE(m.isPlaying());
    QTest::mouseClick(r.button("toEnd"), Qt::LeftButton);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.cursor(), 200000);
    m.play(0);
    ASSERT_TRUE(r.e.waitFor([&] { return m.isPlaying(); }));
    QTest::mouseClick(r.button("toZero"), Qt::LeftButton);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.cursor(), 0);
}

TEST(EditorTransport, SpacePlaysAndStopsAndTheReadoutsFollow) {
    Rows r;
    r.openPiece();
    auto& m = r.e.model;
    ASSERT_TRUE(m.analysis());
    r.host.activateWindow();
    QTest::keyClick(&r.host, Qt::Key_Space);
    ASSERT_TRUE(r.e.waitFor([&] { return m.isPlaying(); }));
    // The POS readout follows the playhead while playing, not the model's
    // announcements alone.
    m.playhead()->setFrame(3.0 * 44100);
    const double bar1 = m.analysis()->grid.downbeats[0];
    const QString pos = r.text("pos");
    EXPECT_TRUE(pos.startsWith("POS 0:03.000  ")) << pos.toStdString();
    EXPECT_EQ(pos, "POS " + editortext::position(3 * 44100, 44100, &*m.analysis()));
    EXPECT_GT(3.0, bar1);
    QTest::keyClick(&r.host, Qt::Key_Space);
    EXPECT_FALSE(m.isPlaying());
    // A text field with the focus keeps Space for itself.
    auto* field = new QLineEdit(&r.host);
    field->show();
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Space);
    EXPECT_EQ(field->text(), " ");
    EXPECT_FALSE(r.e.waitFor([&] { return m.isPlaying(); }, std::chrono::milliseconds(200)));
    delete field;

    // Loop and pre-roll switches; SEL only with a selection; LEN always.
    QTest::mouseClick(r.button("loop"), Qt::LeftButton);
    QTest::mouseClick(r.button("preRoll"), Qt::LeftButton);
    EXPECT_TRUE(m.loopPlayback());
    EXPECT_TRUE(m.preRoll());
    EXPECT_FALSE(r.shown("sel"));
    m.setSelection(FrameRange{0, 66150});
    EXPECT_TRUE(r.shown("sel"));
    EXPECT_EQ(r.text("sel"), "SEL 0:01.500");
    EXPECT_EQ(r.text("len"), "LEN 0:24.000");
    EXPECT_TRUE(r.button("loopSeam")->isEnabled());
    test::savePng(*r.transport, "editor-transport");
}

TEST(EditorTransport, WithoutPinsTheLoopSeamIsDisabledAndMessagesShow) {
    Rows r;
    const auto file = r.e.dir / "Noise.wav";
    const auto noise = test::noise(0.3, 48000 * 20, 7);  // no pulse
    test::writeAudioFile(file, test::Planar{noise, noise}, 48000);
    r.e.open(file);
    auto& m = r.e.model;
    EXPECT_FALSE(m.pins());
    EXPECT_FALSE(r.button("loopSeam")->isEnabled());
    ASSERT_TRUE(m.message());
    EXPECT_TRUE(r.shown("message"));
    EXPECT_EQ(r.text("message"), "No steady pulse found; set the tempo by hand");
    // The header without a result: title block, the tempo and meter menus
    // (the way out the message names), a disabled click and the rest.
    EXPECT_FALSE(r.shown("analyzing"));
    for (const char* name : {"key", "loudness", "twin"}) EXPECT_FALSE(r.shown(name)) << name;
    for (const char* name : {"tempo", "meter"}) EXPECT_TRUE(r.shown(name)) << name;
    EXPECT_EQ(r.text("tempo"), "Set tempo");
    EXPECT_EQ(r.text("meter"), "4/4");
    EXPECT_FALSE(r.button("click")->isEnabled());
    EXPECT_TRUE(r.button("expert")->isEnabled());
    EXPECT_TRUE(r.button("saveAs")->isEnabled());
    test::savePng(*r.header, "editor-header-no-analysis");

    // A bar length chosen first waits for the tempo typed in; then the grid
    // stands on both.
    r.action("meter", "3/4")->trigger();
    r.e.settle();
    EXPECT_FALSE(m.analysis());
    EXPECT_EQ(r.text("meter"), "3/4");
    r.header->chooseTempo = [] { return std::optional(90.0); };
    r.action("tempo", editortext::enterTempoItem())->trigger();
    r.e.settle();
    ASSERT_TRUE(m.analysis());
    EXPECT_NEAR(m.analysis()->grid.bpm, 90, 0.6);
    EXPECT_EQ(m.analysis()->grid.beatsPerBar, 3);
    EXPECT_TRUE(m.pins());
    EXPECT_FALSE(m.plans().empty());
    EXPECT_EQ(r.text("meter"), editortext::meterLabel(m.analysis()->grid));
    EXPECT_TRUE(r.action("tempo", editortext::enterTempoItem())) << "no candidate to choose: still typed in";
}

TEST(EditorHeader, AnalysisStateMenusAndSwitches) {
    Rows r;
    const auto file = r.e.dir / "Drums.wav";
    test::writePiece(file, 24);
    r.e.model.open(file);
    auto& m = r.e.model;
    // While the analysis runs: the spinner and its text, nothing of a result.
    ASSERT_TRUE(r.e.waitFor([&] { return m.doc() && m.analyzing(); }));
    EXPECT_TRUE(r.shown("analyzing"));
    EXPECT_FALSE(r.shown("tempo"));
    EXPECT_FALSE(r.button("click")->isEnabled());
    r.e.settle();
    ASSERT_TRUE(m.analysis());
    EXPECT_FALSE(r.shown("analyzing"));
    EXPECT_EQ(r.text("name"), "Drums.wav");
    EXPECT_EQ(r.text("summary"), "44.1 kHz \u00b7 24-bit \u00b7 2 ch \u00b7 0:24.000");
    EXPECT_FALSE(r.shown("dirty"));
    EXPECT_EQ(r.text("tempo"), editortext::tempoLabel(m.analysis()->grid));
    EXPECT_EQ(r.text("meter"), editortext::meterLabel(m.analysis()->grid));
    EXPECT_EQ(r.text("key"), editortext::keyText(m.analysis()->key));
    EXPECT_EQ(r.text("loudness"), editortext::loudnessText(m.analysis()->loudness, false));
    const auto candidates = std::min<size_t>(m.analysis()->tempo.candidates.size(), 3);
    auto menuItems = [&] {
        int n = 0;
        for (QAction* a : r.button("tempo")->menu()->actions()) n += a->isSeparator() ? 0 : 1;
        return n;
    };
    EXPECT_EQ(menuItems(), static_cast<int>(candidates) + 4);
    test::savePng(*r.header, "editor-header-basic");

    r.e.setExpert(true);
    EXPECT_TRUE(r.button("expert")->isChecked());
    EXPECT_EQ(r.text("loudness"), editortext::loudnessText(m.analysis()->loudness, true));
    EXPECT_EQ(menuItems(), static_cast<int>(std::min<size_t>(m.analysis()->tempo.candidates.size(), 6)) + 4);
    test::savePng(*r.header, "editor-header-expert");
    QTest::mouseClick(r.button("expert"), Qt::LeftButton);
    EXPECT_FALSE(r.e.settings.value().expertMode);

    QTest::mouseClick(r.button("click"), Qt::LeftButton);
    EXPECT_TRUE(m.click());

    // A relation re-analyses at the tempo its title shows: the grid's fit
    // refines it by at most 0.6 % to the period the beats keep.
    const double bpm = m.analysis()->grid.bpm;
    r.action("tempo", editortext::tempoRelations(m.analysis()->grid)[0].title)->trigger();
    EXPECT_TRUE(m.analyzing());
    EXPECT_TRUE(r.shown("analyzing"));
    r.e.settle();
    ASSERT_TRUE(m.analysis());
    EXPECT_NEAR(m.analysis()->grid.bpm, bpm * 0.5, bpm * 0.5 * 0.006);
    EXPECT_EQ(r.text("tempo"), editortext::tempoLabel(m.analysis()->grid));
    // Far outside the usual range it is passed as shown; the header shows what comes back.
    for (int i = 0; i < 3; ++i) {
        r.action("tempo", editortext::tempoRelations(m.analysis()->grid)[1].title)->trigger();
        r.e.settle();
        ASSERT_TRUE(m.analysis());
    }
    EXPECT_NEAR(m.analysis()->grid.bpm, bpm * 4, 1.0);
    EXPECT_EQ(r.text("tempo"), editortext::tempoLabel(m.analysis()->grid));

    r.action("meter", "3/4")->trigger();
    r.e.settle();
    ASSERT_TRUE(m.analysis());
    EXPECT_EQ(m.analysis()->grid.beatsPerBar, 3);
    EXPECT_TRUE(r.text("meter").startsWith("3/4"));
}

TEST(EditorHeader, SaveAsWritesWhereTheDialogSaysAndCancelDoesNothing) {
    Rows r;
    r.openPiece();
    auto& m = r.e.model;
    m.setSelection(FrameRange{0, 1000});
    m.silence();
    QApplication::processEvents();
    EXPECT_TRUE(r.shown("dirty"));
    EXPECT_EQ(r.host.findChild<QWidget*>("dirty")->toolTip(), "Unsaved edits");

    std::optional<std::filesystem::path> proposed;
    r.header->chooseSaveFile = [&](const std::filesystem::path& suggestion) -> std::optional<std::filesystem::path> {
        proposed = suggestion;
        return std::nullopt;
    };
    QTest::mouseClick(r.button("saveAs"), Qt::LeftButton);
    EXPECT_EQ(proposed, r.e.dir / "Drums edit.wav");
    EXPECT_FALSE(std::filesystem::exists(r.e.dir / "Drums edit.wav"));
    EXPECT_TRUE(m.doc()->dirty);

    r.header->chooseSaveFile = [&](const std::filesystem::path&) -> std::optional<std::filesystem::path> {
        return r.e.dir / "Kept.wav";
    };
    QTest::mouseClick(r.button("saveAs"), Qt::LeftButton);
    ASSERT_TRUE(r.e.waitFor([&] { return std::filesystem::exists(r.e.dir / "Kept.wav") && !m.busy(); }));
}
