// The speaker map: where each button sits for the layouts and for
// headphones, in the window's 260-high strip and in a narrow map; what a
// plain, Alt-, Ctrl- and Shift-click write; the three looks; and pictures
// of the map for 5.1, 7.1.4, 9.1.6 and headphones.
#include "ui/monitor/SpeakerMap.h"

#include <QTest>

#include <gtest/gtest.h>

#include "ui/UiTestSupport.h"
#include "ui/monitor/MonitorFixture.h"

using namespace qm;
using S = SpeakerID;
using Look = SpeakerButton::Look;

namespace {

QPointF centre(const SpeakerButton* b) { return QPointF(b->pos()) + QPointF(b->width() / 2.0, b->height() / 2.0); }

struct Place {
    S speaker;
    double x, y;
};

}  // namespace

TEST(SpeakerMap, ButtonsSitOnTheRingsAtTheirDirections) {
    // 600 x 260: centre (300, 130), r = 106, the height ring at 58.3.
    // 200 x 260: centre (100, 130), r = 76 (the width decides).
    struct Case {
        const char* what;
        LayoutID layout;
        OutputProfile::Kind kind;
        QSize size;
        size_t count;
        std::vector<Place> places;
    };
    const auto speakers = OutputProfile::Kind::speakers;
    const Case cases[] = {
        {"stereo", LayoutID::stereo, speakers, {600, 260}, 2, {{S::L, 353, 38.20}, {S::R, 247, 38.20}}},
        {"5.1", LayoutID::l51, speakers, {600, 260}, 6,
         {{S::C, 300, 24}, {S::LFE, 300, 161.8}, {S::Ls, 399.61, 166.25}, {S::Rs, 200.39, 166.25}}},
        {"7.1.4", LayoutID::l714, speakers, {600, 260}, 12,
         {{S::Ls, 406, 130}, {S::Lrs, 374.95, 204.95}, {S::Ltf, 341.22, 88.78}, {S::Rtr, 258.78, 171.22}}},
        {"9.1.6", LayoutID::l916, speakers, {600, 260}, 16,
         {{S::Lw, 391.80, 77}, {S::Rw, 208.20, 77}, {S::Ltm, 358.3, 130}, {S::Rtm, 241.7, 130}}},
        {"headphones on a 9.1.6 layout", LayoutID::l916, OutputProfile::Kind::headphones, {600, 260}, 2,
         {{S::L, 353, 38.20}, {S::R, 247, 38.20}}},
        {"narrow", LayoutID::l51, speakers, {200, 260}, 6, {{S::L, 138, 64.18}, {S::LFE, 100, 152.8}}},
    };
    for (const Case& c : cases) {
        test::MonitorFixture f;
        f.useProfile(c.layout, c.kind);
        SpeakerMap map(*f.engine);
        map.resize(c.size);
        map.show();
        ASSERT_EQ(map.buttons().size(), c.count) << c.what;
        for (const Place& p : c.places) {
            const SpeakerButton* b = map.button(p.speaker);
            ASSERT_TRUE(b) << c.what;
            EXPECT_EQ(b->size(), QSize(44, 28));
            EXPECT_NEAR(centre(b).x(), p.x, 0.51) << c.what << " " << speaker::rawValue(p.speaker);
            EXPECT_NEAR(centre(b).y(), p.y, 0.51) << c.what << " " << speaker::rawValue(p.speaker);
        }
    }
}

TEST(SpeakerMap, SideSpeakersAreLabelledAsSidesBesideARearPair) {
    test::MonitorFixture f;
    f.useProfile(LayoutID::l714);
    SpeakerMap map(*f.engine);
    EXPECT_EQ(map.button(S::Ls)->text(), "Lss");
    EXPECT_EQ(map.button(S::Lrs)->text(), "Lrs");
    EXPECT_EQ(map.button(S::L)->toolTip(), "Click to solo, Alt-click to mute");
}

TEST(SpeakerMap, AClickSolosAnAltClickMutesOtherModifiersSolo) {
    struct Click {
        Qt::KeyboardModifiers modifiers;
        std::set<S> solo, muted;
    };
    // Each click on L, from the state the previous one left.
    const Click clicks[] = {
        {Qt::NoModifier, {S::L}, {}},
        {Qt::NoModifier, {}, {}},
        {Qt::ControlModifier, {S::L}, {}},
        {Qt::AltModifier, {S::L}, {S::L}},
        {Qt::ShiftModifier, {}, {S::L}},
        {Qt::AltModifier | Qt::ControlModifier, {}, {}},
    };
    test::MonitorFixture f;
    f.useProfile(LayoutID::stereo);
    SpeakerMap map(*f.engine);
    map.resize(600, 260);
    map.show();
    int step = 0;
    for (const Click& c : clicks) {
        const int writes = f.stateWrites();
        QTest::mouseClick(map.button(S::L), Qt::LeftButton, c.modifiers);
        EXPECT_EQ(f.engine->state().solo, c.solo) << "click " << step;
        EXPECT_EQ(f.engine->state().muted, c.muted) << "click " << step;
        EXPECT_EQ(f.stateWrites(), writes + 1) << "one write per click";
        ++step;
    }
}

TEST(SpeakerMap, SoloedWinsOverMutedAndASoloSilencesTheRest) {
    struct Case {
        std::set<S> solo, muted;
        Look l, r, c;
    };
    const Case cases[] = {
        {{}, {}, Look::normal, Look::normal, Look::normal},
        {{S::L}, {}, Look::soloed, Look::silent, Look::silent},
        {{S::L}, {S::L}, Look::soloed, Look::silent, Look::silent},
        {{}, {S::R}, Look::normal, Look::silent, Look::normal},
        // A solo of speakers the layout lacks silences every shown one.
        {{S::Ltf, S::Rw}, {}, Look::silent, Look::silent, Look::silent},
    };
    test::MonitorFixture f;
    f.useProfile(LayoutID::l51);
    SpeakerMap map(*f.engine);
    for (const Case& c : cases) {
        f.edit([&](MonitorState& s) {
            s.solo = c.solo;
            s.muted = c.muted;
        });
        EXPECT_EQ(map.button(S::L)->look(), c.l);
        EXPECT_EQ(map.button(S::R)->look(), c.r);
        EXPECT_EQ(map.button(S::C)->look(), c.c);
    }
    // With only absent speakers soloed, a plain click adds the clicked one.
    map.show();
    QTest::mouseClick(map.button(S::C), Qt::LeftButton);
    EXPECT_EQ(f.engine->state().solo, (std::set<S>{S::C, S::Rw, S::Ltf}));
    EXPECT_EQ(map.button(S::C)->look(), Look::soloed);
}

TEST(SpeakerMap, AChangeOfProfileRemakesTheButtonsAndKeepsTheSets) {
    test::MonitorFixture f;
    f.useProfile(LayoutID::l916);
    SpeakerMap map(*f.engine);
    map.resize(600, 260);
    map.show();
    QTest::mouseClick(map.button(S::Ltm), Qt::LeftButton);
    f.useProfile(LayoutID::stereo);
    map.refresh();
    EXPECT_EQ(map.buttons().size(), 2u);
    EXPECT_EQ(f.engine->state().solo, std::set<S>{S::Ltm});
    EXPECT_EQ(map.button(S::L)->look(), Look::silent);
}

TEST(SpeakerMap, Pictures) {
    struct Case {
        const char* name;
        LayoutID layout;
        OutputProfile::Kind kind;
        std::set<S> solo, muted;
    };
    const Case cases[] = {
        {"speaker-map-5.1", LayoutID::l51, OutputProfile::Kind::speakers, {}, {S::LFE}},
        {"speaker-map-7.1.4", LayoutID::l714, OutputProfile::Kind::speakers, {S::Ltf}, {}},
        {"speaker-map-9.1.6", LayoutID::l916, OutputProfile::Kind::speakers, {}, {}},
        {"speaker-map-headphones", LayoutID::l916, OutputProfile::Kind::headphones, {}, {S::R}},
    };
    for (const Case& c : cases) {
        test::MonitorFixture f;
        f.useProfile(c.layout, c.kind);
        f.edit([&](MonitorState& s) {
            s.solo = c.solo;
            s.muted = c.muted;
        });
        SpeakerMap map(*f.engine);
        map.resize(600, 260);
        test::savePng(map, c.name);
    }
}
