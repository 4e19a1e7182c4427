// The insert windows: one per insert, the generic panel's controls writing
// the unit's values, the window closing with its insert, and pictures of the
// panels (a test plug-in's, and swh-lv2's amplifier, which has no view of
// its own).
#include "ui/monitor/InsertPanel.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/UiTestSupport.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"

using namespace qm;

namespace {

struct Fixture {
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    std::unique_ptr<MonitorEngine> engine;
    Fixture() {
        test::useTestPlugins();
        engine = std::make_unique<MonitorEngine>(
            settings, std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string())), queue);
        installInsertWindows(*engine);
    }
};

std::vector<QWidget*> insertWindows() {
    std::vector<QWidget*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "insertWindow") found.push_back(w);
    return found;
}

}  // namespace

TEST(InsertPanel, OneWindowPerInsertItsSliderSetsTheControlAndRemovalClosesIt) {
    Fixture f;
    f.engine->addInsert(*Lv2Host::find("urn:quillmarsh:test:gain"));
    const auto insert = f.engine->inserts().at(0);
    f.engine->showUI(insert.id);
    f.engine->showUI(insert.id);
    auto windows = insertWindows();
    ASSERT_EQ(windows.size(), 1u);
    QWidget* window = windows[0];
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Quillmarsh Tests: Gain");
    auto* slider = window->findChild<QSlider*>("gain");
    ASSERT_TRUE(slider);
    EXPECT_EQ(slider->value(), 250);  // the default 1 of 0...4
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(insert.unit->control(0), 4.0f);
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(insert.unit->control(0), 0.0f);
    slider->setValue(500);
    EXPECT_EQ(insert.unit->control(0), 2.0f);
    test::savePng(*window, "insert-panel-test-gain");

    // Closed by the user, shown again by the next call.
    window->close();
    f.engine->showUI(insert.id);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(insertWindows().size(), 1u);

    f.engine->removeInsert(insert.id);
    EXPECT_TRUE(insertWindows().empty());
}

TEST(InsertPanel, APluginWithoutControlsHasNoWindow) {
    Fixture f;
    f.engine->addInsert(*Lv2Host::find("urn:quillmarsh:test:nan"));
    f.engine->showUI(f.engine->inserts().at(0).id);
    EXPECT_TRUE(insertWindows().empty());
    EXPECT_FALSE(f.engine->message());
}

TEST(InsertPanel, SlidersMapLinearLogarithmicAndIntegerRanges) {
    Lv2ControlPort linear;
    linear.minimum = -70;
    linear.maximum = 70;
    EXPECT_EQ(InsertPanel::position(linear, 0.0f), 500);
    EXPECT_EQ(InsertPanel::position(linear, 999.0f), 1000);
    EXPECT_FLOAT_EQ(InsertPanel::value(linear, 750), 35.0f);
    Lv2ControlPort log = linear;
    log.minimum = 20;
    log.maximum = 20000;
    log.logarithmic = true;
    EXPECT_EQ(InsertPanel::position(log, 632.455f), 500);  // the geometric middle
    EXPECT_NEAR(InsertPanel::value(log, 1000), 20000.0f, 0.01f);
    Lv2ControlPort steps = linear;
    steps.minimum = 0;
    steps.maximum = 3;
    steps.integer = true;
    EXPECT_EQ(InsertPanel::value(steps, 400), 1.0f);
    EXPECT_EQ(InsertPanel::value(steps, 600), 2.0f);
}

TEST(InsertPanel, TheSwhAmplifiersGenericPanel) {
    Fixture f;
    const Lv2Plugin* amp = Lv2Host::find("http://plugin.org.uk/swh-plugins/amp");
    if (!amp) GTEST_SKIP() << "swh-lv2 is not installed";
    f.engine->addInsert(*amp);
    const auto insert = f.engine->inserts().at(0);
    EXPECT_TRUE(insert.name.endsWith(": Simple amplifier")) << insert.name.toStdString();
    f.engine->showUI(insert.id);
    ASSERT_EQ(insertWindows().size(), 1u);
    auto* slider = insertWindows()[0]->findChild<QSlider*>("gain");
    ASSERT_TRUE(slider);
    EXPECT_EQ(slider->value(), 500);  // 0 dB of -70...+70
    slider->setValue(543);
    EXPECT_NEAR(insert.unit->control(0), 6.02f, 0.001f);
    test::savePng(*insertWindows()[0], "insert-panel-swh-amp");
}

// convoLV2 has no window of its own and one file parameter, its impulse
// response: the panel shows the file chosen and chooses another.
TEST(InsertPanel, AConvolversImpulseResponseIsChosenInThePanel) {
    Fixture f;
    const Lv2Plugin* convo = Lv2Host::find("http://gareus.org/oss/lv2/convoLV2#Mono");
    if (!convo) GTEST_SKIP() << "x42-plugins is not installed";
    test::writeAudioFile(f.dir / "room.wav", {std::vector<float>(480, 0.1f)}, 48000);
    f.engine->addInsert(*convo);
    const auto insert = f.engine->inserts().at(0);
    f.engine->showUI(insert.id);
    ASSERT_EQ(insertWindows().size(), 1u);
    auto* panel = insertWindows()[0]->findChild<InsertPanel*>();
    ASSERT_TRUE(panel);
    auto* name = panel->findChild<QLabel*>("file.0.name");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->text(), "None");
    QString asked;
    panel->setFileChooser([&](const QString& title) {
        asked = title;
        return QString();  // cancelled
    });
    QTest::mouseClick(panel->findChild<QPushButton*>("file.0"), Qt::LeftButton);
    EXPECT_EQ(asked, "Choose impulse");
    EXPECT_EQ(insert.unit->file(0), "");
    panel->setFileChooser([&](const QString&) { return QString::fromStdString((f.dir / "room.wav").string()); });
    QTest::mouseClick(panel->findChild<QPushButton*>("file.0"), Qt::LeftButton);
    EXPECT_EQ(insert.unit->file(0), (f.dir / "room.wav").string());
    EXPECT_EQ(name->text(), "room.wav");
    test::savePng(*insertWindows()[0], "insert-panel-convolver");
    f.engine->removeInsert(insert.id);
}
