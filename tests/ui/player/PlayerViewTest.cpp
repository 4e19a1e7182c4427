// The player view: what it shows for each state of the player and the
// settings, and what its controls do to them (clicks and menus as a user
// makes them, results read from the models).
#include "ui/player/PlayerView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <cmath>

#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"
#include "ui/UiTestSupport.h"
#include "ui/player/TimeLabel.h"
#include "ui/shell/HUDPanel.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/FileDrag.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

using namespace qm;

namespace {

constexpr double kRate = 48000;

struct Fixture {
    test::Player player;
    test::EditorFixture editor;
    std::vector<QString> opened;
    std::unique_ptr<QWidget> host;
    PlayerView* view = nullptr;

    explicit Fixture(WaveformView::Style style = WaveformView::Style::window) {
        auto v = std::make_unique<PlayerView>(style, player.model, player.settings, &editor.model,
                                              [this](const QString& id) { opened.push_back(id); });
        view = v.get();
        if (style == WaveformView::Style::hud) {
            auto panel = std::make_unique<HUDPanel>();
            panel->setContent(v.release());
            host = std::move(panel);
        } else {
            host = std::move(v);
            host->resize(760, 200);
        }
        host->show();
        QApplication::processEvents();
    }

    std::filesystem::path write(const std::string& name, int channels, const test::AudioFileOptions& options = {},
                                double seconds = 1) {
        // Noise bursts, a different level on each channel.
        const auto frames = static_cast<size_t>(seconds * kRate);
        test::Planar planar(static_cast<size_t>(channels), std::vector<float>(frames));
        uint32_t noise = 7;
        for (size_t c = 0; c < planar.size(); ++c)
            for (size_t i = 0; i < frames; ++i) {
                noise = noise * 1664525u + 1013904223u;
                const double burst = std::exp(-static_cast<double>((i + c * 1500) % 12000) / 2500.0);
                const double level = 0.7 / (1.0 + 0.5 * static_cast<double>(c));
                planar[c][i] = static_cast<float>(level * burst * (static_cast<double>(noise >> 8) / 8388608.0 - 1));
            }
        const auto file = player.dir / name;
        test::writeAudioFile(file, planar, kRate, options);
        return file;
    }
    void load(const std::filesystem::path& file) {
        ASSERT_TRUE(player.load(file));
        QApplication::processEvents();
    }
    void setExpert(bool on) {
        player.settings.update([on](AppSettings& s) { s.expertMode = on; });
    }

    template <class W = QWidget>
    W* find(const char* name) const {
        auto* w = view->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    bool shown(const char* name) const { return !find(name)->isHidden(); }
    QToolButton* button(const char* name) const { return find<QToolButton>(name); }
    QString text(const char* name) const {
        QWidget* w = find(name);
        if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
        if (auto* e = qobject_cast<widgets::ElidedLabel*>(w)) return e->text();
        if (auto* b = qobject_cast<QToolButton*>(w)) return b->text();
        return {};
    }

    // Opens the button's menu and clicks the item of that text; false
    // when there is none.
    bool choose(const char* menuName, const QString& item) {
        QToolButton* b = button(menuName);
        QMenu* menu = b->menu();
        menu->popup(b->mapToGlobal(QPoint(0, b->height())));
        if (!test::waitFor([&] { return menu->isVisible(); })) return false;
        for (QAction* a : menu->actions()) {
            if (a->text() != item) continue;
            QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(a).center());
            QApplication::processEvents();
            return true;
        }
        menu->hide();
        return false;
    }
    QStringList items(const char* menuName) {
        QMenu* menu = button(menuName)->menu();
        emit menu->aboutToShow();
        QStringList out;
        for (QAction* a : menu->actions())
            if (!a->isSeparator()) out << a->text() + (a->isChecked() ? QStringLiteral(" *") : QString());
        return out;
    }
    void click(const char* name) {
        QTest::mouseClick(button(name), Qt::LeftButton);
        QApplication::processEvents();
    }
};

}  // namespace

TEST(PlayerView, BeforeAnyFile) {
    Fixture f;
    EXPECT_TRUE(f.shown("status"));
    EXPECT_EQ(f.text("status"), "Select an audio file");
    for (const char* absent : {"fileIcon", "name", "facts", "format", "listen", "upmix", "time", "sel",
                               "clearSelection", "bext", "output", "message", "dragAs", "level", "rotation"})
        EXPECT_FALSE(f.shown(absent)) << absent;
    for (const char* present : {"profile", "editor", "loop", "autoPlay", "play"})
        EXPECT_TRUE(f.shown(present)) << present;
    EXPECT_FALSE(f.button("editor")->isEnabled());
    EXPECT_FALSE(f.button("play")->isEnabled());
    test::savePng(*f.host, "player-window-empty");

    f.player.model.setMessage("Can't read nothing.wav");
    EXPECT_EQ(f.text("status"), "Can't read nothing.wav") << "without a file the header says it";
    EXPECT_FALSE(f.shown("message"));
    f.setExpert(true);
    EXPECT_TRUE(f.shown("level"));
    EXPECT_EQ(f.text("profile"), "Room 9.1.6");
}

TEST(PlayerView, MenusShownByFileAndExpertMode) {
    Fixture f;
    const auto stereo = f.write("stereo.wav", 2);
    const auto mono = f.write("mono.wav", 1);
    const auto surround = f.write("surround.wav", 6, {.channelMask = 0x3F, .bextDescription = "Door slam, heavy"});
    const auto foa = f.write("field.amb", 4, {.kind = test::FileKind::amb});
    struct Case {
        std::filesystem::path file;
        bool expert;
        bool format, listen, rotation;
    };
    const Case cases[] = {
        {stereo, false, false, false, false}, {stereo, true, true, true, false},
        {mono, false, false, false, false},   {mono, true, true, false, false},
        {surround, false, true, false, false}, {foa, false, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file.filename() << (c.expert ? " expert" : ""));
        f.setExpert(c.expert);
        f.load(c.file);
        EXPECT_EQ(f.shown("format"), c.format);
        EXPECT_EQ(f.shown("listen"), c.listen);
        EXPECT_EQ(f.shown("rotation"), c.rotation);
        EXPECT_EQ(f.shown("level"), c.expert);
        EXPECT_TRUE(f.shown("facts"));
        EXPECT_TRUE(f.shown("time"));
        EXPECT_FALSE(f.shown("status"));
        EXPECT_TRUE(f.button("play")->isEnabled());
        EXPECT_TRUE(f.button("editor")->isEnabled());
        EXPECT_EQ(f.text("name"), QString::fromStdString(c.file.filename().string()));
        EXPECT_TRUE(f.text("facts").endsWith(" · 0:01.000")) << f.text("facts").toStdString();
        EXPECT_EQ(f.shown("bext"), c.file == surround);
        // One drag form (plain mono or stereo without upmix): no picker.
        EXPECT_EQ(f.shown("dragAs"), f.player.model.dragOptions().size() >= 2);
        EXPECT_EQ(f.shown("dragAs"), c.file == surround || c.file == foa);
    }
    EXPECT_EQ(f.text("format"), "FuMa 1st order") << "a B-format file";

    AudioFileInfo rateless = *f.player.model.info();
    rateless.sampleRate = 0;
    EXPECT_TRUE(PlayerView::factsText(rateless).endsWith(" · 0:00.000")) << "no rate, no length";
}

TEST(PlayerView, TheListenMenuGoesWhileAnUpmixApplies) {
    Fixture f;
    f.setExpert(true);
    f.load(f.write("stereo.wav", 2));
    ASSERT_TRUE(f.player.model.canUpmix()) << "stereo onto the 9.1.6 room";
    EXPECT_TRUE(f.shown("listen"));
    EXPECT_TRUE(f.shown("upmix"));
    EXPECT_EQ(f.text("upmix"), "Upmix");

    // The button itself toggles the upmix; the menu's arrow is apart.
    f.click("upmix");
    EXPECT_TRUE(f.player.model.upmix().enabled);
    EXPECT_FALSE(f.shown("listen"));
    EXPECT_EQ(f.text("upmix"), "Music");
    EXPECT_TRUE(f.shown("dragAs")) << "an upmix adds drag forms";
    f.click("upmix");
    EXPECT_FALSE(f.player.model.upmix().enabled);
    EXPECT_TRUE(f.shown("listen"));

    ASSERT_TRUE(f.choose("listen", "M/S decode"));
    EXPECT_EQ(f.player.model.listen(), ListenMode::midSide);
    EXPECT_EQ(f.text("listen"), "M/S decode");
}

TEST(PlayerView, UpmixPresetsAndTheirSwitch) {
    Fixture f;
    f.load(f.write("stereo.wav", 2));
    // A hand-tuned, stored Film preset that is switched off.
    UpmixSettings tuned;
    tuned.preset = UpmixPreset::film;
    tuned.params = upmixPreset::params(UpmixPreset::film);
    tuned.params.rearDB = -9;
    f.player.model.setUpmix(tuned);
    EXPECT_EQ(f.items("upmix"),
              (QStringList{"Music", "Film", "Game", "Hall", "Speech", "Broadcast", "Turn Upmix On"}))
        << "no preset marked while off";

    // Choosing the stored preset while off turns it on, with its own parameters.
    ASSERT_TRUE(f.choose("upmix", "Film"));
    EXPECT_TRUE(f.player.model.upmix().enabled);
    EXPECT_EQ(f.player.model.upmix().preset, UpmixPreset::film);
    EXPECT_EQ(f.player.model.upmix().params, upmixPreset::params(UpmixPreset::film));
    EXPECT_EQ(f.player.settings.value().upmix, f.player.model.upmix()) << "persisted by the player";
    EXPECT_TRUE(f.items("upmix").contains("Film *"));
    EXPECT_TRUE(f.button("upmix")->toolTip().startsWith("Dialogue held in the centre"));

    ASSERT_TRUE(f.choose("upmix", "Hall"));
    const UpmixSettings hall = f.player.model.upmix();
    ASSERT_TRUE(f.choose("upmix", "Turn Upmix Off"));
    EXPECT_FALSE(f.player.model.upmix().enabled);
    EXPECT_EQ(f.player.model.upmix().preset, UpmixPreset::hall);
    EXPECT_EQ(f.player.model.upmix().params, hall.params) << "off keeps the preset and parameters";
    EXPECT_EQ(f.button("upmix")->toolTip(), "Upmix: spread this file over every speaker");
}

TEST(PlayerView, FormatAndProfileMenus) {
    Fixture f;
    f.load(f.write("quad.wav", 4, {.channelMask = 0x33}));
    EXPECT_TRUE(f.shown("format"));
    const QString detected = f.text("format");
    const QStringList items = f.items("format");
    ASSERT_GE(items.size(), 3);
    EXPECT_EQ(items[0], "Auto (" + detected + ")");
    EXPECT_TRUE(items.contains(detected + " *"));

    // An Ambisonics override brings the rotation row; Auto clears it.
    ASSERT_TRUE(f.choose("format", "AmbiX 1st order"));
    ASSERT_TRUE(f.player.model.formatOverride());
    EXPECT_TRUE(f.player.model.formatOverride()->isAmbisonic());
    EXPECT_TRUE(f.shown("rotation"));
    EXPECT_EQ(f.text("format"), "AmbiX 1st order");
    ASSERT_TRUE(f.choose("format", "Auto (" + detected + ")"));
    EXPECT_FALSE(f.player.model.formatOverride());
    EXPECT_EQ(f.text("format"), detected);
    EXPECT_FALSE(f.shown("rotation"));

    // Profiles in stored order, the active one marked; a choice selects it.
    EXPECT_EQ(f.items("profile"), (QStringList{"Room 9.1.6 *", "Nearfield", "Headphones"}));
    ASSERT_TRUE(f.choose("profile", "Headphones"));
    EXPECT_EQ(f.player.settings.activeProfile().name, "Headphones");
    EXPECT_EQ(f.text("profile"), "Headphones");
}

TEST(PlayerView, TransportSwitchesAndSelection) {
    Fixture f;
    const auto file = f.write("stereo.wav", 2, {}, 3);
    f.load(file);

    EXPECT_FALSE(f.shown("output")) << "no output opened yet";
    f.click("play");
    ASSERT_TRUE(f.player.waitPlaying()) << "plays on the silent output";
    // The footer names the output the sound goes to, and says so when
    // nothing is heard.
    EXPECT_TRUE(f.shown("output"));
    EXPECT_EQ(f.text("output"), "Silent output (no sound device)");
    test::savePng(*f.host, "player-window-output");
    f.click("play");
    EXPECT_FALSE(f.player.model.isPlaying());
    EXPECT_EQ(f.text("output"), "Silent output (no sound device)") << "it stays open while stopped";

    f.click("loop");
    EXPECT_TRUE(f.player.model.loop());
    EXPECT_TRUE(f.button("loop")->isChecked());
    f.player.model.setLoop(false);
    EXPECT_FALSE(f.button("loop")->isChecked()) << "the switch follows the model";

    ASSERT_TRUE(f.player.settings.value().autoPlay);
    f.click("autoPlay");
    EXPECT_FALSE(f.player.settings.value().autoPlay);
    SettingsStore reread{std::make_shared<UserDefaults>(QString::fromStdString((f.player.dir / "settings.ini").string()))};
    EXPECT_FALSE(reread.value().autoPlay) << "persisted";

    f.player.model.select(FrameRange{48000, 96000});
    EXPECT_TRUE(f.shown("sel"));
    EXPECT_EQ(f.text("sel"), "Sel 0:01.000");
    f.player.model.stopPlayback();
    f.click("clearSelection");
    EXPECT_FALSE(f.player.model.selection());
    EXPECT_FALSE(f.shown("sel"));
    EXPECT_FALSE(f.shown("clearSelection"));

    f.player.model.playhead()->setFrame(72000);
    EXPECT_EQ(f.text("time"), "0:01.500 / 0:03.000");
    EXPECT_EQ(TimeLabel::text(100, 0, -1), "1:40.000 / 0:00.000") << "a rate under 1 counts as 1";
}

TEST(PlayerView, ExpertLevel) {
    Fixture f;
    f.setExpert(true);
    f.load(f.write("stereo.wav", 2));
    auto* slider = f.find<QSlider>("levelSlider");
    EXPECT_EQ(slider->value(), 0);
    slider->setValue(-125);
    EXPECT_DOUBLE_EQ(f.player.model.volumeDB(), -12.5);
    EXPECT_EQ(slider->toolTip(), "Audition level -12.5 dB");
    f.player.model.setVolumeDB(6);
    EXPECT_EQ(slider->value(), 60);
    test::savePng(*f.host, "player-window-expert");
}

TEST(PlayerView, RotationRow) {
    Fixture f;
    f.load(f.write("field.amb", 4, {.kind = test::FileKind::amb}));
    ASSERT_TRUE(f.shown("rotation"));
    EXPECT_FALSE(f.button("reset")->isEnabled()) << "all three at zero";
    int writes = 0;
    QObject::connect(&f.player.model, &PlayerModel::rotationChanged, [&] { ++writes; });

    f.find<QSlider>("yaw")->setValue(900);
    f.find<QSlider>("pitch")->setValue(-450);
    EXPECT_EQ(f.player.model.rotation(), (Rotation{90, -45, 0}));
    EXPECT_EQ(f.text("yawValue").trimmed(), "+90°");
    EXPECT_EQ(f.text("pitchValue").trimmed(), "-45°");
    EXPECT_EQ(f.text("rollValue").trimmed(), "+0°");
    EXPECT_EQ(f.text("rollValue"), "  +0°") << "four characters before the degree sign";
    EXPECT_TRUE(f.button("reset")->isEnabled());
    EXPECT_EQ(f.find<QSlider>("roll")->maximum(), 1800) << "roll spans yaw's range";
    EXPECT_EQ(f.find<QSlider>("pitch")->minimum(), -900);
    // Each title right before its slider, each value right after it, and
    // the next title only after that: a label beside the wrong slider would
    // read as that slider's.
    for (int width : {600, 760, 1400}) {
        f.host->resize(width, f.host->height());
        QApplication::processEvents();
        const auto box = [&](QWidget* w) { return QRect(w->mapTo(f.host.get(), QPoint(0, 0)), w->size()); };
        int lastRight = -1;
        for (const char* axis : {"yaw", "pitch", "roll"}) {
            auto* slider = f.find<QSlider>(axis);
            auto* value = f.find<QLabel>((std::string(axis) + "Value").c_str());
            QLabel* title = nullptr;
            for (QLabel* l : slider->parentWidget()->findChildren<QLabel*>())
                if (l != value) title = l;
            ASSERT_TRUE(title) << axis;
            const QRect t = box(title), s = box(slider), v = box(value);
            EXPECT_GT(t.left(), lastRight) << axis << " at " << width;
            EXPECT_LE(s.left() - t.right(), 6) << axis << " at " << width;
            EXPECT_LE(v.left() - s.right(), 6) << axis << " at " << width;
            lastRight = v.right();
        }
    }
    test::savePng(*f.host, "player-window-foa");

    writes = 0;
    f.click("reset");
    EXPECT_EQ(f.player.model.rotation(), Rotation{});
    EXPECT_EQ(writes, 1) << "one write";
    EXPECT_FALSE(f.button("reset")->isEnabled());
    EXPECT_EQ(f.find<QSlider>("yaw")->value(), 0);
    EXPECT_EQ(writes, 1) << "showing the value wrote nothing back";
}

TEST(PlayerView, TheEditorButtonOpensTheFileInTheEditor) {
    Fixture f;
    const auto file = f.write("stereo.wav", 2);
    f.load(file);
    f.click("editor");
    EXPECT_EQ(f.opened, std::vector<QString>{"editor"});
    f.editor.settle();
    ASSERT_TRUE(f.editor.model.doc());
    EXPECT_EQ(f.editor.model.doc()->url, file);
}

TEST(PlayerView, DragsAndFailures) {
    Fixture f;
    std::vector<widgets::FileDrag> drags;
    widgets::fileDragHook() = [&](const widgets::FileDrag& d) { drags.push_back(d); };
    const auto file = f.write("surround.wav", 6, {.channelMask = 0x3F});
    f.load(file);
    ASSERT_TRUE(f.choose("dragAsMenu", "Stereo fold-down"));
    EXPECT_EQ(f.text("dragAsMenu"), "Stereo fold-down");

    // The icon drags the file in the chosen form.
    auto* icon = f.find("fileIcon");
    QTest::mousePress(icon, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QMouseEvent move(QEvent::MouseMove, QPointF(16, 16), icon->mapToGlobal(QPointF(16, 16)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(icon, &move);
    QTest::mouseRelease(icon, Qt::LeftButton, Qt::NoModifier, QPoint(16, 16));
    ASSERT_EQ(drags.size(), 1u);
    EXPECT_NE(drags[0].urls.at(0).toLocalFile().toStdString(), file.string()) << "a rendered pull";

    // A render that fails: the icon still drags the file itself, the strip
    // drags nothing, and the footer says why in orange.
    f.player.settings.update([&](AppSettings& s) { s.pullsFolder = (file / "not-a-folder").string(); });
    QTest::mousePress(icon, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QApplication::sendEvent(icon, &move);
    QTest::mouseRelease(icon, Qt::LeftButton, Qt::NoModifier, QPoint(16, 16));
    ASSERT_EQ(drags.size(), 2u);
    EXPECT_EQ(drags[1].urls.at(0).toLocalFile().toStdString(), file.string());

    WaveformView& strip = f.view->waveform();
    QTest::mousePress(&strip, Qt::LeftButton, Qt::ControlModifier, QPoint(20, 20));
    QTest::mouseMove(&strip, QPoint(40, 20));
    QMouseEvent drag(QEvent::MouseMove, QPointF(40, 20), strip.mapToGlobal(QPointF(40, 20)), Qt::NoButton,
                     Qt::LeftButton, Qt::ControlModifier);
    QApplication::sendEvent(&strip, &drag);
    QTest::mouseRelease(&strip, Qt::LeftButton, Qt::ControlModifier, QPoint(40, 20));
    EXPECT_EQ(drags.size(), 2u) << "no drag without a file";
    ASSERT_TRUE(f.player.model.message());
    EXPECT_TRUE(f.shown("message"));
    EXPECT_EQ(f.text("message"), QString::fromStdString(*f.player.model.message()));
    EXPECT_EQ(f.find("message")->palette().color(QPalette::WindowText), style::warning(f.host->palette()));
    EXPECT_FALSE(f.shown("status"));
    f.player.model.select(FrameRange{24000, 72000});
    f.player.model.stopPlayback();
    test::savePng(*f.host, "player-window-failure");
    widgets::fileDragHook() = nullptr;
}

TEST(PlayerView, Pictures) {
    for (auto style : {WaveformView::Style::hud, WaveformView::Style::window}) {
        const QString look = style == WaveformView::Style::hud ? "hud" : "window";
        Fixture f(style);
        test::savePng(*f.host, "player-" + look + "-empty");
        f.load(f.write("surround.wav", 6, {.channelMask = 0x3F, .bextDescription = "Door slam, heavy, wood"}, 4));
        ASSERT_TRUE(f.player.wait([&] {
            const auto& d = f.player.model.waveform();
            return d && d->loadedBuckets == d->bucketCount;
        }));
        f.player.model.select(FrameRange{48000, 120000});
        f.player.model.stopPlayback();
        f.player.model.playhead()->setFrame(60000);
        test::savePng(*f.host, "player-" + look + "-5.1-selection");
        f.load(f.write("field.amb", 4, {.kind = test::FileKind::amb}, 4));
        f.player.model.setRotation(Rotation{90, -45, 0});
        if (style == WaveformView::Style::hud) f.host->resize(720, 204);
        test::savePng(*f.host, "player-" + look + "-foa");
        f.setExpert(true);
        test::savePng(*f.host, "player-" + look + "-expert");
    }
}

TEST(PlayerView, EverySymbolHasAShapeAndAMissingOneSaysItsName) {
    for (const char* name : {"scissors", "play.square.stack", "speaker.wave.2", "speaker.wave.3",
                             "speaker.wave.3.fill", "xmark.circle.fill", "checkmark", "headphones", "hifispeaker.2"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(icons::hasOwnSymbol(name));
        EXPECT_FALSE(icons::symbol(name).isNull());
    }
    std::unique_ptr<QToolButton> missing(widgets::symbolButton("no.such.symbol", "", widgets::ControlSize::small, nullptr));
    EXPECT_EQ(missing->text(), "no.such.symbol");
    EXPECT_EQ(missing->toolButtonStyle(), Qt::ToolButtonTextOnly);
}
