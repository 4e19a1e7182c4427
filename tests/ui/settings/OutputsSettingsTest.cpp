#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Locale.h"
#include "ui/UiTestSupport.h"
#include "ui/settings/ProfileEditor.h"
#include "ui/settings/SettingsTestSupport.h"

using namespace qm;
using namespace qm::test;

namespace {

OutputProfile profile(const std::string& name, LayoutID layout = LayoutID::stereo) {
    OutputProfile p;
    p.id = Uuid::random();
    p.name = name;
    ProfileEditor::changeLayout(p, layout);
    return p;
}

bool showsPlaceholder(SettingsFixture& f) {
    return f.find<QStackedWidget>("detail")->currentWidget() == f.find<QLabel>("placeholder");
}

std::vector<QString> listed(SettingsFixture& f) {
    std::vector<QString> out;
    auto* list = f.find<QListWidget>("profiles");
    for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->text());
    return out;
}

}  // namespace

TEST(OutputsSettings, AddAndRemoveNeverEmptyTheList) {
    SettingsFixture f;
    const OutputProfile only = profile("Only");
    f.settings().update([&](AppSettings& s) { s.profiles = {only}; });
    f.window().show();
    auto& outputs = f.window().outputs();
    auto* remove = f.find<QToolButton>("removeProfile");
    EXPECT_FALSE(remove->isEnabled());
    outputs.removeProfile();  // the action itself refuses too
    EXPECT_EQ(f.settings().value().profiles, std::vector<OutputProfile>{only});

    QTest::mouseClick(f.find<QToolButton>("addProfile"), Qt::LeftButton);
    ASSERT_EQ(f.settings().value().profiles.size(), 2u);
    const OutputProfile added = f.settings().value().profiles[1];
    EXPECT_EQ(added.name, "New Output");
    EXPECT_EQ(added.kind, OutputProfile::Kind::speakers);
    EXPECT_EQ(added.deviceUID, std::nullopt);
    EXPECT_EQ(added.layout, LayoutID::stereo);
    EXPECT_EQ(added.outputs, (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(added.trimsDB, (std::vector<double>{0, 0}));
    EXPECT_EQ(added.headphoneLeft, 0);
    EXPECT_EQ(added.headphoneRight, 1);
    EXPECT_NE(added.id, only.id);
    EXPECT_EQ(outputs.selectedID(), added.id);
    EXPECT_EQ(listed(f), (std::vector<QString>{"Only", "New Output"}));
    EXPECT_EQ(f.find<QListWidget>("profiles")->currentRow(), 1);
    EXPECT_EQ(f.find<QLineEdit>("name")->text(), "New Output");
    EXPECT_TRUE(remove->isEnabled());
    EXPECT_EQ(f.stored().profiles, f.settings().value().profiles);

    // Removing the selected profile selects the first one left.
    QTest::mouseClick(remove, Qt::LeftButton);
    EXPECT_EQ(f.settings().value().profiles, std::vector<OutputProfile>{only});
    EXPECT_EQ(outputs.selectedID(), only.id);
    EXPECT_EQ(f.find<QLineEdit>("name")->text(), "Only");
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_EQ(f.stored().profiles, std::vector<OutputProfile>{only});

    // Nothing selected: nothing removed.
    outputs.addProfile();
    outputs.select(std::nullopt);
    outputs.removeProfile();
    EXPECT_EQ(f.settings().value().profiles.size(), 2u);
}

TEST(OutputsSettings, TheFirstShowSelectsTheActiveProfileAndAStaleSelectionShowsThePlaceholder) {
    SettingsFixture f;
    const auto a = profile("Room"), b = profile("Nearfield");
    f.settings().update([&](AppSettings& s) {
        s.profiles = {a, b};
        s.activeProfileID = b.id;
    });
    auto& outputs = f.window().outputs();
    EXPECT_EQ(outputs.selectedID(), std::nullopt);
    f.window().show();
    EXPECT_EQ(outputs.selectedID(), b.id);
    EXPECT_FALSE(showsPlaceholder(f));
    EXPECT_EQ(f.find<QLineEdit>("name")->text(), "Nearfield");
    EXPECT_EQ(outputs.devices(), f.devices);

    // Another tab and back: the selection stays, the devices are read again.
    f.devices.pop_back();
    outputs.select(a.id);
    f.window().tabs().setCurrentIndex(1);
    f.window().tabs().setCurrentIndex(0);
    EXPECT_EQ(outputs.selectedID(), a.id);
    EXPECT_EQ(outputs.devices(), f.devices);
    EXPECT_EQ(SettingsFixture::items(f.find<QComboBox>("device")),
              (std::vector<QString>{"System Output", "system  (6 out)"}));

    // A profile that left the list (removed elsewhere) shows the placeholder.
    f.settings().update([&](AppSettings& s) { s.profiles = {b}; });
    EXPECT_EQ(outputs.selectedID(), a.id);
    EXPECT_TRUE(showsPlaceholder(f));
    EXPECT_EQ(f.find<QListWidget>("profiles")->currentRow(), -1);
    outputs.select(Uuid::random());
    EXPECT_TRUE(showsPlaceholder(f));
    outputs.select(b.id);
    EXPECT_FALSE(showsPlaceholder(f));
}

TEST(ProfileEditor, ALayoutResetsTheMapAndShortListsReadSequential) {
    SettingsFixture f;
    OutputProfile p = profile("Room");
    p.outputs = {4, 5};  // shorter than 5.1
    p.layout = LayoutID::l51;
    p.trimsDB = {-1.5};
    f.settings().update([&](AppSettings& s) { s.profiles = {p}; });
    f.window().show();
    auto output = [&](int i) { return f.find<QComboBox>(QStringLiteral("output:%1").arg(i)); };
    auto trim = [&](int i) { return f.find<TrimSpinBox>(QStringLiteral("trim:%1").arg(i)); };
    EXPECT_EQ(output(0)->currentText(), "Out 5");
    EXPECT_EQ(output(2)->currentText(), "Out 3");  // missing: sequential
    EXPECT_EQ(output(5)->currentText(), "Out 6");
    EXPECT_EQ(trim(0)->text(), "-1.5 dB");
    EXPECT_EQ(trim(3)->text(), "+0.0 dB");

    // The first change fills the list up to the edited speaker.
    SettingsFixture::pick(output(3), 0);  // "Off"
    EXPECT_EQ(f.settings().value().profiles[0].outputs, (std::vector<int64_t>{4, 5, 2, -1}));
    EXPECT_EQ(f.stored().profiles[0].outputs, (std::vector<int64_t>{4, 5, 2, -1}));
    EXPECT_EQ(output(3)->currentText(), "Off");
    trim(2)->setValue(-6);
    EXPECT_EQ(f.settings().value().profiles[0].trimsDB, (std::vector<double>{-1.5, 0, -6}));

    // "Sequential from 1" keeps the trims.
    QTest::mouseClick(f.find<QPushButton>("sequential"), Qt::LeftButton);
    EXPECT_EQ(f.settings().value().profiles[0].outputs, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(f.settings().value().profiles[0].trimsDB, (std::vector<double>{-1.5, 0, -6}));

    // 7.1.4: twelve speakers on Out 1 to Out 12, twelve 0 dB trims.
    SettingsFixture::pick(f.find<QComboBox>("layout"), 5);
    const OutputProfile now = f.settings().value().profiles[0];
    EXPECT_EQ(now.layout, LayoutID::l714);
    EXPECT_EQ(now.outputs, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(now.trimsDB, std::vector<double>(12, 0.0));
    EXPECT_EQ(f.stored().profiles[0], now);
    for (int i = 0; i < 12; ++i) {
        ASSERT_NE(output(i), nullptr) << i;
        EXPECT_EQ(output(i)->currentText(), QStringLiteral("Out %1").arg(i + 1));
        EXPECT_EQ(trim(i)->text(), "+0.0 dB");
    }
    EXPECT_EQ(output(12), nullptr);
    EXPECT_EQ(f.find<QLabel>("speaker:4")->text(), "Lss");  // 7.1.4 has a rear pair
    EXPECT_EQ(f.find<QLabel>("speaker:6")->text(), "Lrs");
}

TEST(ProfileEditor, EachChannelSaysWhereTheDevicePlaysIt) {
    using S = SpeakerID;
    SettingsFixture f;
    // A 7.1 sink whose system names its positions, with one it does not.
    AudioOutputDevice sink{1, "pw:room", "PipeWire: Room", 9};
    sink.speakers = {S::L, S::R, S::C, S::LFE, S::Lrs, S::Rrs, S::Ls, S::Rs, std::nullopt};
    f.devices = {sink, {2, "jack:system", "JACK: system", 6}};
    OutputProfile p = profile("Room");
    p.deviceUID = "pw:room";
    p.layout = LayoutID::l51;
    f.settings().update([&](AppSettings& s) { s.profiles = {p}; });
    f.window().show();
    auto* picker = f.find<QComboBox>("output:0");
    ASSERT_EQ(picker->count(), 1 + 9);
    const auto tip = [&](int item) { return picker->itemData(item, Qt::ToolTipRole).toString(); };
    EXPECT_EQ(picker->itemText(1), "Out 1") << "the items read as ever";
    EXPECT_EQ(tip(0), "");
    EXPECT_EQ(tip(1), "Plays at L on this device");
    EXPECT_EQ(tip(7), "Plays at Lss on this device") << "beside a rear pair the surrounds are the sides";
    EXPECT_EQ(tip(5), "Plays at Lrs on this device");
    EXPECT_EQ(tip(9), "") << "a position with no speaker of ours";
    // The profile was never routed by hand: each speaker plays at its
    // position, and its row says so.
    const auto plays = [&](int i) { return f.find<QLabel>(QStringLiteral("plays:%1").arg(i))->text(); };
    EXPECT_EQ(plays(0), "Out 1 (L)");
    EXPECT_EQ(plays(4), "Out 7 (Lss)") << "the 5.1 surrounds are the sink's sides";
    EXPECT_EQ(f.find<QComboBox>("output:4")->currentText(), "Out 7");
    // A device whose system names no positions says nothing.
    f.settings().update([&](AppSettings& s) { s.profiles[0].deviceUID = "jack:system"; });
    ASSERT_EQ(picker->count(), 1 + 6);
    for (int item = 0; item < picker->count(); ++item) EXPECT_EQ(tip(item), "") << item;
    EXPECT_EQ(plays(4), "Out 5") << "by number";
}

TEST(ProfileEditor, ChannelPickersReachTheStoredChannelAndTheDevice) {
    SettingsFixture f;
    f.devices = {{1, "jack:system", "system", 6}, {2, "jack:pair", "pair", 2}};
    OutputProfile p = profile("Phones");
    p.kind = OutputProfile::Kind::headphones;
    p.deviceUID = "jack:pair";
    p.headphoneLeft = 20;
    p.headphoneRight = 1;
    f.settings().update([&](AppSettings& s) { s.profiles = {p}; });
    f.window().show();
    auto* left = f.find<QComboBox>("headphoneLeft");
    auto* right = f.find<QComboBox>("headphoneRight");
    EXPECT_TRUE(left->isVisible());
    EXPECT_FALSE(f.find<QWidget>("speakerMap")->isVisible());
    EXPECT_EQ(f.find<QComboBox>("device")->currentText(), "pair  (2 out)");
    // Channel 20 on a 2-channel device: "Out 21" among 21 channel items.
    EXPECT_EQ(left->currentText(), "Out 21");
    EXPECT_EQ(left->count(), 1 + 21);
    EXPECT_EQ(right->count(), 1 + 2);
    EXPECT_EQ(left->itemText(0), "Off");
    // Choosing a lower channel shrinks the list to the device's.
    SettingsFixture::pick(left, 2);
    EXPECT_EQ(f.settings().value().profiles[0].headphoneLeft, 1);
    EXPECT_EQ(left->count(), 1 + 2);
    SettingsFixture::pick(right, 0);
    EXPECT_EQ(f.stored().profiles[0].headphoneRight, -1);

    // A device that is gone, and the system output: the default device's count.
    f.settings().update([&](AppSettings& s) { s.profiles[0].deviceUID = "jack:gone"; });
    EXPECT_EQ(f.find<QComboBox>("device")->currentIndex(), -1);
    EXPECT_EQ(left->count(), 1 + 6);
    SettingsFixture::pick(f.find<QComboBox>("device"), 0);
    EXPECT_EQ(f.settings().value().profiles[0].deviceUID, std::nullopt);
    EXPECT_EQ(right->count(), 1 + 6);
    // The type switches the controls and keeps the map.
    SettingsFixture::pick(f.find<QComboBox>("kind"), 0);
    EXPECT_EQ(f.settings().value().profiles[0].kind, OutputProfile::Kind::speakers);
    EXPECT_EQ(f.settings().value().profiles[0].outputs, p.outputs);
    EXPECT_FALSE(left->isVisible());
    EXPECT_TRUE(f.find<QWidget>("speakerMap")->isVisible());

    EXPECT_EQ(ProfileEditor::channelItems(0, -1), 2);
    // A channel no stream can have (a hand-edited file) leaves a usable
    // list, nothing chosen, and the stored value alone.
    EXPECT_EQ(ProfileEditor::channelItems(2, 1LL << 40), 256);
    f.settings().update([&](AppSettings& s) { s.profiles[0].headphoneRight = 1LL << 40; });
    EXPECT_EQ(right->count(), 1 + 256);
    EXPECT_EQ(right->currentIndex(), -1);
    EXPECT_EQ(f.stored().profiles[0].headphoneRight, 1LL << 40);
    EXPECT_EQ(ProfileEditor::channelCount(p, {}), 2);            // nothing listed: the null output's two
}

TEST(ProfileEditor, TrimsStopAtTheirLimitsAndReadTheSameInEveryLocale) {
    DecimalCommaLocale comma;
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    {
        SettingsFixture f;
        OutputProfile p = profile("Room");
        p.trimsDB = {11.5, -23.5};
        f.settings().update([&](AppSettings& s) { s.profiles = {p}; });
        f.window().show();
        auto* up = f.find<TrimSpinBox>("trim:0");
        auto* down = f.find<TrimSpinBox>("trim:1");
        EXPECT_EQ(up->text(), "+11.5 dB");
        up->stepUp();
        up->stepUp();
        EXPECT_EQ(up->text(), "+12.0 dB");
        down->stepDown();
        down->stepDown();
        EXPECT_EQ(down->text(), "-24.0 dB");
        EXPECT_EQ(f.stored().profiles[0].trimsDB, (std::vector<double>{12.0, -24.0}));
        // Typed, with a point or a comma.
        up->selectAll();
        QTest::keyClicks(up, "-3.5");
        QTest::keyClick(up, Qt::Key_Return);
        EXPECT_EQ(f.settings().value().profiles[0].trimsDB[0], -3.5);
        EXPECT_EQ(up->text(), "-3.5 dB");
        down->selectAll();
        QTest::keyClicks(down, "2,5");
        QTest::keyClick(down, Qt::Key_Return);
        EXPECT_EQ(f.settings().value().profiles[0].trimsDB[1], 2.5);
        savePng(f.window(), "settings-trims-de");
    }
    EXPECT_EQ(TrimSpinBox::format(0.0), "+0.0 dB");
    EXPECT_EQ(TrimSpinBox::format(-0.0), "+0.0 dB");
    EXPECT_EQ(TrimSpinBox::format(-3.5), "-3.5 dB");
    QLocale::setDefault(previous);
}

TEST(ProfileEditor, TypingANameWritesTheDocumentOnEveryKeystroke) {
    SettingsFixture f;
    f.settings().update([&](AppSettings& s) { s.profiles = {profile("")}; });
    f.window().show();
    auto* name = f.find<QLineEdit>("name");
    name->setFocus();
    const QString typed = "Desk Ü";
    for (int i = 0; i < typed.size(); ++i) {
        QTest::keyClicks(name, typed.mid(i, 1));
        const std::string expected = typed.left(i + 1).toStdString();
        EXPECT_EQ(f.stored().profiles[0].name, expected);
        EXPECT_EQ(listed(f)[0], typed.left(i + 1));
        EXPECT_EQ(name->cursorPosition(), i + 1);  // the list's update never moves the cursor
    }
    QTest::keyClick(name, Qt::Key_Backspace);
    EXPECT_EQ(f.stored().profiles[0].name, "Desk ");
}

TEST(SettingsView, SpeakerAndHeadphonePictures) {
    SettingsFixture f;
    OutputProfile room = profile("Room 9.1.6", LayoutID::l916);
    room.deviceUID = "jack:Desk";
    room.trimsDB[3] = -3.5;
    OutputProfile phones = profile("Headphones");
    phones.kind = OutputProfile::Kind::headphones;
    f.settings().update([&](AppSettings& s) {
        s.profiles = {room, phones};
        s.activeProfileID = room.id;
    });
    SettingsView& w = f.window();
    EXPECT_EQ(w.tabs().size(), QSize(SettingsView::kWidth, SettingsView::kHeight));
    EXPECT_EQ(w.tabs().tabText(0), "Outputs");
    EXPECT_EQ(w.tabs().tabText(1), "Audition");
    EXPECT_EQ(w.tabs().tabText(2), "Library");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(w.tabs().tabIcon(i).isNull()) << i;
    w.show();
    EXPECT_EQ(f.find<QLabel>("speaker:4")->text(), "Lss");
    EXPECT_EQ(f.find<QLabel>("speaker:5")->text(), "Rss");
    EXPECT_EQ(f.find<QLabel>("speaker:8")->text(), "Lw");
    EXPECT_EQ(f.find<QComboBox>("output:15")->currentText(), "Out 16");
    EXPECT_EQ(f.find<QComboBox>("output:15")->count(), 1 + 28);
    savePng(w, "settings-outputs-speakers");
    w.outputs().select(phones.id);
    savePng(w, "settings-outputs-headphones");
}

TEST(SettingsView, TheDeskDeviceThroughJack) {
    if (!sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    JackTestDevice desk("Desk", 28, 16);
    ASSERT_TRUE(desk.ok());
    LibraryFixture lib;
    auto library = lib.model();
    RecordingWorkspace workspace;
    lib.settings->update([&](AppSettings& s) { s.profiles = {profile("Stage")}; });
    SettingsView w(*lib.settings, *library, workspace, [] {});  // the real device list
    w.show();
    auto* device = w.findChild<QComboBox*>("device");
    const auto shown = SettingsFixture::items(device);
    const auto at = std::find(shown.begin(), shown.end(), QStringLiteral("JACK: Desk  (28 out)"));
    ASSERT_NE(at, shown.end()) << device->count();
    SettingsFixture::pick(device, static_cast<int>(at - shown.begin()));
    EXPECT_EQ(lib.settings->value().profiles[0].deviceUID, "jack:Desk");
    EXPECT_EQ(w.findChild<QComboBox*>("output:0")->count(), 1 + 28);
    EXPECT_EQ(w.findChild<QComboBox*>("output:1")->itemText(28), "Out 28");
}
