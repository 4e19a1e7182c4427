// The monitor engine's own rules, without a sound server: what it restores
// and writes, the profile it falls back to, and what start() says without a
// source.
#include "app/monitor/MonitorEngine.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/CountingDefaults.h"
#include "support/PipeWireDaemon.h"
#include "support/TempDir.h"

using namespace qm;
using test::CountingDefaults;

namespace {

struct Fixture {
    test::TempDir dir;
    std::filesystem::path file = dir / "defaults.ini";
    std::shared_ptr<CountingDefaults> defaults = std::make_shared<CountingDefaults>(file);
    std::shared_ptr<CountingDefaults> settingsDefaults = std::make_shared<CountingDefaults>(dir / "settings.ini");
    SettingsStore settings{settingsDefaults};
    ManualMainQueue queue;

    std::unique_ptr<MonitorEngine> engine() { return std::make_unique<MonitorEngine>(settings, defaults, queue); }
    QByteArray stored(const char* key) {
        return UserDefaults(QString::fromStdString(file.string())).data(key).value_or(QByteArray("<none>"));
    }
};

OutputProfile profile(const char* name, OutputProfile::Kind kind, LayoutID layout) {
    OutputProfile p = OutputProfile::defaults().front();
    p.id = Uuid::random();
    p.name = name;
    p.kind = kind;
    p.layout = layout;
    return p;
}

}  // namespace

TEST(MonitorEngine, AFreshEngineHoldsDefaultsAndWritesNothing) {
    Fixture f;
    auto e = f.engine();
    EXPECT_EQ(e->state(), MonitorState{});
    EXPECT_FALSE(e->sourceUID());
    EXPECT_FALSE(e->profileID());
    EXPECT_FALSE(e->running());
    EXPECT_TRUE(e->inserts().empty());
    EXPECT_FALSE(e->message());
    EXPECT_EQ(f.defaults->changes(), 0);
    EXPECT_EQ(e->profile().name, "Room 9.1.6");
}

TEST(MonitorEngine, ChangesPersistAllThreeKeysAndARelaunchRestoresThemWithoutWriting) {
    Fixture f;
    const Uuid nearfield = f.settings.value().profiles[1].id;
    MonitorState s;
    s.mode = MonitorMode::stereo;
    s.solo = {SpeakerID::L};
    s.sourceOffset = 4;
    {
        auto e = f.engine();
        QSignalSpy stateSpy(e.get(), &MonitorEngine::stateChanged);
        QSignalSpy sourceSpy(e.get(), &MonitorEngine::sourceUIDChanged);
        QSignalSpy profileSpy(e.get(), &MonitorEngine::profileIDChanged);

        e->setState(s);
        EXPECT_EQ(stateSpy.count(), 1);
        EXPECT_EQ(f.defaults->writes[MonitorEngine::stateKey], 1);
        // The three keys go together; an absent value is removed.
        EXPECT_EQ(f.defaults->removals[MonitorEngine::sourceKey], 1);
        EXPECT_EQ(f.defaults->removals[MonitorEngine::profileKey], 1);

        // An equal state rebuilds nothing and writes nothing.
        const int before = f.defaults->changes();
        MonitorState same = s;
        same.solo = {SpeakerID::L};
        e->setState(same);
        EXPECT_EQ(stateSpy.count(), 1);
        EXPECT_EQ(f.defaults->changes(), before);

        e->setSourceUID(QString("jack:Workstation"));
        e->setProfileID(nearfield);
        e->setSourceUID(QString("jack:Workstation"));
        e->setProfileID(nearfield);
        EXPECT_EQ(sourceSpy.count(), 1);
        EXPECT_EQ(profileSpy.count(), 1);
        EXPECT_EQ(f.defaults->writes[MonitorEngine::stateKey], 3);
        EXPECT_EQ(e->profile().name, "Nearfield");
        EXPECT_FALSE(e->running());  // nothing was running: nothing starts
        EXPECT_EQ(f.queue.pending(), 0u);
    }
    EXPECT_EQ(f.stored(MonitorEngine::sourceKey), "jack:Workstation");
    EXPECT_EQ(f.stored(MonitorEngine::profileKey), QByteArray::fromStdString(nearfield.uuidString()));
    EXPECT_EQ(MonitorState::decodeText(f.stored(MonitorEngine::stateKey).toStdString()), s);

    auto again = std::make_shared<CountingDefaults>(f.file);
    MonitorEngine relaunched(f.settings, again, f.queue);
    EXPECT_EQ(relaunched.state(), s);
    EXPECT_EQ(relaunched.sourceUID(), QString("jack:Workstation"));
    EXPECT_EQ(relaunched.profileID(), nearfield);
    EXPECT_EQ(again->changes(), 0);

    // Clearing the source removes its key and keeps the others.
    relaunched.setSourceUID(std::nullopt);
    EXPECT_EQ(f.stored(MonitorEngine::sourceKey), "<none>");
    EXPECT_EQ(f.stored(MonitorEngine::profileKey), QByteArray::fromStdString(nearfield.uuidString()));
}

TEST(MonitorEngine, UnreadableStoredValuesRestoreTheirDefaults) {
    Fixture f;
    UserDefaults raw(QString::fromStdString(f.file.string()));
    raw.setData(MonitorEngine::stateKey, "[1, 2]");
    raw.setData(MonitorEngine::profileKey, "not a uuid");
    raw.setData(MonitorEngine::sourceKey, "jack:system");
    auto e = f.engine();
    EXPECT_EQ(e->state(), MonitorState{});
    EXPECT_FALSE(e->profileID());
    EXPECT_EQ(e->sourceUID(), QString("jack:system"));
    // A partly damaged state keeps what it can.
    raw.setData(MonitorEngine::stateKey, R"({"mode": "mono", "volumeDB": 400, "dim": "yes"})");
    auto e2 = f.engine();
    EXPECT_EQ(e2->state().mode, MonitorMode::mono);
    EXPECT_EQ(e2->state().volumeDB, MonitorState::maxVolumeDB);
    EXPECT_FALSE(e2->state().dim);
    EXPECT_EQ(f.defaults->changes(), 0);
}

TEST(MonitorEngine, AStaleProfileFallsBackAndIsKept) {
    Fixture f;
    const Uuid stale = Uuid::random();
    f.settings.update([](AppSettings& s) {
        s.profiles = {profile("Desk", OutputProfile::Kind::speakers, LayoutID::stereo),
                      profile("Cans", OutputProfile::Kind::headphones, LayoutID::l916),
                      profile("Room", OutputProfile::Kind::speakers, LayoutID::l916),
                      profile("Room 2", OutputProfile::Kind::speakers, LayoutID::l916)};
    });
    auto e = f.engine();
    e->setProfileID(stale);
    EXPECT_EQ(e->profile().name, "Room");  // the first 9.1.6 speaker profile, not the 9.1.6 headphones
    EXPECT_EQ(e->profileID(), stale);
    f.settings.update([](AppSettings& s) { s.profiles.erase(s.profiles.begin() + 2, s.profiles.end()); });
    EXPECT_EQ(e->profile().name, "Desk");  // else the first
    const Uuid cans = f.settings.value().profiles[1].id;
    e->setProfileID(cans);
    EXPECT_EQ(e->profile().name, "Cans");
}

TEST(MonitorEngine, StartWithoutASourceSaysSo) {
    Fixture f;
    auto e = f.engine();
    QSignalSpy messages(e.get(), &MonitorEngine::messageChanged);
    e->start();
    EXPECT_FALSE(e->running());
    EXPECT_EQ(e->message(), QString("Choose the source (where your DAW's bus arrives)"));
    EXPECT_EQ(messages.count(), 1);
    e->stop();
    EXPECT_FALSE(e->running());
    EXPECT_EQ(e->message(), QString("Choose the source (where your DAW's bus arrives)"));
}

TEST(MonitorEngine, AFailedWriteIsSaid) {
    Fixture f;
    auto e = f.engine();
    f.defaults->failWrites = true;
    MonitorState s;
    s.dim = true;
    e->setState(s);
    EXPECT_EQ(e->state(), s);
    EXPECT_EQ(e->message(), QString("The monitor settings could not be saved"));
}

// With ALSA's default device the only one (here a null plug-in), the output
// plays but the monitor has nothing to run on, and says so, as a user there
// sees it: no source was ever chosen (none can be offered).
TEST(MonitorEngine, OnAlsaAloneStartSaysThatTheMonitorNeedsAServer) {
    test::OnlySound only(test::OnlySound::System::jack);
    const char* jack = std::getenv("JACK_DEFAULT_SERVER");
    const std::string keepJack = jack ? jack : "";
    setenv("JACK_DEFAULT_SERVER", "qm-no-server-here", 1);
    test::TempDir alsa;
    test::writeBytes(alsa / "asound.conf", "pcm.!default { type null }\n");
    setenv("ALSA_CONFIG_PATH", (alsa / "asound.conf").c_str(), 1);
    Fixture f;
    auto e = f.engine();
    EXPECT_TRUE(MonitorEngine::inputDevices().empty());
    ASSERT_FALSE(e->sourceUID());
    e->start();
    EXPECT_FALSE(e->running());
    EXPECT_EQ(e->message(), QString("The monitor needs PipeWire or JACK: ALSA alone can't take a source"));
    // A source kept from a session on a server says the same.
    e->setSourceUID(QString("jack:system"));
    e->start();
    EXPECT_FALSE(e->running());
    EXPECT_EQ(e->message(), QString("The monitor needs PipeWire or JACK: ALSA alone can't take a source"));
    if (jack)
        setenv("JACK_DEFAULT_SERVER", keepJack.c_str(), 1);
    else
        unsetenv("JACK_DEFAULT_SERVER");
}
