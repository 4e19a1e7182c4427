// The player's waveform strip: gestures at exact positions checked on the
// player model, the picture checked pixel by pixel, the playhead moving
// without new pictures.
#include "ui/player/WaveformView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTimer>

#include <cmath>

#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"
#include "ui/UiTestSupport.h"
#include "ui/player/WaveformBinder.h"
#include "ui/widgets/FileDrag.h"

using namespace qm;

namespace {

constexpr double kRate = 48000;
constexpr int64_t kFrames = 96000;  // 2 s
constexpr int kWidth = 400;         // 240 frames a pixel

void send(QWidget& w, QEvent::Type type, QPointF at, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, w.mapToGlobal(at), button, buttons, mods);
    QApplication::sendEvent(&w, &event);
}

// A press at the first point, moves through the others, a release at the last.
void gesture(QWidget& w, std::vector<QPointF> points, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    send(w, QEvent::MouseButtonPress, points.front(), mods);
    for (size_t i = 1; i < points.size(); ++i) send(w, QEvent::MouseMove, points[i], mods);
    send(w, QEvent::MouseButtonRelease, points.back(), mods);
}

// A strip bound to a player with a 2 s stereo file loaded.
struct Strip {
    test::Player player;
    WaveformView view;
    std::filesystem::path file = player.dir / "tone.wav";
    std::vector<std::optional<FrameRange>> selects;
    std::vector<bool> exports;  // selectionOnly of each export asked for
    std::vector<widgets::FileDrag> drags;

    explicit Strip(WaveformView::Style style = WaveformView::Style::window) {
        test::writeAudioFile(file, test::sineSignal(2, kFrames, kRate, 440, 0.5), kRate);
        new WaveformBinder(style, player.model, view);
        view.resize(kWidth, 80);
        view.show();
        EXPECT_TRUE(player.load(file));
        auto select = view.onSelect;
        view.onSelect = [this, select](std::optional<FrameRange> r) {
            selects.push_back(r);
            select(r);
        };
        auto render = view.exportForDrag;
        view.exportForDrag = [this, render](bool selectionOnly) {
            exports.push_back(selectionOnly);
            return render(selectionOnly);
        };
        widgets::fileDragHook() = [this](const widgets::FileDrag& d) { drags.push_back(d); };
    }
    ~Strip() { widgets::fileDragHook() = nullptr; }
};

// A one-bucket-per-column overview with every peak at ±`peak`.
std::shared_ptr<WaveformData> flat(int channels, float peak, int64_t buckets = 400) {
    auto d = std::make_shared<WaveformData>();
    d->channels = channels;
    d->bucketCount = buckets;
    d->loadedBuckets = buckets;
    d->mins.assign(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(buckets), -peak));
    d->maxs.assign(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(buckets), peak));
    return d;
}

QImage picture(const WaveformView& view, int w, int h, double dpr = 1) {
    QImage image(static_cast<int>(w * dpr), static_cast<int>(h * dpr), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::black);
    view.renderTo(image);
    return image;
}

// The panel look's wave colour over black, near enough.
bool isWave(QRgb c) { return qGreen(c) > 150 && qBlue(c) > 130 && qRed(c) < 140; }
int waveRows(const QImage& image, int x) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) n += isWave(image.pixel(x, y));
    return n;
}
// Pixels in a box that are neither the background nor wave.
int marks(const QImage& image, QRect box) {
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    int n = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) n += image.pixel(x, y) != background && !isWave(image.pixel(x, y));
    return n;
}

}  // namespace

TEST(WaveformView, ClicksSeekAndDragsSelectByTheThreePointRule) {
    Strip s;
    // Exactly 3 points of movement is still a click: it seeks where released.
    gesture(s.view, {{100, 40}, {103, 40}});
    EXPECT_EQ(s.player.model.cueFrame(), 103 * 240);
    EXPECT_FALSE(s.player.model.selection());
    gesture(s.view, {{100, 40}, {100, 43}});
    EXPECT_EQ(s.player.model.cueFrame(), 100 * 240) << "3 points down is a click too";

    // 3.5 points selects from the press.
    gesture(s.view, {{100, 40}, {103.5, 40}});
    ASSERT_EQ(s.selects.size(), 1u);
    EXPECT_EQ(s.selects[0], (FrameRange{24000, 24840}));
    EXPECT_EQ(s.player.model.selection(), (FrameRange{24000, 24840}));

    // A drag back to its start hands an empty selection over.
    gesture(s.view, {{200, 40}, {250, 40}, {200, 40}});
    ASSERT_EQ(s.selects.size(), 2u);
    EXPECT_EQ(s.selects[1], (FrameRange{48000, 48000}));
    EXPECT_FALSE(s.player.model.selection()) << "the player drops a selection that short";

    // Leftwards, and past the edge: clamped to the file.
    gesture(s.view, {{300, 40}, {250, 40}, {kWidth + 50, 40}});
    EXPECT_EQ(s.selects.back(), (FrameRange{72000, kFrames}));
    EXPECT_TRUE(s.exports.empty());
}

TEST(WaveformView, DragsFromTheSelectionOrWithCtrlPullTheAudioOut) {
    Strip s;
    s.player.model.select(FrameRange{48000, 48600});  // 2.5 points wide
    ASSERT_TRUE(s.player.wait([&] { return s.view.selection() == FrameRange{48000, 48600}; }));

    // A plain drag from inside the selection renders the selection.
    gesture(s.view, {{200.5, 40}, {210, 40}});
    ASSERT_EQ(s.exports, std::vector<bool>{true});
    ASSERT_EQ(s.drags.size(), 1u);
    ASSERT_EQ(s.drags[0].urls.size(), 1);
    const auto pulled = std::filesystem::path(s.drags[0].urls[0].toLocalFile().toStdString());
    EXPECT_TRUE(std::filesystem::exists(pulled)) << pulled;
    EXPECT_NE(pulled, s.file);
    EXPECT_GE(s.drags[0].image.deviceIndependentSize().width(), 8) << "a narrow selection's picture is 8 wide";
    EXPECT_LT(s.drags[0].image.deviceIndependentSize().width(), 12);
    EXPECT_EQ(s.player.model.selection(), (FrameRange{48000, 48600})) << "a drag-out is no selection";

    // Ctrl from outside the selection: the whole file, the whole strip's picture.
    gesture(s.view, {{50, 40}, {60, 40}}, Qt::ControlModifier);
    ASSERT_EQ(s.exports, (std::vector<bool>{true, false}));
    ASSERT_EQ(s.drags.size(), 2u);
    EXPECT_EQ(s.drags[1].image.deviceIndependentSize().width(), kWidth);

    // Ctrl inside the selection is the whole file too.
    gesture(s.view, {{200.5, 40}, {190, 40}}, Qt::ControlModifier);
    EXPECT_EQ(s.exports.back(), false);

    // From the selection's upper bound: outside it, a new selection.
    s.player.model.select(FrameRange{48000, 72000});
    ASSERT_TRUE(s.player.wait([&] { return s.view.selection() == FrameRange{48000, 72000}; }));
    gesture(s.view, {{300, 40}, {320, 40}});
    EXPECT_EQ(s.exports.size(), 3u);
    EXPECT_EQ(s.player.model.selection(), (FrameRange{72000, 76800}));
}

TEST(WaveformView, AFailedExportStartsNoDrag) {
    Strip s;
    s.player.model.select(FrameRange{24000, 48000});
    ASSERT_TRUE(s.player.wait([&] { return s.view.selection() == FrameRange{24000, 48000}; }));
    s.player.settings.update([&](AppSettings& a) { a.pullsFolder = (s.file / "not-a-folder").string(); });
    gesture(s.view, {{150, 40}, {180, 40}});
    EXPECT_EQ(s.exports, std::vector<bool>{true});
    EXPECT_TRUE(s.drags.empty());
    EXPECT_TRUE(s.player.model.message().has_value());
    // The gesture ended: the next click seeks.
    gesture(s.view, {{300, 40}, {300, 40}});
    EXPECT_EQ(s.player.model.cueFrame(), 72000);
}

TEST(WaveformView, FramesUnderThePointer) {
    WaveformView view;
    view.resize(400, 50);
    EXPECT_EQ(view.frameAt(200), 0) << "no frames";
    view.setTotalFrames(1000);
    struct Case {
        double x;
        int64_t frame;
    };
    for (const Case c : {Case{-5, 0}, Case{0, 0}, Case{0.3, 0}, Case{0.4, 1}, Case{200, 500}, Case{399.9, 999},
                         Case{400, 1000}, Case{900, 1000}})
        EXPECT_EQ(view.frameAt(c.x), c.frame) << c.x;
    view.resize(0, 50);
    EXPECT_EQ(view.frameAt(10), 0) << "no width";
}

TEST(WaveformView, DisplayGainAndItsNote) {
    struct Case {
        float peak;
        double gain;
        const char* note;
        double waveHeight;  // of a 100 px mono lane: 2 * 46 * min(gain * peak, 1)
    };
    const Case cases[] = {
        {0.000001f, 1, "", 1},  {0.01f, 31.6, "view +30 dB", 29.1}, {0.5f, 1.9, "view +6 dB", 87.4},
        {0.9f, 0.95 / 0.9, "", 87.4}, {1.0f, 0.95, "", 87.4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peak);
        const auto data = flat(1, c.peak);
        EXPECT_NEAR(WaveformView::displayGain(*data), c.gain, 1e-6);
        EXPECT_EQ(WaveformView::gainNote(WaveformView::displayGain(*data)), QString::fromLatin1(c.note));

        WaveformView view;
        view.setStyle(WaveformView::Style::hud);
        view.setData(data);
        const QImage image = picture(view, 400, 100);
        EXPECT_NEAR(waveRows(image, 20), c.waveHeight, 1.5);
        EXPECT_EQ(marks(image, QRect(300, 0, 100, 12)) > 0, *c.note != 0) << "the note in the top right";
    }
}

TEST(WaveformView, NonFinitePeaksDrawAsSilenceAndLeaveTheGainAlone) {
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        SCOPED_TRACE(bad);
        auto data = flat(1, 0.5f);
        data->maxs[0][10] = bad;
        data->mins[0][11] = bad;
        data->maxs[0][12] = bad;
        data->mins[0][12] = bad;
        EXPECT_NEAR(WaveformView::displayGain(*data), 1.9, 1e-6);
        WaveformView view;
        view.setStyle(WaveformView::Style::hud);
        view.setData(data);
        const QImage image = picture(view, 400, 100);
        EXPECT_NEAR(waveRows(image, 20), 87.4, 1.5);
        EXPECT_NEAR(waveRows(image, 10), 87.4 / 2, 1.5) << "the finite half stays";
        EXPECT_LE(waveRows(image, 12), 1) << "nothing finite: a hairline at the centre";
    }
}

TEST(WaveformView, TheUnloadedTailStaysBlankUnderItsLine) {
    auto data = flat(1, 0.5f);
    data->loadedBuckets = 100;  // a quarter
    WaveformView view;
    view.setStyle(WaveformView::Style::hud);
    view.setData(data);
    const QImage image = picture(view, 400, 100);
    EXPECT_GT(waveRows(image, 50), 80);
    for (int x : {100, 200, 399}) {
        EXPECT_EQ(waveRows(image, x), 0) << x;
        EXPECT_EQ(marks(image, QRect(x, 0, 1, 49)), 0) << "blank above the line at " << x;
        EXPECT_EQ(marks(image, QRect(x, 51, 1, 49)), 0) << "blank below the line at " << x;
        EXPECT_GE(marks(image, QRect(x, 49, 1, 2)), 1) << "the line at " << x;
    }
}

TEST(WaveformView, LaneLabelsOnlyOnSeveralLanesNineHighOrMore) {
    struct Case {
        int channels;
        int height;
        bool label;
    };
    for (const Case c : {Case{2, 40, true}, Case{2, 18, true}, Case{2, 17, false}, Case{1, 40, false}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " lanes in " << c.height);
        WaveformView view;
        view.setStyle(WaveformView::Style::hud);
        view.setData(flat(c.channels, 0));
        view.setLaneLabels({"L", "R"});
        const QImage image = picture(view, 400, c.height);
        EXPECT_EQ(marks(image, QRect(0, 0, 14, std::min(c.height / c.channels - 2, 10))) > 0, c.label);
    }
}

TEST(WaveformView, ANarrowViewDrawsOneColumnAndANarrowSelectionOnePoint) {
    WaveformView view;
    view.setStyle(WaveformView::Style::hud);
    view.setData(flat(1, 0.5f, 6000));
    QImage half(1, 100, QImage::Format_ARGB32_Premultiplied);
    half.setDevicePixelRatio(2);
    half.fill(Qt::black);
    view.renderTo(half);
    EXPECT_GT(waveRows(half, 0), 40) << "one column at a width of half a point";

    WaveformView selected;
    selected.setStyle(WaveformView::Style::window);
    selected.setTotalFrames(1'000'000);
    selected.setSelection(FrameRange{500'000, 500'010});
    const QImage sel = picture(selected, 400, 20);
    const QImage none = [&] {
        WaveformView plain;
        plain.setTotalFrames(1'000'000);
        return picture(plain, 400, 20);
    }();
    int columns = 0;
    for (int x = 0; x < 400; ++x) columns += sel.pixel(x, 10) != none.pixel(x, 10);
    EXPECT_EQ(columns, 1) << "a selection under a point draws one point wide";
}

TEST(WaveformView, ThePlayheadMovesWithoutNewPictures) {
    Strip s;
    s.view.resize(kWidth, 80);
    ASSERT_TRUE(test::waitFor([&] { return s.view.renderCount() > 0; }));
    // Let the overview finish: it is the one content change expected.
    ASSERT_TRUE(s.player.wait([&] {
        const auto& d = s.player.model.waveform();
        return d && d->loadedBuckets == d->bucketCount && s.view.data() == d;
    }));
    QApplication::processEvents();
    const int renders = s.view.renderCount();

    // 30 updates a second for 2 s.
    int updates = 0;
    QTimer timer;
    timer.setInterval(1000 / 30);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++updates;
        s.player.model.playhead()->setFrame(static_cast<double>(updates) * 1000.5);
    });
    timer.start();
    ASSERT_TRUE(test::waitFor([&] { return updates >= 60; }));
    timer.stop();
    QApplication::processEvents();
    EXPECT_EQ(s.view.renderCount(), renders) << "no new picture for the playhead";

    s.player.model.playhead()->setFrame(24000.4);
    const auto line = s.view.playheadRect();
    ASSERT_TRUE(line);
    EXPECT_DOUBLE_EQ(line->center().x() - 0.25, 100) << "x = playhead / frames * width, rounded";
    EXPECT_DOUBLE_EQ(line->width(), 1.5);
    EXPECT_EQ(line->height(), s.view.height());
    s.player.model.playhead()->setFrame(24000 + 119);
    EXPECT_DOUBLE_EQ(s.view.playheadRect()->left(), 99.5);
    s.player.model.playhead()->setFrame(24000 + 121);
    EXPECT_DOUBLE_EQ(s.view.playheadRect()->left(), 100.5);

    WaveformView empty;
    empty.setPlayhead(500);
    EXPECT_FALSE(empty.playheadRect()) << "hidden without frames";
}

TEST(WaveformView, PicturesOfAQuietFile) {
    for (auto style : {WaveformView::Style::hud, WaveformView::Style::window}) {
        WaveformView view;
        view.setStyle(style);
        auto data = flat(2, 0.01f, 6000);
        for (int64_t i = 0; i < 6000; ++i) {
            const float env = 0.01f * static_cast<float>(std::abs(std::sin(static_cast<double>(i) / 300.0)));
            data->maxs[0][static_cast<size_t>(i)] = env;
            data->mins[0][static_cast<size_t>(i)] = -env;
            data->maxs[1][static_cast<size_t>(i)] = env * 0.5f;
            data->mins[1][static_cast<size_t>(i)] = -env * 0.7f;
        }
        view.setData(data);
        view.setTotalFrames(6000 * 100);
        view.setLaneLabels({"L", "R"});
        view.setPlayhead(6000 * 30);
        view.setSelection(FrameRange{6000 * 60, 6000 * 75});
        view.setCornerRadius(4);
        view.resize(600, 120);
        if (style == WaveformView::Style::hud) {
            QPalette dark = view.palette();
            dark.setColor(QPalette::Window, QColor(30, 30, 32));
            view.setPalette(dark);
            view.setAutoFillBackground(true);
        }
        test::savePng(view, style == WaveformView::Style::hud ? "player-strip-quiet-hud" : "player-strip-quiet-window");
        EXPECT_EQ(WaveformView::gainNote(WaveformView::displayGain(*data)), "view +30 dB");
    }
}
