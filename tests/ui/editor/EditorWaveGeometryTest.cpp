#include "ui/editor/EditorWaveGeometry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <limits>

using namespace qm;
using namespace qm::editorwave;

namespace {

std::vector<QRectF> columnsOf(const std::vector<float>& samples, const Span& span, double height = 124,
                              const std::vector<float>* mins = nullptr, const std::vector<float>* maxs = nullptr) {
    std::vector<QRectF> out;
    laneColumns(samples, mins, maxs, span, lane(height, 1, 0), out);
    return out;
}

double width(const QString& text) { return 6.0 * text.size(); }

}  // namespace

TEST(EditorWaveGeometry, FramesMapToPixelsAndBackWithinTheDocument) {
    const Span span{800, 1000, 1600};  // half a pixel per frame
    EXPECT_DOUBLE_EQ(span.ppf(), 0.5);
    EXPECT_DOUBLE_EQ(span.x(int64_t(1000)), 0);
    EXPECT_DOUBLE_EQ(span.x(int64_t(2600)), 800);
    EXPECT_TRUE(span.inView(1000));
    EXPECT_TRUE(span.inView(2600)) << "both ends of the visible range are in view";
    EXPECT_FALSE(span.inView(2601));
    EXPECT_FALSE(span.inView(999));

    EXPECT_EQ(span.frameAt(101.9, 100000), 1203) << "the fraction is cut towards zero";
    EXPECT_EQ(span.frameAt(-5000, 100000), 0);
    EXPECT_EQ(span.frameAt(5000, 3000), 3000) << "the document's length itself is a valid frame";
    EXPECT_EQ(span.frameAt(std::numeric_limits<double>::infinity(), 3000), 1000);
    EXPECT_EQ((Span{0, 1000, 1600}.frameAt(10, 3000)), 1000) << "a view without width answers its start";
    EXPECT_DOUBLE_EQ((Span{800, 0, 0}.ppf()), 800) << "a view length of 0 counts as 1";
}

TEST(EditorWaveGeometry, ColumnsShowSilenceAsALineAndFullScaleAsNineTenthsOfTheLane) {
    const Span span{10, 0, 100};  // 10 frames a pixel
    const Lane box = lane(124, 1, 0);
    EXPECT_DOUBLE_EQ(box.top, 24);
    EXPECT_DOUBLE_EQ(box.centre, 74);
    EXPECT_DOUBLE_EQ(box.amplitude, 45);

    auto silent = columnsOf(std::vector<float>(100, 0.f), span);
    ASSERT_EQ(silent.size(), 10u);
    EXPECT_EQ(silent[3], QRectF(3, 74, 1, 0.75));

    std::vector<float> square(100);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 5) % 2 ? -1.f : 1.f;
    auto full = columnsOf(square, span);
    EXPECT_EQ(full[0], QRectF(0, 29, 1, 90)) << "0.45 of the lane up and down";

    std::vector<float> hot(100, 3.f);
    hot[50] = -7.f;
    auto clipped = columnsOf(hot, span);
    EXPECT_EQ(clipped[0], QRectF(0, 29, 1, 45)) << "beyond +1 is drawn at +1, and 0 is always included";
    EXPECT_EQ(clipped[5], QRectF(5, 29, 1, 90));

    // Bad samples: infinities are drawn at the limits, NaN as nothing.
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> bad(100, nan);
    bad[10] = inf;
    bad[21] = -inf;
    auto cols = columnsOf(bad, span);
    ASSERT_EQ(cols.size(), 10u);
    EXPECT_EQ(cols[0], QRectF(0, 74, 1, 0.75));
    EXPECT_EQ(cols[1], QRectF(1, 29, 1, 45));
    EXPECT_EQ(cols[2], QRectF(2, 74, 1, 45));
    for (const auto& c : cols) EXPECT_TRUE(std::isfinite(c.y()) && std::isfinite(c.height()));
}

TEST(EditorWaveGeometry, ColumnsComeFromThePeaksFrom256FramesAPixelOn) {
    // Samples and peaks that disagree tell which one a column was read from.
    const int64_t frames = 256 * 400;
    std::vector<float> samples(frames, 0.5f);
    std::vector<float> mins(400, -0.25f), maxs(400, 0.25f);
    mins[399] = -1.f;

    const Span at255{100, 0, 25500};
    const Span at256{100, 0, 25600};
    auto fromSamples = columnsOf(samples, at255, 124, &mins, &maxs);
    auto fromPeaks = columnsOf(samples, at256, 124, &mins, &maxs);
    EXPECT_EQ(fromSamples[0], QRectF(0, 74 - 22.5, 1, 22.5));
    EXPECT_EQ(fromPeaks[0], QRectF(0, 74 - 11.25, 1, 22.5));
    EXPECT_EQ(columnsOf(samples, at256)[0], fromSamples[0]) << "without a cache the samples are read";

    // The last column of a whole view reaches the last block.
    const Span whole{100, 0, frames};
    auto last = columnsOf(samples, whole, 124, &mins, &maxs).back();
    EXPECT_DOUBLE_EQ(last.bottom(), 74 + 45);
}

TEST(EditorWaveGeometry, ALaneEndsWhereItsSamplesEndAndNarrowViewsStillWork) {
    const Span span{100, 0, 1000};
    EXPECT_EQ(columnsOf(std::vector<float>(1000, 0.1f), span).size(), 100u);
    EXPECT_EQ(columnsOf(std::vector<float>(455, 0.1f), span).size(), 46u) << "a ragged lane ends early";
    EXPECT_TRUE(columnsOf(std::vector<float>(1000, 0.1f), Span{0, 0, 1000}).empty());
    EXPECT_EQ(columnsOf(std::vector<float>(1000, 0.1f), Span{1, 0, 1000}).size(), 1u);
    EXPECT_EQ(columnsOf(std::vector<float>(1000, 0.1f), Span{0.5, 0, 1000}).size(), 1u);

    // Close in, a pixel spans less than a frame: each column reads one.
    std::vector<float> ramp{0.f, 0.5f, 1.f};
    auto close = columnsOf(ramp, Span{300, 0, 3});
    ASSERT_EQ(close.size(), 300u);
    EXPECT_DOUBLE_EQ(close[100].height(), 22.5);
    EXPECT_DOUBLE_EQ(close[299].height(), 45);
    // A view past the end of the samples draws nothing.
    EXPECT_TRUE(columnsOf(ramp, Span{300, 10, 3}).empty());
}

TEST(EditorWaveGeometry, GridLinesBarNumbersAndTints) {
    const Span span{600, 0, 600};  // one frame a pixel
    // Beats 5 px apart are not drawn, bar lines always are.
    std::vector<int64_t> close{0, 5, 10, 15};
    EXPECT_TRUE(beatLines(close, span, 100).empty());
    EXPECT_EQ(barLines(close, span, 100).size(), 4u);
    std::vector<int64_t> apart{0, 6, 12, 700};
    auto beats = beatLines(apart, span, 100);
    ASSERT_EQ(beats.size(), 3u) << "the beat past the view is not drawn";
    EXPECT_EQ(beats[1], QRectF(6, 24, 0.5, 76));
    EXPECT_EQ(barLines({600}, span, 100)[0], QRectF(600, 24, 1, 76));
    EXPECT_TRUE(beatLines({10}, span, 100).empty());

    // A number at most every 28 px: every bar at 30 px, every third at 10 px.
    std::vector<int64_t> every30, every10;
    for (int i = 0; i < 60; ++i) {
        every30.push_back(i * 30);
        every10.push_back(i * 10);
    }
    EXPECT_EQ(barNumberStep(every30, span), 1);
    auto numbers = barNumbers(every10, span, 24);
    ASSERT_GE(numbers.size(), 3u);
    EXPECT_EQ(numbers[0].number, 1);
    EXPECT_EQ(numbers[1].number, 4);
    EXPECT_EQ(numbers[2].number, 7);
    EXPECT_EQ(numbers[1].tick, QRectF(30, 17, 1, 7));
    EXPECT_EQ(numbers[1].textTopLeft, QPointF(32, 11));
    EXPECT_EQ(barNumberStep({42}, span), 1) << "one downbeat: a bar counts as 100 px";
    // The numbering keeps its phase whatever the first visible bar is.
    auto scrolled = barNumbers(every10, Span{600, 35, 600}, 24);
    EXPECT_EQ(scrolled[0].number, 7);

    EXPECT_EQ(regionTint(-100, 50, span, 100), QRectF(0, 24, 50, 76));
    EXPECT_EQ(regionTint(550, 5000, span, 100), QRectF(550, 24, 50, 76));
    EXPECT_FALSE(regionTint(700, 900, span, 100));
    EXPECT_FALSE(regionTint(50, 50, span, 100));

    EXPECT_EQ(loopBar(FrameRange{100, 100}, span, 24), QRectF(100, 21, 1, 2)) << "at least 1 px wide";
    EXPECT_FALSE(loopBar(std::nullopt, span, 24));
}

TEST(EditorWaveGeometry, FlagsShowNearTheViewAndTheirLabelsStayInside) {
    const Span span{400, 1000, 400};
    std::map<PinKind, int64_t> pins{{PinKind::introEnd, 970}, {PinKind::loopEnd, 950}, {PinKind::endingStart, 1200}};
    auto shown = flags(pins, span, width);
    ASSERT_EQ(shown.size(), 2u) << "30 px outside still draws, 50 px outside does not";
    EXPECT_EQ(shown[0].kind, PinKind::introEnd);
    EXPECT_EQ(shown[0].triangle, QPolygonF({QPointF(-35, 0), QPointF(-25, 0), QPointF(-30, 8)}));
    EXPECT_EQ(shown[1].kind, PinKind::endingStart);

    // INTRO is 30 wide here: left of the flag unless that starts below 2.
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::introEnd, 100, 30, 400), 64);
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::introEnd, 37, 30, 400), 43);
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::introEnd, 38, 30, 400), 2);
    // LOOP and ENDING: right of the flag unless that runs past width - 2.
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::loopEnd, 100, 24, 400), 106);
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::loopEnd, 368, 24, 400), 374) << "ends at 398: still inside";
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::loopEnd, 369, 24, 400), 339);
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::endingStart, 369, 36, 400), 327);
    EXPECT_DOUBLE_EQ(flagLabelX(PinKind::endingStart, 20, 500, 400), 26) << "too wide for either side: right";

    // Grabbing: strictly nearer wins, and only under 9 px.
    EXPECT_EQ(flagAt(-22, pins, span), PinKind::introEnd);
    EXPECT_EQ(flagAt(208, pins, span), PinKind::endingStart) << "8 px away grabs";
    EXPECT_FALSE(flagAt(209, pins, span)) << "9 px away does not";
    EXPECT_FALSE(flagAt(10, {}, span));
}

TEST(EditorWaveGeometry, FlagLabelsThatWouldMeetMoveApartOrStack) {
    const auto width = [](const QString& t) { return t.size() * 6.0; };  // LOOP 24, ENDING 36, INTRO 30
    auto label = [](const std::vector<Flag>& shown, PinKind kind) {
        for (const Flag& f : shown)
            if (f.kind == kind) return f;
        return Flag{};
    };
    // Far apart: each on its own side, on the top line.
    const Span span{400, 0, 400};
    auto apart = flags({{PinKind::loopEnd, 100}, {PinKind::endingStart, 300}}, span, width);
    EXPECT_EQ(label(apart, PinKind::loopEnd).label, QRectF(106, 0, 24, kFlagLabelHeight));
    EXPECT_EQ(label(apart, PinKind::endingStart).label, QRectF(306, 0, 36, kFlagLabelHeight));
    // LOOP 20 px before ENDING: LOOP's label, right of its flag, would run
    // into ENDING's flag, so it goes left of its own.
    auto near = flags({{PinKind::loopEnd, 200}, {PinKind::endingStart, 220}}, span, width);
    const Flag loop = label(near, PinKind::loopEnd), ending = label(near, PinKind::endingStart);
    EXPECT_EQ(loop.label, QRectF(170, 0, 24, kFlagLabelHeight));
    EXPECT_EQ(ending.label, QRectF(226, 0, 36, kFlagLabelHeight));
    EXPECT_FALSE(loop.stacked || ending.stacked);
    // All three within a few pixels: what cannot go beside goes a line down,
    // and no two labels meet.
    auto crowded = flags({{PinKind::introEnd, 200}, {PinKind::loopEnd, 204}, {PinKind::endingStart, 208}}, span, width);
    ASSERT_EQ(crowded.size(), 3u);
    for (size_t i = 0; i < crowded.size(); ++i) {
        for (size_t j = i + 1; j < crowded.size(); ++j)
            EXPECT_FALSE(crowded[i].label.intersects(crowded[j].label)) << i << " " << j;
        EXPECT_GE(crowded[i].label.left(), 2);
        EXPECT_LE(crowded[i].label.right(), 398);
    }
    EXPECT_TRUE(std::any_of(crowded.begin(), crowded.end(), [](const Flag& f) { return f.stacked; }));
    for (const Flag& f : crowded)
        EXPECT_EQ(f.label.top(), f.stacked ? kStackedLabelTop : 0.0) << pinLabel(f.kind).toStdString();
}

TEST(EditorWaveGeometry, TheRulerReadsTheTimeAtEveryZoom) {
    // The step keeps labels 60 px apart: 1, 2 or 5 times a power of ten of
    // seconds, then 15 s, 30 s and whole minutes.
    EXPECT_DOUBLE_EQ(timeStep(100, 60), 1);      // 100 px a second
    EXPECT_DOUBLE_EQ(timeStep(40, 60), 2);
    EXPECT_DOUBLE_EQ(timeStep(10, 60), 10);
    EXPECT_DOUBLE_EQ(timeStep(5, 60), 15);
    EXPECT_DOUBLE_EQ(timeStep(1, 60), 60);
    EXPECT_DOUBLE_EQ(timeStep(100000, 60), 0.001);
    EXPECT_DOUBLE_EQ(timeStep(1000, 60), 0.1);
    // As many decimals as the step needs, minutes and two-digit seconds.
    EXPECT_EQ(timeMarkText(65000, 1), "1:05");
    EXPECT_EQ(timeMarkText(4500, 0.5), "0:04.5");
    EXPECT_EQ(timeMarkText(250, 0.05), "0:00.25");
    EXPECT_EQ(timeMarkText(3723004, 0.002), "62:03.004");

    // Zoomed in inside one bar (10 ms in 600 px at 48 kHz) there is still
    // time: a mark every millisecond or two, exact to the frame.
    const double rate = 48000;
    const Span inside{600, 48000 * 7, 480};
    const auto close = timeMarks(inside, rate, 60);
    ASSERT_GE(close.size(), 4u);
    EXPECT_EQ(close.front().millis, 7000);
    EXPECT_EQ(close.front().text, "0:07.000");
    EXPECT_EQ(close.front().tick, QRectF(0, 0, 1, 5));
    EXPECT_EQ(close[1].millis - close[0].millis, 1);
    EXPECT_DOUBLE_EQ(close[1].textTopLeft.x(), inside.x(48.0 * 7001) + 3);
    // The whole of a 3-minute file in 1200 px: every 10 s.
    const auto whole = timeMarks(Span{1200, 0, static_cast<int64_t>(rate * 180)}, rate, 60);
    ASSERT_EQ(whole.size(), 19u);
    EXPECT_EQ(whole[1].text, "0:10");
    EXPECT_EQ(whole.back().text, "3:00");
    // Without a sample rate, nothing.
    EXPECT_TRUE(timeMarks(inside, 0, 60).empty());
}

TEST(EditorWaveGeometry, SelectionCursorAndPlayhead) {
    const Span span{400, 0, 100000};  // 250 frames a pixel
    EXPECT_EQ(selectionRect(FrameRange{2500, 2501}, span, 100), QRectF(10, 24, 1, 76)) << "one frame is 1 px wide";
    EXPECT_FALSE(selectionRect(std::nullopt, span, 100));
    // Far outside the view (a close zoom of a long file) stays drawable.
    auto far = selectionRect(FrameRange{0, int64_t(1) << 40}, Span{400, int64_t(1) << 39, 64}, 100);
    ASSERT_TRUE(far);
    EXPECT_LE(far->right(), 400 + 64);
    EXPECT_GE(far->left(), -64);

    EXPECT_EQ(cursorRect(5000, span, 100), QRectF(20, 24, 1, 76));
    EXPECT_FALSE(playheadRect(5000, false, span, 100)) << "hidden while stopped";
    EXPECT_EQ(playheadRect(5000, true, span, 100), QRectF(19.5, 0, 1.5, 100)) << "over the ruler too";
    EXPECT_EQ(playheadRect(100000, true, span, 100), QRectF(399.5, 0, 1.5, 100));
    EXPECT_FALSE(playheadRect(100300, true, span, 100));
    EXPECT_FALSE(playheadRect(-1, true, span, 100));
}
