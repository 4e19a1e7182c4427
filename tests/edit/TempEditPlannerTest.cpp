#include "edit/TempEditPlanner.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qm {
namespace {

using TempEditPlanner::JumpTable;
using TempEditPlanner::detail::search;

using Sim = std::vector<std::vector<double>>;

Sim uniform(size_t n, double v) { return Sim(n, std::vector<double>(n, v)); }

// 120 BPM in 4/4 (2 s bars) at 1000 Hz: downbeats every 2 s from 0 to 64 s
// and a file of `duration` seconds, so boundary k lies at frame 2000 k.
MusicGrid gridOf(int downbeats, double duration) {
    MusicGrid g;
    g.bpm = 120;
    g.beatsPerBar = 4;
    g.steady = true;
    for (int k = 0; k < downbeats; ++k) g.downbeats.push_back(2.0 * k);
    g.duration = duration;
    return g;
}

// Intro of two bars, loop b3-b10, ending from b29, music to boundary 32,
// final hit in bar 31; 3 s of ring-out after the music.
struct Fixture {
    MusicGrid grid = gridOf(33, 67);
    StructureResult structure;
    double sr = 1000;
    int64_t total = 67000;

    Fixture() {
        structure.pins = Pins{0, 2, 2, 10, 28, 32, 31, false};
        structure.similarity = uniform(33, 0.9);
    }
    std::vector<EditPlan> plans(const TempEditOptions& options = {}) const {
        return TempEditPlanner::plans(grid, structure, sr, total, options);
    }
};

const EditPlan* find(const std::vector<EditPlan>& plans, const std::string& name) {
    for (const auto& p : plans)
        if (p.name == name) return &p;
    return nullptr;
}

int64_t lengthOf(const EditPlan& p) {
    int64_t n = 0;
    for (const auto& s : p.spans) n += s.end - s.start;
    return n;
}

TEST(TempEditPlanner, LengthLabels) {
    for (auto [sec, label] : {std::pair{15.0, "15s"}, {59.4, "59s"}, {60.0, "1m00s"}, {125.0, "2m05s"}})
        EXPECT_EQ(TempEditPlanner::label(sec), label) << sec;
}

TEST(TempEditPlannerJumps, ThresholdFromTheBody) {
    Pins pins{0, 4, 4, 6, 6, 8, 7, false};  // a body of two bars
    EXPECT_DOUBLE_EQ(JumpTable(uniform(10, 0.3), pins).threshold, 0.8);
    pins.endingStart = 9;
    EXPECT_DOUBLE_EQ(JumpTable(uniform(10, 0.95), pins).threshold, 0.95);
    EXPECT_DOUBLE_EQ(JumpTable(uniform(10, 0.5), pins).threshold, 0.8);  // never below 0.8
    // The 85th percentile of the off-diagonal body values.
    Sim s = uniform(10, 0.5);
    for (int i = 4; i < 9; ++i)
        for (int j = 4; j < 9; ++j)
            if (std::abs(i - j) >= 2) s[i][j] = 0.8 + 0.01 * (i + j);  // 12 values 0.90 ... 0.94
    EXPECT_NEAR(JumpTable(s, pins).threshold, 0.93, 1e-12);
}

TEST(TempEditPlannerJumps, PinnedLoopJumpIsAlwaysAllowed) {
    Pins pins{0, 0, 2, 8, 10, 12, 11, false};
    Sim s = uniform(12, 0.5);
    s[8][2] = 0.99;
    EXPECT_NEAR(*JumpTable(s, pins).cost(8, 2), 0.01, 1e-12);
    s[8][2] = 0.5;
    const JumpTable low(s, pins);
    EXPECT_NEAR(*low.cost(8, 2), 0.1, 1e-12);
    EXPECT_FALSE(low.cost(9, 3));  // the same similarity between other bars
    // Past the matrix the loop jump counts as similarity 0.9.
    pins.loopEnd = 12;
    EXPECT_NEAR(*JumpTable(s, pins).cost(12, 2), 0.1, 1e-12);
}

TEST(TempEditPlannerJumps, CostIsOneMinusTheMeanOfTheBarsAroundTheJump) {
    const Pins pins{0, 0, 0, 0, 6, 6, 5, false};
    Sim s = uniform(6, 0.9);
    s[4][1] = 1.0;
    s[3][0] = 0.86;
    const JumpTable t(s, pins);
    EXPECT_NEAR(*t.cost(4, 1), 1 - 0.93, 1e-12);
    EXPECT_NEAR(*t.cost(0, 3), 0.1, 1e-12);       // only sim[0][3] exists
    EXPECT_NEAR(*t.cost(6, 3), 0.1, 1e-12);       // only sim[5][2] exists
    EXPECT_FALSE(t.cost(7, 8));                   // nothing exists
    s[2][2] = 0.2;
    EXPECT_FALSE(JumpTable(s, pins).cost(3, 3));  // mean 0.55 below the threshold
}

// Bars 0-5 all alike (0.9); the body runs from boundary 0 to 6.
TEST(TempEditPlannerSearch, CheapestPathKeepsTheFirstFoundOnTies) {
    const JumpTable t(uniform(8, 0.9), Pins{0, 0, 0, 0, 6, 6, 5, false});
    struct Case {
        const char* what;
        int64_t bars, from, to;
        bool anyEnd;
        std::optional<double> cost;  // none: no path
        std::vector<int64_t> path;
    } cases[] = {
        {"empty body", 0, 3, 3, false, 0, {}},
        {"no bars cannot move", 1, 3, 3, false, {}, {}},
        {"no way back", 2, 4, 3, false, {}, {}},
        {"negative bars", -1, 0, 3, false, {}, {}},
        {"empty body jumps once", 0, 0, 6, false, 0.4, {}},
        {"straight play is free", 6, 0, 6, false, 0, {0, 1, 2, 3, 4, 5}},
        {"one jump, many ties", 4, 0, 6, false, 0.4, {0, 1, 2, 5}},
        // Eight bars repeat a phrase: the jump back from 4 to 0 earns the
        // phrase allowance.
        {"phrase repeat", 10, 0, 6, false, 0.35, {0, 1, 2, 3, 0, 1, 2, 3, 4, 5}},
        {"anyEnd stops short", 3, 0, 6, true, 0, {0, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = search(c.bars, c.from, c.to, t, c.anyEnd);
        ASSERT_EQ(r.has_value(), c.cost.has_value());
        if (!r) continue;
        EXPECT_NEAR(r->cost, *c.cost, 1e-12);
        EXPECT_EQ(r->path, c.path);
    }
}

TEST(TempEditPlanner, PiecesAndCutdownsOfAPlainPiece) {
    const Fixture f;
    const auto plans = f.plans();
    std::vector<std::string> names;
    for (const auto& p : plans) names.push_back(p.name);
    // 120 s is longer than the music; 180 s is the extended version.
    EXPECT_EQ(names, (std::vector<std::string>{"Intro", "Loop", "Ending", "Sting", "15s", "30s", "1m00s",
                                              "3m00s extended"}));

    EXPECT_EQ(plans[0].spans, (std::vector<EditPlan::Span>{{0, 4000}}));
    EXPECT_EQ(plans[0].map, "Intro b1–b2 · cut on the downbeat of b3");
    EXPECT_EQ(plans[1].kind, EditPlan::Kind::loop);
    EXPECT_EQ(plans[1].spans, (std::vector<EditPlan::Span>{{4000, 20000}}));
    EXPECT_EQ(plans[1].map, "Loop b3–b10 (8 bars), wraps seamlessly");
    EXPECT_FALSE(plans[1].carryLoopTail);
    EXPECT_EQ(plans[2].spans, (std::vector<EditPlan::Span>{{56000, 67000}}));
    EXPECT_EQ(plans[2].map, "Ending b29–b32 + ring-out");
    EXPECT_EQ(plans[3].spans, (std::vector<EditPlan::Span>{{62000, 67000}}));
    EXPECT_EQ(plans[3].map, "Sting: final hit at b32 + ring-out");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(plans[i].quality, 1);
        EXPECT_FALSE(plans[i].targetSec);
        EXPECT_FALSE(plans[i].cutAtSec);
    }

    // 15 s: the intro, one bar jumped to just before the ending, the ending.
    const auto& p15 = plans[4];
    EXPECT_EQ(p15.kind, EditPlan::Kind::cutdown);
    EXPECT_EQ(p15.spans, (std::vector<EditPlan::Span>{{0, 4000}, {54000, 67000}}));
    EXPECT_EQ(p15.map, "b1–2 ↷ b28–33 + ring");
    EXPECT_NEAR(p15.quality, 0.9, 1e-12);
    EXPECT_EQ(p15.targetSec, 15.0);
    EXPECT_EQ(p15.cutAtSec, 15.0);  // 17 s of spans with the whole ring-out
    EXPECT_EQ(p15.fadeInFrames, 0);
    EXPECT_EQ(p15.fadeOutFrames, 0);

    // Every cut falls on a bar line, the music start or the file end.
    for (size_t i = 4; i < plans.size(); ++i)
        for (const auto& s : plans[i].spans)
            for (int64_t edge : {s.start, s.end}) EXPECT_TRUE(edge % 2000 == 0 || edge == f.total) << plans[i].name;
    const auto& ext = plans.back();
    EXPECT_EQ(ext.kind, EditPlan::Kind::extended);
    EXPECT_EQ(ext.targetSec, 180.0);
    EXPECT_GT(lengthOf(ext), 170000);
    EXPECT_LT(ext.quality, 1);
}

TEST(TempEditPlanner, ExactLengthOnlyWhenTheSpansAreLonger) {
    Fixture f;
    TempEditOptions options{.targets = {30}, .extended = std::nullopt};
    auto plans = f.plans(options);
    ASSERT_EQ(plans.back().name, "30s");
    EXPECT_EQ(lengthOf(plans.back()), 31000);
    EXPECT_EQ(plans.back().cutAtSec, 30.0);
    options.exactLength = false;
    EXPECT_FALSE(f.plans(options).back().cutAtSec);
    // Without the long ring-out the spans come to 29 s: no cut.
    f.grid = gridOf(33, 65);
    f.total = 65000;
    options.exactLength = true;
    plans = f.plans(options);
    EXPECT_EQ(lengthOf(plans.back()), 29000);
    EXPECT_FALSE(plans.back().cutAtSec);
}

TEST(TempEditPlanner, ShortTargetsAreBacktimed) {
    const Fixture f;
    TempEditOptions options{.targets = {10}, .extended = std::nullopt};
    const auto plans = f.plans(options);
    const auto* p = find(plans, "10s");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, EditPlan::Kind::backtimed);
    EXPECT_EQ(p->spans, (std::vector<EditPlan::Span>{{56000, 67000}}));
    EXPECT_EQ(p->map, "Backtimed: b29–b32 + ring-out (starts on a downbeat)");
    EXPECT_EQ(p->fadeInFrames, 10);
    EXPECT_EQ(p->quality, 1);
    EXPECT_EQ(p->cutAtSec, 10.0);
}

TEST(TempEditPlanner, UnsimilarBodiesAreBacktimedButExtendedVersionsKeepTheirJumps) {
    Fixture f;
    f.structure.similarity = uniform(33, 0.805);  // one jump scores 0.495 - 0.04
    TempEditOptions options{.targets = {30}};
    const auto plans = f.plans(options);
    const auto* p30 = find(plans, "30s");
    ASSERT_TRUE(p30);
    EXPECT_EQ(p30->kind, EditPlan::Kind::backtimed);
    EXPECT_EQ(p30->spans, (std::vector<EditPlan::Span>{{36000, 67000}}));
    const auto* ext = find(plans, "3m00s extended");
    ASSERT_TRUE(ext);
    EXPECT_EQ(ext->kind, EditPlan::Kind::extended);
}

TEST(TempEditPlanner, QualityCountsTheJumpIntoTheEnding) {
    // Eight body bars fit 30 s: playing b3-b10 and jumping from there into
    // the ending (cost 0.12) beats any jump inside the body (cost 0.15).
    Fixture f;
    Sim s = uniform(33, 0.85);
    s[10][28] = s[9][27] = 0.88;
    f.structure.similarity = s;
    TempEditOptions options{.targets = {30}, .extended = std::nullopt};
    const auto plans = f.plans(options);
    const auto* p = find(plans, "30s");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, EditPlan::Kind::cutdown);
    EXPECT_EQ(p->spans, (std::vector<EditPlan::Span>{{0, 20000}, {56000, 67000}}));
    EXPECT_EQ(p->map, "b1–10 ↷ b29–33 + ring");
    EXPECT_NEAR(p->quality, 0.88, 1e-12);
    // A straight path has nothing to lose.
    options.targets = {4 + 52 + 11};
    const auto straight = f.plans(options);
    ASSERT_TRUE(find(straight, "1m07s"));
    EXPECT_EQ(find(straight, "1m07s")->quality, 1);
}

TEST(TempEditPlanner, LoopFiles) {
    Fixture f;
    f.structure.pins.loopFile = true;
    TempEditOptions options{.targets = {10, 15}, .extended = std::nullopt};
    const auto plans = f.plans(options);
    ASSERT_EQ(plans.size(), 2u);  // the short target is never backtimed
    EXPECT_EQ(plans[0].name, "Loop");
    EXPECT_EQ(plans[0].kind, EditPlan::Kind::loop);
    EXPECT_EQ(plans[0].spans, (std::vector<EditPlan::Span>{{0, 67000}}));
    EXPECT_EQ(plans[0].map, "The whole file (33 bars), wrap guarded");
    const auto& p = plans[1];
    EXPECT_EQ(p.name, "15s");
    EXPECT_EQ(p.kind, EditPlan::Kind::cutdown);
    EXPECT_EQ(p.spans, (std::vector<EditPlan::Span>{{0, 6000}}));  // no ending
    EXPECT_EQ(p.map, "b1–3 · 1-bar fade out");
    EXPECT_EQ(p.fadeOutFrames, 2000);
    EXPECT_FALSE(p.cutAtSec);
    EXPECT_EQ(p.quality, 1);
}

TEST(TempEditPlanner, TargetsAgainstTheMusicLength) {
    Fixture f;
    TempEditOptions options;
    options.targets = {68.0, 68.1};  // within and past half a bar over 67 s
    options.extended = 68.9;         // within one bar of the music's length
    auto plans = f.plans(options);
    EXPECT_TRUE(find(plans, "1m08s"));
    EXPECT_EQ(std::count_if(plans.begin(), plans.end(), [](const EditPlan& p) { return p.targetSec; }), 1);
    // Music under 30 s gets no extended version.
    f.grid = gridOf(14, 28);
    f.total = 28000;
    f.structure.pins = Pins{0, 2, 2, 6, 10, 13, 12, false};
    f.structure.similarity = uniform(14, 0.9);
    options.targets = {};
    options.extended = 60;
    plans = f.plans(options);
    EXPECT_TRUE(std::none_of(plans.begin(), plans.end(), [](const EditPlan& p) { return p.targetSec; }));
}

TEST(TempEditPlanner, BadInputGivesNoPlans) {
    Fixture f;
    f.grid = gridOf(0, 67);  // no bars
    EXPECT_TRUE(f.plans().empty());
    f.grid = gridOf(1, 1.5);  // shorter than one bar: boundaries 0 and 1.5
    f.total = 1500;
    f.structure.pins = Pins{0, 0, 0, 0, 0, 1, 0, false};
    EXPECT_TRUE(f.plans().empty());
    Fixture g;
    g.structure.pins.introEnd = 29;  // intro after the ending
    EXPECT_TRUE(g.plans().empty());
    g.structure.pins.introEnd = 2;
    g.structure.pins.endingStart = 40;  // outside the grid
    EXPECT_TRUE(g.plans().empty());
    g.structure.pins.endingStart = 28;
    g.sr = 0;
    EXPECT_TRUE(g.plans().empty());
    // A similarity matrix smaller than the grid allows fewer jumps, no crash.
    Fixture h;
    h.structure.similarity = uniform(5, 0.9);
    for (const auto& p : h.plans())
        for (const auto& s : p.spans) {
            EXPECT_LE(0, s.start);
            EXPECT_LT(s.start, s.end);
            EXPECT_LE(s.end, h.total);
        }
}

}  // namespace
}  // namespace qm
