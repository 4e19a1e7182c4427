// The monitor's upmix row: when it is offered, the presets and "Reset",
// the expert grid's sliders (their grid, their value texts, moving away and
// back), the crossover picker, and that showing a stored value never
// writes it.
#include "ui/monitor/UpmixRow.h"

#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "ui/UiTestSupport.h"
#include "ui/monitor/MonitorFixture.h"
#include "ui/widgets/Segments.h"

using namespace qm;

namespace {

struct Row {
    test::MonitorFixture& f;
    UpmixRow row;
    explicit Row(test::MonitorFixture& fixture, bool expert = true) : f(fixture), row(*fixture.engine) {
        row.setExpert(expert);
        row.resize(900, 200);
        row.show();
    }
    template <class W = QWidget>
    W* find(const char* name) {
        auto* w = row.findChild<W*>(name);
        EXPECT_TRUE(w) << name;
        return w;
    }
    QSlider* slider(const char* name) { return find<QSlider>(name); }
    QString text(const char* name) { return find<QLabel>((std::string(name) + ".value").c_str())->text(); }
    bool resetShown() { return find<QToolButton>("upmixReset")->isVisibleTo(&row); }
    bool gridShown() { return find("upmixGrid")->isVisibleTo(&row); }
    void choose(UpmixPreset p) {
        const auto& cases = upmixPreset::allCases();
        const int i = static_cast<int>(std::find(cases.begin(), cases.end(), p) - cases.begin());
        QTest::mouseClick(find<widgets::Segments>("upmixPreset")->segment(i), Qt::LeftButton);
    }
    void key(QSlider* s, Qt::Key k) {
        s->setFocus();
        QTest::keyClick(s, k);
    }
};

// A stereo bus on a 5.1 room, the upmix on.
void offered(test::MonitorFixture& f) {
    f.useProfile(LayoutID::l51);
    f.edit([](MonitorState& s) {
        s.source = MonitorSource::stereo;
        s.upmix.enabled = true;
    });
}

}  // namespace

TEST(UpmixRow, OfferedOnlyWhereTheBusCanSpreadAndNeverOnHeadphones) {
    struct Case {
        const char* what;
        MonitorSource source;
        LayoutID layout;
        OutputProfile::Kind kind;
        bool can;
    };
    const Case cases[] = {
        {"stereo on 5.1", MonitorSource::stereo, LayoutID::l51, OutputProfile::Kind::speakers, true},
        {"5.1 on 7.1.4", MonitorSource::l51film, LayoutID::l714, OutputProfile::Kind::speakers, true},
        {"9.1.6 on 9.1.6", MonitorSource::l916, LayoutID::l916, OutputProfile::Kind::speakers, false},
        {"stereo on headphones", MonitorSource::stereo, LayoutID::l916, OutputProfile::Kind::headphones, false},
    };
    for (const Case& c : cases) {
        test::MonitorFixture f;
        f.useProfile(c.layout, c.kind);
        f.edit([&](MonitorState& s) {
            s.source = c.source;
            s.upmix.enabled = true;
        });
        Row r(f);
        EXPECT_EQ(r.row.can(), c.can) << c.what;
        auto* toggle = r.find<QToolButton>("upmix");
        EXPECT_EQ(toggle->isEnabled(), c.can) << c.what;
        EXPECT_EQ(toggle->toolTip(), c.can ? "Spread the bus over every speaker in the room"
                                           : "The source already uses every speaker in the room")
            << c.what;
        EXPECT_EQ(r.gridShown(), c.can) << c.what << ": expert, enabled";
        r.row.setExpert(false);
        EXPECT_FALSE(r.gridShown()) << c.what << ": never without expert mode";
    }
}

TEST(UpmixRow, APresetReplacesEveryParameterAndResetFollowsTheSliders) {
    test::MonitorFixture f;
    offered(f);
    Row r(f);
    EXPECT_FALSE(r.resetShown());
    r.key(r.slider("strength"), Qt::Key_Left);
    r.key(r.slider("heightDB"), Qt::Key_Right);
    EXPECT_TRUE(r.resetShown());
    EXPECT_EQ(f.engine->state().upmix.params.strength, 0.999);

    r.choose(UpmixPreset::hall);
    EXPECT_EQ(f.engine->state().upmix.preset, UpmixPreset::hall);
    EXPECT_EQ(f.engine->state().upmix.params, upmixPreset::params(UpmixPreset::hall));
    EXPECT_FALSE(r.resetShown());
    EXPECT_EQ(r.find<widgets::Segments>("upmixPreset")->toolTip(), QString("For large rooms and orchestral recordings: more ambience in the surrounds and heights, spread wider."));

    r.key(r.slider("surroundDelayMs"), Qt::Key_Right);
    EXPECT_TRUE(r.resetShown());
    r.key(r.slider("surroundDelayMs"), Qt::Key_Left);
    EXPECT_FALSE(r.resetShown());

    r.key(r.slider("ambienceDB"), Qt::Key_Left);
    QTest::mouseClick(r.find<QToolButton>("upmixReset"), Qt::LeftButton);
    EXPECT_EQ(f.engine->state().upmix.params, upmixPreset::params(UpmixPreset::hall));
    EXPECT_EQ(f.engine->state().upmix.preset, UpmixPreset::hall);
    EXPECT_TRUE(f.engine->state().upmix.enabled);

    // Off and on again keeps preset and parameters.
    r.key(r.slider("stage"), Qt::Key_Right);
    const UpmixSettings before = f.engine->state().upmix;
    QTest::mouseClick(r.find<QToolButton>("upmix"), Qt::LeftButton);
    EXPECT_FALSE(f.engine->state().upmix.enabled);
    EXPECT_FALSE(r.gridShown());
    QTest::mouseClick(r.find<QToolButton>("upmix"), Qt::LeftButton);
    EXPECT_EQ(f.engine->state().upmix, before);
}

TEST(UpmixRow, AwayAndBackRestoresEveryValueThatLiesOnItsSlidersGrid) {
    const char* names[] = {"strength", "centerWidth", "stage", "frontAmbience",
                           "ambienceDB", "heightDB", "surroundDelayMs"};
    int onGrid = 0, offGrid = 0;
    for (UpmixPreset p : upmixPreset::allCases()) {
        test::MonitorFixture f;
        offered(f);
        Row r(f);
        r.choose(p);
        for (const char* name : names) {
            QSlider* s = r.slider(name);
            const MonitorState shown = f.engine->state();
            const bool atMax = s->value() == s->maximum();
            r.key(s, atMax ? Qt::Key_Left : Qt::Key_Right);
            ASSERT_NE(f.engine->state(), shown) << name;
            r.key(s, atMax ? Qt::Key_Right : Qt::Key_Left);
            // On the grid (centre width 3/7 and 0, half decibels...) the
            // preset's value comes back exactly; off it (0.2, 0.6, 0.3 of
            // the centre width, -80 dB heights) the grid's neighbour stays.
            const bool back = f.engine->state() == shown;
            back ? ++onGrid : ++offGrid;
            EXPECT_EQ(r.resetShown(), !back) << upmixPreset::rawValue(p) << " " << name;
            QTest::mouseClick(r.find<QToolButton>("upmixReset"), Qt::LeftButton);
            EXPECT_EQ(f.engine->state().upmix.params, upmixPreset::params(p));
        }
    }
    // game, hall and broadcast centre widths, speech heights.
    EXPECT_EQ(offGrid, 4);
    EXPECT_EQ(onGrid, 6 * 7 - 4);
}

TEST(UpmixRow, ValueTexts) {
    using P = UpmixParams;
    struct Case {
        double P::*field;
        const char* name;
        double value;
        const char* text;
        int position;
    };
    const Case cases[] = {
        {&P::heightDB, "heightDB", -80, "off", -80},
        {&P::heightDB, "heightDB", -40, "off", -80},
        {&P::heightDB, "heightDB", -39.5, "-39.5 dB", -79},
        {&P::heightDB, "heightDB", 0, "+0.0 dB", 0},
        {&P::centerWidth, "centerWidth", 3.0 / 7.0, "3 of 7", 3},
        {&P::centerWidth, "centerWidth", 0.2, "1 of 7", 1},
        {&P::strength, "strength", 0.65, "65%", 650},
        {&P::frontAmbience, "frontAmbience", 0.35, "35%", 350},
        {&P::stage, "stage", 45, "±45°", 3},
        {&P::ambienceDB, "ambienceDB", -12, "-12.0 dB", -24},
        {&P::surroundDelayMs, "surroundDelayMs", 10, "10 ms", 10},
    };
    test::MonitorFixture f;
    offered(f);
    Row r(f);
    for (const Case& c : cases) {
        f.edit([&](MonitorState& s) { s.upmix.params.*c.field = c.value; });
        const int writes = f.stateWrites();
        r.row.refresh();
        EXPECT_EQ(r.text(c.name), QString::fromUtf8(c.text)) << c.name << " " << c.value;
        EXPECT_EQ(r.slider(c.name)->value(), c.position) << c.name << " " << c.value;
        EXPECT_EQ(f.engine->state().upmix.params.*c.field, c.value) << "shown, not written";
        EXPECT_EQ(f.stateWrites(), writes);
    }
}

TEST(UpmixRow, TheCrossoverShowsOnlyWithSplitAndOffKeepsIt) {
    test::MonitorFixture f;
    offered(f);
    Row r(f);
    auto* lfe = r.find<QComboBox>("lfe");
    auto* hz = r.find<QComboBox>("lfeHz");
    EXPECT_EQ(lfe->currentText(), "Off");
    EXPECT_FALSE(hz->isVisibleTo(&r.row));
    r.choose(UpmixPreset::game);  // split at 80 Hz
    EXPECT_EQ(lfe->currentText(), "Split");
    EXPECT_TRUE(hz->isVisibleTo(&r.row));
    EXPECT_EQ(hz->currentText(), "80 Hz");
    hz->setFocus();
    QTest::keyClick(hz, Qt::Key_Down);
    EXPECT_EQ(f.engine->state().upmix.params.lfeHz, 120.0);
    lfe->setFocus();
    QTest::keyClick(lfe, Qt::Key_Up);
    EXPECT_EQ(f.engine->state().upmix.params.lfe, UpmixParams::LFEMode::off);
    EXPECT_EQ(f.engine->state().upmix.params.lfeHz, 120.0);
    EXPECT_FALSE(hz->isVisibleTo(&r.row));
}
