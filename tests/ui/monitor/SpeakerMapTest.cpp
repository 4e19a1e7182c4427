// The speaker map: where each button sits for the layouts and for
// headphones, in the window's 260-high strip and in a narrow map; what a
// plain, Alt-, Ctrl- and Shift-click write, and the context menu; the
// three looks; and pictures
// of the map for 5.1, 7.1.4, 9.1.6 and headphones.
#include "ui/monitor/SpeakerMap.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

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

// A map of a profile in `layout`, shown at the window's 600 x 260.
struct ShownMap {
    test::MonitorFixture f;
    std::unique_ptr<SpeakerMap> map;

    explicit ShownMap(LayoutID layout) {
        f.useProfile(layout);
        map = std::make_unique<SpeakerMap>(*f.engine);
        map->resize(600, 260);
        map->show();
    }
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
        {"stereo", LayoutID::stereo, speakers, {600, 260}, 2, {{S::L, 247, 38.20}, {S::R, 353, 38.20}}},
        {"5.1", LayoutID::l51, speakers, {600, 260}, 6,
         {{S::C, 300, 24}, {S::LFE, 300, 161.8}, {S::Ls, 200.39, 166.25}, {S::Rs, 399.61, 166.25}}},
        {"7.1.4", LayoutID::l714, speakers, {600, 260}, 12,
         {{S::Ls, 194, 130}, {S::Lrs, 225.05, 204.95}, {S::Ltf, 258.78, 88.78}, {S::Rtr, 341.22, 171.22}}},
        {"9.1.6", LayoutID::l916, speakers, {600, 260}, 16,
         {{S::Lw, 208.20, 77}, {S::Rw, 391.80, 77}, {S::Ltm, 241.7, 130}, {S::Rtm, 358.3, 130}}},
        {"headphones on a 9.1.6 layout", LayoutID::l916, OutputProfile::Kind::headphones, {600, 260}, 2,
         {{S::L, 247, 38.20}, {S::R, 353, 38.20}}},
        {"narrow", LayoutID::l51, speakers, {200, 260}, 6, {{S::L, 62, 64.18}, {S::LFE, 100, 152.8}}},
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

TEST(SpeakerMap, APlanFromAboveWithTheFrontUpPutsEveryLeftSpeakerLeftOfTheListener) {
    ShownMap shown(LayoutID::l916);
    auto& f = shown.f;
    SpeakerMap& map = *shown.map;
    const double listener = 300;
    // Every pair: the left one left of the listener, its mirror image right,
    // at the same height; front speakers above the listener, rear below.
    const std::pair<S, S> pairs[] = {{S::L, S::R},     {S::Lw, S::Rw},   {S::Ls, S::Rs},  {S::Lrs, S::Rrs},
                                     {S::Ltf, S::Rtf}, {S::Ltm, S::Rtm}, {S::Ltr, S::Rtr}};
    for (auto [left, right] : pairs) {
        const QPointF l = centre(map.button(left)), r = centre(map.button(right));
        EXPECT_LT(l.x(), listener) << speaker::rawValue(left);
        EXPECT_GT(r.x(), listener) << speaker::rawValue(right);
        EXPECT_NEAR(l.x() + r.x(), 2 * listener, 1.01) << speaker::rawValue(left);
        EXPECT_NEAR(l.y(), r.y(), 0.51) << speaker::rawValue(left);
    }
    EXPECT_LT(centre(map.button(S::L)).y(), 130);
    EXPECT_GT(centre(map.button(S::Lrs)).y(), 130);
    // The click targets are where the speakers are drawn.
    const QPoint onL = map.button(S::L)->geometry().center();
    EXPECT_EQ(map.childAt(onL), map.button(S::L));
    QTest::mouseClick(map.childAt(onL), Qt::LeftButton);
    EXPECT_EQ(f.engine->state().solo, (std::set<S>{S::L}));
}

TEST(SpeakerMap, SideSpeakersAreLabelledAsSidesBesideARearPair) {
    test::MonitorFixture f;
    f.useProfile(LayoutID::l714);
    SpeakerMap map(*f.engine);
    EXPECT_EQ(map.button(S::Ls)->text(), "Lss");
    EXPECT_EQ(map.button(S::Lrs)->text(), "Lrs");
    EXPECT_EQ(map.button(S::L)->toolTip(), "Click to solo, Alt-click to mute, right-click for both");
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

TEST(SpeakerMap, TheContextMenuSolosAndMutesWithoutAModifier) {
    ShownMap shown(LayoutID::l51);
    auto& f = shown.f;
    SpeakerMap& map = *shown.map;
    // A right-click on a speaker asks for its menu there.
    SpeakerButton* ls = map.button(S::Ls);
    std::optional<QPoint> asked;
    QObject::connect(ls, &SpeakerButton::menuRequested, &map, [&](const QPoint& at) { asked = at; });
    QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), ls->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(ls, &right);
    ASSERT_TRUE(asked);
    EXPECT_EQ(*asked, ls->mapToGlobal(QPoint(5, 5)));
    QApplication::processEvents();
    for (QMenu* open : map.findChildren<QMenu*>()) open->close();

    // Mute, then solo, each one write; the checks show the state as it is.
    auto item = [&](const char* name) {
        QMenu* menu = map.contextMenu(S::Ls);
        QAction* action = menu->findChild<QAction*>(name);
        menu->deleteLater();
        return action;
    };
    QMenu* menu = map.contextMenu(S::Ls);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Solo");
    EXPECT_EQ(menu->actions()[1]->text(), "Mute");
    EXPECT_FALSE(menu->actions()[1]->isChecked());
    delete menu;
    const int writes = f.stateWrites();
    item("mute")->trigger();
    EXPECT_EQ(f.engine->state().muted, (std::set<S>{S::Ls}));
    EXPECT_TRUE(f.engine->state().solo.empty());
    EXPECT_EQ(f.stateWrites(), writes + 1);
    EXPECT_TRUE(item("mute")->isChecked());
    EXPECT_EQ(map.button(S::Ls)->look(), Look::silent);
    item("solo")->trigger();
    EXPECT_EQ(f.engine->state().solo, (std::set<S>{S::Ls}));
    EXPECT_EQ(f.engine->state().muted, (std::set<S>{S::Ls})) << "soloing does not clear the mute";
    item("mute")->trigger();
    EXPECT_TRUE(f.engine->state().muted.empty());
    EXPECT_EQ(f.stateWrites(), writes + 3);
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
