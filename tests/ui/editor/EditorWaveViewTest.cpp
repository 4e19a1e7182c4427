#include "ui/editor/EditorWaveView.h"

#include <QApplication>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/UiTestSupport.h"
#include "ui/editor/EditorWaveBridge.h"
#include "ui/editor/EditorWaveGeometry.h"
#include "ui/widgets/Style.h"

using namespace qm;

namespace {

// A view holding samples of its own (no model), rendered at device pixel
// ratio 4 so that 0.75 and 1.5 px become whole pixels.
struct Picture {
    EditorWaveView view;
    QImage image;

    explicit Picture(std::vector<std::vector<float>> lanes, int w = 200, int h = 124) {
        view.resize(w, h);
        view.frames = lanes.empty() ? 0 : static_cast<int64_t>(lanes[0].size());
        view.channels = std::make_shared<const EditorModel::Channels>(std::move(lanes));
        view.viewLength = std::max<int64_t>(view.frames, 1);
    }
    void render() {
        image = QImage(view.width() * 4, view.height() * 4, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(4);
        view.renderTo(image);
    }
    // The colour at logical (x, y), read at the centre of its 4 x 4 pixels.
    QColor at(double x, double y) const { return image.pixelColor(int(x * 4) + 1, int(y * 4) + 1); }
    QColor atPixel(int px, int py) const { return image.pixelColor(px, py); }
    QColor base() const { return style::textBackground(view.palette()); }
    QColor accent() const { return style::accent(view.palette()); }
};

bool same(const QColor& a, const QColor& b) { return a.rgb() == b.rgb(); }

void sendWheel(QWidget& w, QPointF at, QPoint pixel, QPoint angle, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWheelEvent e(at, w.mapToGlobal(at), pixel, angle, Qt::NoButton, mods, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &e);
}

void sendPinch(QWidget& w, QPointF at, double magnification) {
    QNativeGestureEvent e(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2, at, at,
                          w.mapToGlobal(at), magnification, QPointF());
    QApplication::sendEvent(&w, &e);
}

}  // namespace

TEST(EditorWaveView, DrawsNothingButTheBackgroundWithoutSamples) {
    Picture pic({});
    pic.render();
    for (double y : {2.0, 12.0, 23.0, 60.0})
        EXPECT_TRUE(same(pic.at(100, y), pic.base())) << "no ruler at y " << y;
    Picture empty(std::vector<std::vector<float>>(2));
    empty.render();
    EXPECT_TRUE(same(empty.at(100, 12), empty.base()));
}

TEST(EditorWaveView, SilenceIsAThinLineAndFullScaleFillsNineTenthsOfTheLane) {
    // Lane 0 silent, lane 1 a full-scale square wave, lane 2 far beyond full scale.
    const size_t n = 2000;
    std::vector<float> square(n), hot(n, 4.f);
    for (size_t i = 0; i < n; ++i) square[i] = (i / 3) % 2 ? -1.f : 1.f;
    Picture pic({std::vector<float>(n, 0.f), square, hot}, 200, 324);
    pic.render();
    const auto accent = pic.accent();

    // Lane 0: 24 ... 124, centre 74: the line covers 74 ... 74.75 (3 pixels).
    EXPECT_TRUE(same(pic.atPixel(400, 296), accent));
    EXPECT_TRUE(same(pic.atPixel(400, 298), accent));
    EXPECT_FALSE(same(pic.atPixel(400, 295), accent));
    EXPECT_FALSE(same(pic.atPixel(400, 299), accent));
    // Lane 1: 124 ... 224, full scale from 129 to 219.
    EXPECT_TRUE(same(pic.at(100, 129.5), accent));
    EXPECT_TRUE(same(pic.at(100, 218.5), accent));
    EXPECT_FALSE(same(pic.at(100, 128.5), accent));
    EXPECT_FALSE(same(pic.at(100, 219.5), accent));
    // Lane 2: 4.0 is drawn as 1.0, from its centre 274 up to 229.
    EXPECT_TRUE(same(pic.at(100, 229.5), accent));
    EXPECT_FALSE(same(pic.at(100, 228.5), accent));
    EXPECT_FALSE(same(pic.at(100, 275), accent));

    // Lane labels, only with two lanes or more: something is drawn at the
    // top left of each lane.
    pic.view.laneLabels = {"L", "R", "C"};
    pic.render();
    auto inked = [&](double top) {
        for (int x = 4; x < 12; ++x)
            for (double y = top + 2; y < top + 12; y += 0.5)
                if (!same(pic.at(x, y), pic.base()) && !same(pic.at(x, y), accent)) return true;
        return false;
    };
    EXPECT_TRUE(inked(24));
    EXPECT_TRUE(inked(224));
    Picture single({std::vector<float>(n, 0.f)});
    single.view.laneLabels = {"C"};
    single.render();
    bool any = false;
    for (int x = 4; x < 12; ++x)
        for (double y = 26; y < 36; y += 0.5) any |= !same(single.at(x, y), single.base());
    EXPECT_FALSE(any) << "a single lane carries no label";
}

TEST(EditorWaveView, BadSamplesDrawFiniteColumnsAndNarrowViewsDoNotFail) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> bad(400, std::numeric_limits<float>::quiet_NaN());
    for (size_t i = 200; i < 400; ++i) bad[i] = i % 2 ? inf : -inf;
    Picture pic({bad});
    pic.render();
    EXPECT_TRUE(same(pic.at(50, 74.2), pic.accent())) << "NaN draws as silence";
    EXPECT_FALSE(same(pic.at(50, 60), pic.accent()));
    EXPECT_TRUE(same(pic.at(150, 29.5), pic.accent())) << "infinities at full scale";
    EXPECT_TRUE(same(pic.at(150, 118.5), pic.accent()));

    pic.view.cursor = 400;  // out of the way of the one column
    for (int w : {0, 1}) {
        pic.view.resize(w, 124);
        pic.view.show();
        QApplication::processEvents();
        if (w > 0) {
            pic.image = QImage(w * 4, 124 * 4, QImage::Format_ARGB32_Premultiplied);
            pic.image.setDevicePixelRatio(4);
            pic.view.renderTo(pic.image);
            EXPECT_TRUE(same(pic.at(0, 74.2), pic.accent()));
        }
        pic.view.grab();
    }
}

TEST(EditorWaveView, TintsGridSelectionCursorAndRuler) {
    Picture pic({std::vector<float>(2000, 0.f)}, 200, 124);  // 10 frames a pixel
    pic.view.introEnd = 300;
    pic.view.endingStart = 1500;
    pic.view.loopRange = FrameRange{300, 1000};
    pic.view.downbeats = {0, 500, 1000, 1500};
    pic.view.beats = {0, 50, 100};  // 5 px apart: not drawn
    pic.view.selection = FrameRange{1200, 1201};
    pic.view.cursor = 1800;
    pic.render();
    const QPalette& pal = pic.view.palette();
    EXPECT_FALSE(same(pic.at(10, 40), pic.base())) << "intro tint";
    EXPECT_FALSE(same(pic.at(10, 40), pic.at(70, 40))) << "loop and intro tints differ";
    EXPECT_TRUE(same(pic.at(135, 40), pic.base()));
    EXPECT_TRUE(same(pic.at(5, 40), pic.at(7, 40))) << "no beat line 5 px apart";
    EXPECT_TRUE(same(pic.at(50.5, 40), style::separator(pal))) << "bar line";
    EXPECT_FALSE(same(pic.at(120.5, 40), pic.at(125, 40))) << "a one-frame selection is drawn 1 px wide";
    EXPECT_FALSE(same(pic.at(180.5, 40), pic.at(185, 40))) << "cursor";
    EXPECT_TRUE(same(pic.at(100, 5), style::windowBackground(pal))) << "ruler";
    EXPECT_TRUE(same(pic.at(60, 21.5), style::loopColor())) << "loop bar";
    EXPECT_FALSE(same(pic.at(150.5, 20), style::windowBackground(pal))) << "bar number tick";

    // The playhead is a red line over the ruler too, and hidden while stopped.
    pic.view.playhead = 1000;
    pic.render();
    EXPECT_FALSE(same(pic.at(100, 5), style::playheadColor()));
    pic.view.showPlayhead = true;
    pic.render();
    EXPECT_TRUE(same(pic.at(100, 5), style::playheadColor()));
    EXPECT_TRUE(same(pic.at(100, 100), style::playheadColor()));

    // Pin flags in the ruler: a triangle in the pin's colour.
    pic.view.pins = {{PinKind::introEnd, 300}, {PinKind::loopEnd, 1000}, {PinKind::endingStart, 1500}};
    pic.render();
    EXPECT_TRUE(same(pic.at(30, 1), style::introColor()));
    EXPECT_TRUE(same(pic.at(150, 1), style::endingColor()));
    test::savePng(pic.image, "wave-drawing-elements");
}

namespace {

// The view bridged to a real editor model holding a 24 s drum piece at
// 120 BPM (a bar every 2 s from 0.5 s on), analysed.
struct Bridged {
    test::EditorFixture e;
    EditorWaveView view;
    EditorWaveBridge* bridge;
    double rate = 44100;

    Bridged() : bridge(new EditorWaveBridge(e.model, view)) {
        view.resize(800, 224);
        view.show();
        const auto file = e.dir / "Drums.wav";
        test::writePiece(file, 24, rate);
        e.open(file);
        QApplication::processEvents();
    }
    double ppf() const { return 800.0 / static_cast<double>(e.model.viewLength()); }
    double xOf(int64_t frame) const { return static_cast<double>(frame - e.model.viewStart()) * ppf(); }
    int64_t frameAt(double x) const { return e.model.viewStart() + static_cast<int64_t>(x / ppf()); }
    void click(double x, double y = 120) { QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(int(x), int(y))); }
    void drag(double from, double to, double y = 120) {
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(int(from), int(y)));
        QTest::mouseMove(&view, QPoint(int((from + to) / 2), int(y)));
        QTest::mouseMove(&view, QPoint(int(to), int(y)));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(int(to), int(y)));
    }
};

}  // namespace

TEST(EditorWaveGestures, ClicksDragsAndDoubleClicksReachTheModel) {
    Bridged b;
    auto& m = b.e.model;
    ASSERT_TRUE(m.doc());
    ASSERT_TRUE(m.analysis()) << "the generated piece has a steady pulse";
    const auto beats = EditorWaveBridge::toFrames(m.analysis()->grid.beats, b.rate);
    auto isBeat = [&](int64_t f) { return std::find(beats.begin(), beats.end(), f) != beats.end(); };

    // A click with a little sideways wobble is still a click.
    m.setSelection(FrameRange{1000, 50000});
    QTest::mousePress(&b.view, Qt::LeftButton, {}, QPoint(300, 120));
    QTest::mouseMove(&b.view, QPoint(303, 140));
    QTest::mouseRelease(&b.view, Qt::LeftButton, {}, QPoint(302, 140));
    EXPECT_FALSE(m.selection());
    EXPECT_EQ(m.cursor(), b.frameAt(302)) << "the cursor goes where the button came up";

    // A drag selects between snapped ends, the same either way round.
    b.drag(200, 500);
    ASSERT_TRUE(m.selection());
    const FrameRange snapped = *m.selection();
    EXPECT_TRUE(isBeat(snapped.lower) && isBeat(snapped.upper));
    EXPECT_FALSE(b.view.liveSelection()) << "the live selection goes at mouse up";
    b.drag(500, 200);
    EXPECT_EQ(m.selection(), snapped);
    m.setSnap(false);
    b.drag(200, 500);
    EXPECT_EQ(m.selection(), (FrameRange{b.frameAt(200), b.frameAt(500)}));
    EXPECT_EQ(m.cursor(), b.frameAt(302)) << "a selection leaves the cursor alone";

    // A drag of 16 frames or fewer clears the selection and leaves the cursor.
    m.zoom(m.viewLength() / 3200.0, 100000, 0);  // 4 frames a pixel
    ASSERT_EQ(m.viewLength(), 3200);
    const int64_t cursor = m.cursor();
    b.drag(100, 104);
    EXPECT_FALSE(m.selection());
    EXPECT_EQ(m.cursor(), cursor);
    // The model's selection stays none, yet the dragged one leaves the
    // screen: the release itself redraws.
    QTest::mousePress(&b.view, Qt::LeftButton, {}, QPoint(100, 120));
    QTest::mouseMove(&b.view, QPoint(104, 120));
    b.view.grab();
    ASSERT_TRUE(b.view.liveSelection());
    const int renders = b.view.renderCount();
    QTest::mouseRelease(&b.view, Qt::LeftButton, {}, QPoint(104, 120));
    b.view.grab();
    EXPECT_GT(b.view.renderCount(), renders);
    EXPECT_FALSE(b.view.liveSelection());
    m.fit();
    QApplication::processEvents();

    // A double click selects the bar under the pointer, after its first
    // click set the cursor; a third click is a plain click again.
    const int64_t bar = static_cast<int64_t>(std::llround(m.analysis()->grid.downbeats[3] * b.rate));
    const int64_t next = static_cast<int64_t>(std::llround(m.analysis()->grid.downbeats[4] * b.rate));
    const double x = b.xOf(bar + (next - bar) / 2);
    QTest::mouseClick(&b.view, Qt::LeftButton, {}, QPoint(int(x), 120));
    QTest::mouseDClick(&b.view, Qt::LeftButton, {}, QPoint(int(x), 120));
    EXPECT_EQ(m.selection(), (FrameRange{bar, next}));
    EXPECT_EQ(m.cursor(), bar);
    QTest::mouseClick(&b.view, Qt::LeftButton, {}, QPoint(int(x), 120));
    EXPECT_FALSE(m.selection());
}

TEST(EditorWaveBridge, LanesLabelsMutedSetsAndFrames) {
    EditorModel::Doc doc;
    doc.channels = std::make_shared<const EditorModel::Channels>(6);
    doc.info.detected = SourceFormat::speakers({SpeakerID::L, SpeakerID::R, SpeakerID::C, SpeakerID::LFE,
                                                SpeakerID::Ls, SpeakerID::Rs});
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc), (std::vector<QString>{"L", "R", "C", "LFE", "Ls", "Rs"}));
    doc.info.detected = SourceFormat::speakers({SpeakerID::L, SpeakerID::R, SpeakerID::C, SpeakerID::LFE,
                                                SpeakerID::Ls, SpeakerID::Rs, SpeakerID::Lrs, SpeakerID::Rrs});
    const std::vector<QString> numbers{"1", "2", "3", "4", "5", "6"};
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc), numbers) << "a list of another length";
    doc.channels = std::make_shared<const EditorModel::Channels>(8);
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc)[4], "Lss") << "sides beside a rear pair";
    doc.channels = std::make_shared<const EditorModel::Channels>(4);
    doc.info.detected = SourceFormat::ambisonic(1, AmbiNorm::sn3d);
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc), (std::vector<QString>{"1", "2", "3", "4"}));
    doc.info.detected = SourceFormat::discrete(4);
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc)[3], "4");
    doc.channels = std::make_shared<const EditorModel::Channels>(1);
    doc.info.detected = SourceFormat::speakers({SpeakerID::C});
    EXPECT_EQ(EditorWaveBridge::laneLabels(doc), (std::vector<QString>{"1"})) << "mono";

    EXPECT_EQ(EditorWaveBridge::mutedLanes(4, {1}, {3}), (std::set<int>{0, 2, 3}));
    EXPECT_EQ(EditorWaveBridge::mutedLanes(4, {}, {2}), (std::set<int>{2}));
    EXPECT_EQ(EditorWaveBridge::mutedLanes(2, {0, 1}, {0}), (std::set<int>{0}));

    EXPECT_EQ(EditorWaveBridge::toFrames({0.5, 1.0 / 88200, -1.0 / 88200}, 44100),
              (std::vector<int64_t>{22050, 1, -1})) << "halves away from zero";
    EXPECT_EQ(EditorWaveBridge::loopRange(100, 300), (FrameRange{100, 300}));
    EXPECT_EQ(EditorWaveBridge::loopRange(100, 100), (FrameRange{100, 100}));
    EXPECT_FALSE(EditorWaveBridge::loopRange(300, 0)) << "an end before its start is no loop";
}

TEST(EditorWaveBridge, WithoutADocumentAnUpdateChangesNothingAndALengthOf0Reaches1) {
    test::EditorFixture e;
    EditorWaveView view;
    view.viewLength = 77;
    EditorWaveBridge bridge(e.model, view);
    bridge.update();
    EXPECT_EQ(view.viewLength, 77);
    EXPECT_FALSE(view.onCursor) << "no callbacks before the first document";
    EXPECT_EQ(view.renderCount(), 0);
}

TEST(EditorWaveGestures, PinFlagsDragToBarLinesWithinTheFile) {
    Bridged b;
    auto& m = b.e.model;
    ASSERT_TRUE(m.pins());
    const Pins before = *m.pins();
    const double flag = b.xOf(m.frame(before.loopEnd));
    // Grab the loop-end flag 2 px off and drag it past the right edge.
    QTest::mousePress(&b.view, Qt::LeftButton, {}, QPoint(int(flag) + 2, 4));
    QTest::mouseMove(&b.view, QPoint(900, 4));
    QTest::mouseRelease(&b.view, Qt::LeftButton, {}, QPoint(900, 4));
    const auto last = static_cast<int64_t>(m.boundaries().size()) - 1;
    EXPECT_EQ(m.pins()->loopEnd, last);
    // And past the left edge: the loop keeps at least one bar.
    const double moved = b.xOf(m.frame(m.pins()->loopEnd));
    QTest::mousePress(&b.view, Qt::LeftButton, {}, QPoint(std::min(int(moved), 799), 4));
    QTest::mouseMove(&b.view, QPoint(-100, 4));
    QTest::mouseRelease(&b.view, Qt::LeftButton, {}, QPoint(-100, 4));
    EXPECT_EQ(m.pins()->loopEnd, m.pins()->loopStart + 1);
    EXPECT_TRUE(m.selection() == std::nullopt) << "dragging a flag selects nothing";
    test::savePng(b.view, "wave-fit");
}

TEST(EditorWaveGestures, WheelAndPinchScrollAndZoomAroundThePointer) {
    Bridged b;
    auto& m = b.e.model;
    const int64_t frames = m.doc()->frames();
    m.zoom(4, frames / 2, 0.5);
    const int64_t length = m.viewLength();
    const int64_t start = m.viewStart();

    // A notch up moves towards the start: 3 lines, 4 px of frames each.
    sendWheel(b.view, QPointF(400, 120), QPoint(), QPoint(0, 120));
    EXPECT_EQ(m.viewStart(), start - static_cast<int64_t>(3 * 4 / b.ppf()));
    EXPECT_EQ(m.viewLength(), length);
    // A mostly horizontal swipe scrolls by its horizontal delta.
    const int64_t s1 = m.viewStart();
    sendWheel(b.view, QPointF(400, 120), QPoint(-30, 2), QPoint(-30, 2));
    EXPECT_EQ(m.viewStart(), s1 + static_cast<int64_t>(30 * 4 / b.ppf()));

    // Ctrl with the wheel zooms around the pointer; a delta of 0 asks for 1.
    const int64_t s2 = m.viewStart();
    sendWheel(b.view, QPointF(200, 120), QPoint(), QPoint(0, 0), Qt::ControlModifier);
    EXPECT_EQ(m.viewLength(), length);
    EXPECT_EQ(m.viewStart(), s2);
    const int64_t under = b.frameAt(200);
    sendWheel(b.view, QPointF(200, 120), QPoint(0, 50), QPoint(0, 50), Qt::ControlModifier);
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(static_cast<double>(length) / std::pow(1.01, 50)));
    EXPECT_NEAR(static_cast<double>(b.frameAt(200)), static_cast<double>(under), 2.0)
        << "the frame under the pointer keeps its place";

    // A wheel's notch (no pixel delta) zooms by a quarter, in and out.
    const int64_t l1 = m.viewLength();
    sendWheel(b.view, QPointF(200, 120), QPoint(), QPoint(0, 120), Qt::ControlModifier);
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(static_cast<double>(l1) / 1.25));
    sendWheel(b.view, QPointF(200, 120), QPoint(), QPoint(0, -120), Qt::ControlModifier);
    EXPECT_NEAR(static_cast<double>(m.viewLength()), static_cast<double>(l1), 2.0);

    // A pinch: spreading by 0.5 zooms in by 1.5.
    const int64_t l2 = m.viewLength();
    sendPinch(b.view, QPointF(600, 120), 0.5);
    EXPECT_EQ(m.viewLength(), static_cast<int64_t>(static_cast<double>(l2) / 1.5));

    // At the closest zoom an event asks for less than a frame: the cut-off
    // parts add up instead of being lost.
    m.zoom(1e9, frames / 2, 0.5);
    ASSERT_EQ(m.viewLength(), 64);  // 12.5 px a frame
    const int64_t close = m.viewStart();
    for (int i = 0; i < 3; ++i) sendWheel(b.view, QPointF(400, 120), QPoint(0, -1), QPoint(0, -1));
    EXPECT_EQ(m.viewStart(), close) << "0.96 frames so far";
    sendWheel(b.view, QPointF(400, 120), QPoint(0, -1), QPoint(0, -1));
    EXPECT_EQ(m.viewStart(), close + 1);
    test::savePng(b.view, "wave-closest-zoom");
}

TEST(EditorWaveGestures, PlaybackMovesOnlyThePlayheadAndAClickRestartsIt) {
    Bridged b;
    auto& m = b.e.model;
    // One bar in view.
    m.selectBar(static_cast<int64_t>(std::llround(m.analysis()->grid.downbeats[2] * b.rate)) + 10);
    m.zoomToSelection();
    m.setSelection(std::nullopt);
    QApplication::processEvents();
    test::savePng(b.view, "wave-one-bar");

    // The model publishing only play positions re-renders nothing.
    b.view.grab();
    const int renders = b.view.renderCount();
    for (int i = 0; i < 20; ++i) {
        m.playhead()->setFrame(m.viewStart() + i * 1000.0);
        QApplication::processEvents();
    }
    EXPECT_EQ(b.view.renderCount(), renders);

    // A click while playing moves the cursor and plays from there.
    m.fit();
    m.play();
    ASSERT_TRUE(b.e.waitFor([&] { return m.isPlaying(); }));
    EXPECT_TRUE(b.view.showPlayhead);
    const int64_t target = b.frameAt(600);
    b.click(600);
    EXPECT_EQ(m.cursor(), target);
    ASSERT_TRUE(b.e.waitFor([&] { return m.isPlaying() && m.playhead()->frame() >= double(target); }));
    EXPECT_LT(m.playhead()->frame(), double(target + 3 * 44100));
    m.stop();
    QApplication::processEvents();
    EXPECT_FALSE(b.view.showPlayhead);
    // While stopped a click only moves the cursor.
    b.click(100);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.cursor(), b.frameAt(100));
}
