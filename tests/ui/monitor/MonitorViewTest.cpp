// The monitor window without a sound server: the pickers of source, bus
// and output, the volume, dim and mute, the fold-downs, "Clear solos and
// mutes", the first-input stepper, the message line, the insert rows with a
// test plug-in, that showing the window writes nothing, and its pictures.
#include "ui/monitor/MonitorView.h"

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <future>

#include "support/Lv2Plugins.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/InsertPanel.h"

#include <QLineEdit>
#include <QWidgetAction>
#include "ui/monitor/InsertRow.h"
#include "ui/monitor/MonitorFixture.h"
#include "ui/monitor/SpeakerMap.h"
#include "ui/monitor/UpmixRow.h"
#include "ui/widgets/Segments.h"

using namespace qm;

namespace {

struct View {
    test::MonitorFixture& f;
    std::unique_ptr<MonitorView> view;
    explicit View(test::MonitorFixture& fixture, std::vector<AudioOutputDevice> sources = {},
                  std::vector<Lv2Plugin> components = {})
        : f(fixture) {
        view = std::make_unique<MonitorView>(*f.engine, f.settings);
        view->setSourceList([sources] { return sources; });
        view->setComponentList([components] { return components; });
        view->show();
        EXPECT_TRUE(test::waitFor([&] { return view->listsRead(); }, &f.queue));
    }
    template <class W = QWidget>
    W* find(const char* name) {
        auto* w = view->findChild<W*>(name);
        EXPECT_TRUE(w) << name;
        return w;
    }
    bool shown(const char* name) { return find(name)->isVisibleTo(view.get()); }
    void key(QWidget* w, Qt::Key k) {
        w->setFocus();
        QTest::keyClick(w, k);
    }
};

std::vector<AudioOutputDevice> twoDevices() {
    return {{11, "jack:Bridge", "Audio Bridge", 16}, {12, "jack:Desk", "Desk", 2}};
}

}  // namespace

TEST(MonitorView, TheSourcePickerOffersChooseAndTheDevicesWithTheirInputs) {
    test::MonitorFixture f;
    View v(f, twoDevices());
    auto* source = v.find<QComboBox>("source");
    ASSERT_EQ(source->count(), 3);
    EXPECT_EQ(source->itemText(0), "Choose…");
    EXPECT_EQ(source->itemText(1), "Audio Bridge  (16 in)");
    EXPECT_EQ(source->itemText(2), "Desk  (2 in)");
    EXPECT_EQ(source->currentIndex(), 0);
    v.key(source, Qt::Key_Down);
    EXPECT_EQ(f.engine->sourceUID(), QString("jack:Bridge"));
    v.key(source, Qt::Key_Up);
    EXPECT_EQ(f.engine->sourceUID(), std::nullopt);
    // Set elsewhere, shown here.
    f.engine->setSourceUID(QString("jack:Desk"));
    EXPECT_EQ(source->currentIndex(), 2);
    // A source that is not attached selects nothing and stays chosen.
    f.engine->setSourceUID(QString("jack:Gone"));
    EXPECT_EQ(source->currentIndex(), -1);
    EXPECT_EQ(f.engine->sourceUID(), QString("jack:Gone"));
}

TEST(MonitorView, TheWindowOpensBeforeItsListsAreReadAndFillsAsTheyCome) {
    test::MonitorFixture f;
    // Lists that take as long as the test says: the window must not wait.
    std::promise<void> devicesReady, pluginsReady;
    std::shared_future<void> devices = devicesReady.get_future().share(), plugins = pluginsReady.get_future().share();
    // Whatever fails below, the lists are let go before the test ends.
    struct Release {
        std::promise<void>* promises[2];
        bool done[2] = {false, false};
        void operator()(int i) {
            if (!done[i]) promises[i]->set_value();
            done[i] = true;
        }
        ~Release() {
            (*this)(0);
            (*this)(1);
        }
    } release{{&devicesReady, &pluginsReady}};
    MonitorView view(*f.engine, f.settings);
    view.setSourceList([devices] {
        devices.wait();
        return twoDevices();
    });
    view.setComponentList([plugins] {
        plugins.wait();
        return std::vector<Lv2Plugin>{{"urn:c", "Limiter", "Zed", 1, 1, Lv2Category::dynamics}};
    });
    view.show();
    QApplication::processEvents();
    EXPECT_FALSE(view.listsRead());
    auto* source = view.findChild<QComboBox*>("source");
    EXPECT_FALSE(source->isEnabled());
    EXPECT_EQ(source->currentText(), "Looking for devices…");
    QMenu* menu = view.findChild<QToolButton*>("addInsert")->menu();
    EXPECT_EQ(menu->actions().back()->text(), "Looking for plug-ins…");
    EXPECT_FALSE(menu->actions().back()->isEnabled());
    // Every other control works meanwhile.
    QTest::mouseClick(view.findChild<QToolButton*>("dim"), Qt::LeftButton);
    EXPECT_TRUE(f.engine->state().dim);

    release(0);
    ASSERT_TRUE(test::waitFor([&] { return source->isEnabled(); }, &f.queue));
    EXPECT_EQ(source->count(), 3);
    EXPECT_EQ(source->itemText(1), "Audio Bridge  (16 in)");
    release(1);
    ASSERT_TRUE(test::waitFor([&] { return view.listsRead(); }, &f.queue));
    EXPECT_EQ(menu->actions().back()->text(), "Dynamics");
}

TEST(MonitorView, TheOutputPickerShowsTheProfileInUseAndWritesTheChosenId) {
    test::MonitorFixture f;
    f.engine->setProfileID(Uuid::random());  // no such profile
    View v(f);
    auto* output = v.find<QComboBox>("output");
    const auto& profiles = f.settings.value().profiles;
    ASSERT_EQ(output->count(), static_cast<int>(profiles.size()));
    EXPECT_EQ(output->currentText(), "Room 9.1.6");
    v.key(output, Qt::Key_Down);
    EXPECT_EQ(f.engine->profileID(), profiles[1].id);
    EXPECT_EQ(output->currentText(), QString::fromStdString(profiles[1].name));
    // A profile added in the settings is offered at once.
    f.useProfile(LayoutID::l51, OutputProfile::Kind::speakers, "jack:Speakers", "Added");
    EXPECT_EQ(output->currentText(), "Added");
}

TEST(MonitorView, VolumeDimMuteBusAndListenWriteTheState) {
    test::MonitorFixture f;
    View v(f);
    auto* slider = v.find<QSlider>("volumeSlider");
    auto* readout = v.find<QLabel>("volume");
    EXPECT_EQ(readout->text(), "+0.0 dB");
    v.key(slider, Qt::Key_Home);
    EXPECT_EQ(f.engine->state().volumeDB, -60.0);
    EXPECT_EQ(readout->text(), "-60.0 dB");
    v.key(slider, Qt::Key_End);
    EXPECT_EQ(f.engine->state().volumeDB, 12.0);
    for (int i = 0; i < 24; ++i) v.key(slider, Qt::Key_Left);
    EXPECT_EQ(f.engine->state().volumeDB, 0.0);
    EXPECT_EQ(readout->text(), "+0.0 dB");
    v.key(slider, Qt::Key_Left);
    EXPECT_EQ(readout->text(), "-0.5 dB");

    auto* dim = v.find<QToolButton>("dim");
    EXPECT_EQ(dim->toolTip(), "\u221220 dB");
    QTest::mouseClick(dim, Qt::LeftButton);
    EXPECT_TRUE(f.engine->state().dim);
    QTest::mouseClick(v.find<QToolButton>("mute"), Qt::LeftButton);
    EXPECT_TRUE(f.engine->state().mute);

    auto* bus = v.find<QComboBox>("bus");
    EXPECT_EQ(bus->currentText(), "9.1.6 (SMPTE)");
    v.key(bus, Qt::Key_End);
    EXPECT_EQ(f.engine->state().source, MonitorSource::stereo);
    auto* listen = v.find<widgets::Segments>("listen");
    EXPECT_EQ(listen->segment(3)->text(), "2.0");
    QTest::mouseClick(listen->segment(4), Qt::LeftButton);
    EXPECT_EQ(f.engine->state().mode, MonitorMode::mono);

    // A change made elsewhere shows without being written back.
    const int writes = f.stateWrites();
    f.edit([](MonitorState& s) {
        s.volumeDB = -7.5;
        s.mode = MonitorMode::l51;
        s.dim = false;
    });
    EXPECT_EQ(readout->text(), "-7.5 dB");
    EXPECT_EQ(slider->value(), -15);
    EXPECT_EQ(listen->current(), 2);
    EXPECT_FALSE(dim->isChecked());
    EXPECT_EQ(f.stateWrites(), writes + 1);
}

TEST(MonitorView, ClearSolosAndMutesAppearsAfterAMapClickAndClearsBothInTwoWrites) {
    test::MonitorFixture f;
    f.useProfile(LayoutID::l51);
    View v(f);
    EXPECT_FALSE(v.shown("clearSolos"));
    SpeakerMap* map = v.view->speakerMap();
    EXPECT_EQ(map->height(), 260);
    QTest::mouseClick(map->button(SpeakerID::C), Qt::LeftButton);
    EXPECT_TRUE(v.shown("clearSolos"));
    QTest::mouseClick(map->button(SpeakerID::Ls), Qt::LeftButton, Qt::AltModifier);
    EXPECT_EQ(f.engine->state().muted, std::set<SpeakerID>{SpeakerID::Ls});
    f.edit([](MonitorState& s) { s.solo.insert(SpeakerID::Ltm); });  // not in this layout
    const int writes = f.stateWrites();
    QTest::mouseClick(v.find<QPushButton>("clearSolos"), Qt::LeftButton);
    EXPECT_TRUE(f.engine->state().solo.empty());
    EXPECT_TRUE(f.engine->state().muted.empty());
    EXPECT_EQ(f.stateWrites(), writes + 2);
    EXPECT_FALSE(v.shown("clearSolos"));
}

TEST(MonitorView, TheFirstInputStepperIsExpertOnlyAndCountsFromOne) {
    test::MonitorFixture f;
    View v(f);
    EXPECT_FALSE(v.shown("sourceOffset"));
    f.setExpert(true);
    ASSERT_TRUE(v.shown("sourceOffset"));
    auto* stepper = v.find<QSpinBox>("sourceOffset");
    EXPECT_EQ(stepper->text(), "Source starts at input 1");
    v.key(stepper, Qt::Key_Up);
    EXPECT_EQ(f.engine->state().sourceOffset, 1);
    for (int i = 0; i < 13; ++i) v.key(stepper, Qt::Key_PageUp);
    EXPECT_EQ(f.engine->state().sourceOffset, 128);
    EXPECT_EQ(stepper->text(), "Source starts at input 129");
    v.key(stepper, Qt::Key_Up);
    EXPECT_EQ(f.engine->state().sourceOffset, 128);
    for (int i = 0; i < 13; ++i) v.key(stepper, Qt::Key_PageDown);
    EXPECT_EQ(f.engine->state().sourceOffset, 0);
    EXPECT_EQ(stepper->text(), "Source starts at input 1");
    f.setExpert(false);
    EXPECT_FALSE(v.shown("sourceOffset"));
}

TEST(MonitorView, TheMessageLineFollowsTheEngine) {
    test::MonitorFixture f;
    View v(f);
    EXPECT_FALSE(v.shown("message"));
    auto* start = v.find<QPushButton>("startStop");
    EXPECT_EQ(start->text(), "Start");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_FALSE(f.engine->message()) << "the start runs after the click returns";
    ASSERT_TRUE(test::waitFor([&] { return f.engine->message().has_value(); }));
    EXPECT_TRUE(v.shown("message"));
    EXPECT_EQ(v.find<QLabel>("message")->text(), *f.engine->message());
    EXPECT_FALSE(f.engine->running());
}

TEST(MonitorView, ShowingTheWindowLeavesTheStoredStateAsItWas) {
    // Values the controls cannot take: heights of -80 dB, centre widths off
    // the sevenths, a trim and a volume off the half decibels, an offset
    // beyond the stepper, a crossover the picker does not offer.
    for (UpmixPreset p : upmixPreset::allCases()) {
        test::MonitorFixture f;
        f.useProfile(LayoutID::l51);
        f.setExpert(true);
        f.edit([&](MonitorState& s) {
            s.source = MonitorSource::stereo;
            s.upmix = {true, p, upmixPreset::params(p)};
            s.volumeDB = -3.3;
            s.heightTrimDB = 1.26;
            s.sourceOffset = 300;
            s.solo = {SpeakerID::Ltm};
        });
        if (p == UpmixPreset::film) f.edit([](MonitorState& s) { s.upmix.params.lfeHz = 100; });
        const MonitorState before = f.engine->state();
        const QByteArray stored = *f.defaults->data(MonitorEngine::stateKey);
        const int writes = f.defaults->changes();
        {
            View v(f, twoDevices());
            v.view->resize(900, 900);
            v.view->grab();
            EXPECT_TRUE(v.view->upmixRow()->findChild<QWidget*>("upmixGrid")->isVisibleTo(v.view.get()));
        }
        EXPECT_EQ(f.engine->state(), before) << upmixPreset::rawValue(p);
        EXPECT_EQ(f.defaults->changes(), writes) << upmixPreset::rawValue(p);
        EXPECT_EQ(*f.defaults->data(MonitorEngine::stateKey), stored);
    }
}

// The add menu offers only what can play on the output (a 9.1.6 profile:
// sixteen channels), one submenu per LV2 class in class order; a search
// lists the matches under their class's heading.
TEST(MonitorView, TheAddMenuOffersWhatFitsTheOutputByClassWithASearch) {
    test::MonitorFixture f;
    f.useProfile(LayoutID::l916);
    const std::vector<Lv2Plugin> components{
        {"urn:a", "Stereo EQ", "Acme", 2, 2, Lv2Category::eq},
        {"urn:b", "Room Convolver", "Acme", 1, 1, Lv2Category::reverb},
        {"urn:c", "Bus Limiter", "Zed", 16, 16, Lv2Category::dynamics},
        {"urn:d", "Mono Compressor", "Zed", 1, 1, Lv2Category::dynamics},
        {"urn:e", "Summer", "Zed", 2, 1, Lv2Category::utility},
    };
    View v(f, {}, components);
    QMenu* menu = v.find<QToolButton>("addInsert")->menu();
    auto entries = [&](QMenu* m) {
        QStringList texts;
        for (QAction* a : m->actions())
            if (!a->isSeparator() || !a->text().isEmpty())
                if (!qobject_cast<QWidgetAction*>(a)) texts << a->text();
        return texts;
    };
    EXPECT_EQ(entries(menu), (QStringList{"Dynamics", "Reverb/Convolution"}));
    QMenu* dynamics = menu->actions()[1]->menu();
    ASSERT_TRUE(dynamics);
    EXPECT_EQ(entries(dynamics), (QStringList{"Zed: Bus Limiter", "Zed: Mono Compressor"}));
    test::savePng(*v.view, "monitor-view-add-menu");

    auto* search = v.find<QLineEdit>("addInsert.search");
    search->setText("CONV");
    EXPECT_EQ(entries(menu), (QStringList{"Reverb/Convolution", "Acme: Room Convolver"}));
    search->setText("zed mono");
    EXPECT_EQ(entries(menu), (QStringList{"Dynamics", "Zed: Mono Compressor"}));
    search->setText("nothing like it");
    ASSERT_EQ(entries(menu), (QStringList{"No plug-in matches"}));
    EXPECT_FALSE(menu->actions().back()->isEnabled());

    // A stereo output offers the stereo plug-ins instead of the 16-channel one.
    search->clear();
    f.useProfile(LayoutID::stereo);
    EXPECT_EQ(entries(menu), (QStringList{"EQ", "Dynamics", "Reverb/Convolution"}));
}

TEST(MonitorView, InsertRowsOpenBypassAndRemove) {
    test::useTestPlugins();
    test::MonitorFixture f;
    installInsertWindows(*f.engine);
    const Lv2Plugin* gain = Lv2Host::find("urn:quillmarsh:test:gain");
    ASSERT_TRUE(gain);
    View v(f, {}, MonitorEngine::effectComponents());
    ASSERT_FALSE(v.view->components().empty());
    QMenu* menu = v.find<QToolButton>("addInsert")->menu();
    v.find<QLineEdit>("addInsert.search")->setText("quillmarsh tests gain");
    QAction* add = nullptr;
    for (QAction* a : menu->actions())
        if (a->text() == QString::fromStdString(gain->manufacturer + ": " + gain->name)) add = a;
    ASSERT_TRUE(add);
    add->trigger();
    ASSERT_TRUE(test::waitFor([&] { return v.view->insertRows().size() == 1; }, &f.queue));
    InsertRow* row = v.view->insertRows()[0];
    const auto insert = f.engine->inserts().at(0);
    EXPECT_EQ(row->findChild<QLabel*>("name")->text(), insert.name);

    QTest::mouseClick(row->findChild<QToolButton*>("open"), Qt::LeftButton);
    EXPECT_TRUE(f.engine->window(insert.id));

    auto* bypass = row->findChild<QToolButton*>("bypass");
    EXPECT_EQ(bypass->text(), "Bypass");
    QTest::mouseClick(bypass, Qt::LeftButton);
    EXPECT_TRUE(insert.unit->bypassed());
    row->repaint();
    EXPECT_EQ(bypass->text(), "Bypassed");
    EXPECT_EQ(v.view->insertRows()[0], row) << "a bypass keeps the row";
    test::savePng(*v.view, "monitor-view-insert-bypassed");

    // Bypassed elsewhere (the plug-in's own window): shown at the next redraw.
    insert.unit->setBypassed(false);
    row->repaint();
    EXPECT_EQ(bypass->text(), "Bypass");

    QTest::mouseClick(row->findChild<QToolButton*>("remove"), Qt::LeftButton);
    EXPECT_TRUE(f.engine->inserts().empty());
    EXPECT_TRUE(v.view->insertRows().empty());
    EXPECT_FALSE(f.engine->window(insert.id));
}

TEST(MonitorView, Pictures) {
    {
        test::MonitorFixture f;
        View v(f, twoDevices());
        v.view->resize(720, 640);
        test::savePng(*v.view, "monitor-view-stopped");
    }
    {
        test::MonitorFixture f;
        f.useProfile(LayoutID::l714);
        f.setExpert(true);
        f.edit([](MonitorState& s) {
            s.source = MonitorSource::l51;
            s.upmix.enabled = true;
            s.upmix.preset = UpmixPreset::film;
            s.upmix.params = upmixPreset::params(UpmixPreset::film);
            s.upmix.params.heightDB = -12;
        });
        View v(f, twoDevices());
        v.view->resize(900, 860);
        test::savePng(*v.view, "monitor-view-expert");
    }
    {
        test::MonitorFixture f;
        f.useProfile(LayoutID::l916, OutputProfile::Kind::headphones, "jack:Phones", "Headphones");
        View v(f, twoDevices());
        f.engine->start();  // no source chosen: a message
        v.view->resize(720, 640);
        test::savePng(*v.view, "monitor-view-headphones-message");
    }
}
