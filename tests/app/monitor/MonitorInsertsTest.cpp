// The monitor's insert list without a sound server: the offered plug-ins,
// their order and their groups for the add menu, the channels inserts are
// made for, adding (and failing to), bypass, removal and the windows the
// views' factory makes.
#include "app/monitor/MonitorEngine.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/CountingDefaults.h"
#include "support/Lv2Plugins.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

struct Fixture {
    test::TempDir dir;
    std::shared_ptr<test::CountingDefaults> defaults = std::make_shared<test::CountingDefaults>(dir / "d.ini");
    SettingsStore settings{std::make_shared<test::CountingDefaults>(dir / "s.ini")};
    ManualMainQueue queue;
    std::unique_ptr<MonitorEngine> engine;

    Fixture() {
        test::useTestPlugins();
        engine = std::make_unique<MonitorEngine>(settings, defaults, queue);
    }
};

const Lv2Plugin& plugin(const char* uri) {
    const Lv2Plugin* p = Lv2Host::find(uri);
    if (!p) throw std::runtime_error(uri);
    return *p;
}

// A window that counts how often it was presented and says when it closes.
struct FakeWindow : MonitorEngine::InsertWindow {
    int* presented;
    bool* closed;
    FakeWindow(int* p, bool* c) : presented(p), closed(c) {}
    ~FakeWindow() override { *closed = true; }
    void present() override { ++*presented; }
};

}  // namespace

TEST(MonitorInserts, OfferedPluginsSortByMakerJoinedToName) {
    Fixture f;
    const auto offered = MonitorEngine::effectComponents();
    ASSERT_GE(offered.size(), 6u);
    for (size_t i = 1; i < offered.size(); ++i)
        EXPECT_LE(offered[i - 1].manufacturer + offered[i - 1].name, offered[i].manufacturer + offered[i].name);
    // "Acme" + "Q" and "Ac" + "meQ" join into the same text: neighbours, in either order.
    size_t acme = offered.size(), ac = offered.size();
    for (size_t i = 0; i < offered.size(); ++i) {
        if (offered[i].uri == "urn:quillmarsh:test:acme-q") acme = i;
        if (offered[i].uri == "urn:quillmarsh:test:ac-meq") ac = i;
    }
    ASSERT_LT(acme, offered.size());
    ASSERT_LT(ac, offered.size());
    EXPECT_EQ(acme > ac ? acme - ac : ac - acme, 1u);
    // Case-sensitive: upper case before lower case.
    std::vector<Lv2Plugin> mixed{{"b", "x", "b", 1, 1}, {"a", "x", "B", 1, 1}, {"c", "A", "b", 1, 1}};
    MonitorEngine::sortComponents(mixed);
    EXPECT_EQ(mixed[0].uri, "a");
    EXPECT_EQ(mixed[1].uri, "c");
    EXPECT_EQ(mixed[2].uri, "b");
}

TEST(MonitorInserts, AddingWhileStoppedStartsNothingAndAFailedAddChangesNothing) {
    Fixture f;
    QSignalSpy list(f.engine.get(), &MonitorEngine::insertsChanged);
    QSignalSpy running(f.engine.get(), &MonitorEngine::runningChanged);
    f.engine->addInsert(plugin("urn:quillmarsh:test:gain"));
    ASSERT_EQ(f.engine->inserts().size(), 1u);
    EXPECT_EQ(f.engine->inserts()[0].name, "Quillmarsh Tests: Gain");
    EXPECT_FALSE(f.engine->running());
    EXPECT_EQ(running.count(), 0);
    EXPECT_EQ(list.count(), 1);
    EXPECT_FALSE(f.engine->message());

    const auto before = f.engine->inserts();
    f.engine->addInsert(plugin("urn:quillmarsh:test:broken"));
    EXPECT_EQ(f.engine->inserts(), before);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(f.engine->message().value_or(""), "Broken couldn't be started at 48000 Hz");
    // Nothing is remembered of the inserts.
    EXPECT_EQ(f.defaults->changes(), 0);
}

TEST(MonitorInserts, BypassAnnouncesAndRemovalOfAnUnknownIdDoesNothing) {
    Fixture f;
    f.engine->addInsert(plugin("urn:quillmarsh:test:gain"));
    f.engine->addInsert(plugin("urn:quillmarsh:test:nan"));
    const auto inserts = f.engine->inserts();
    QSignalSpy list(f.engine.get(), &MonitorEngine::insertsChanged);
    f.engine->toggleBypass(inserts[1].id);
    EXPECT_TRUE(inserts[1].unit->bypassed());  // copies share the unit
    EXPECT_FALSE(inserts[0].unit->bypassed());
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(f.engine->inserts(), inserts);
    f.engine->toggleBypass(inserts[1].id);
    EXPECT_FALSE(inserts[1].unit->bypassed());
    f.engine->toggleBypass(Uuid::random());
    f.engine->removeInsert(Uuid::random());
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(f.engine->inserts(), inserts);
    f.engine->removeInsert(inserts[0].id);
    ASSERT_EQ(f.engine->inserts().size(), 1u);
    EXPECT_EQ(f.engine->inserts()[0].id, inserts[1].id);
    EXPECT_EQ(list.count(), 3);
}

TEST(MonitorInserts, OneWindowPerInsertAndRemovalClosesIt) {
    Fixture f;
    f.engine->addInsert(plugin("urn:quillmarsh:test:gain"));
    const Uuid id = f.engine->inserts()[0].id;
    f.engine->showUI(id);  // no factory installed: nothing
    EXPECT_FALSE(f.engine->window(id));

    int made = 0, presented = 0;
    bool closed = false;
    f.engine->setWindowFactory([&](const MonitorEngine::Insert& insert) -> std::unique_ptr<MonitorEngine::InsertWindow> {
        EXPECT_EQ(insert.id, id);
        ++made;
        return std::make_unique<FakeWindow>(&presented, &closed);
    });
    f.engine->showUI(id);
    f.engine->showUI(id);
    f.engine->showUI(Uuid::random());
    EXPECT_EQ(made, 1);
    EXPECT_EQ(presented, 2);
    EXPECT_TRUE(f.engine->window(id));
    f.engine->removeInsert(id);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(f.engine->window(id));
}

TEST(MonitorInserts, GroupedByClassOnlyWhatFitsTheChannelsAndMatchesEveryWord) {
    const std::vector<Lv2Plugin> all{
        {"urn:1", "Reverb", "Acme", 2, 2, Lv2Category::reverb},
        {"urn:2", "Para EQ", "Acme", 1, 1, Lv2Category::eq},
        {"urn:3", "Wide EQ", "Bee", 16, 16, Lv2Category::eq},
        {"urn:4", "Splitter", "Bee", 1, 2, Lv2Category::utility},
        {"urn:5", "Gate", "Cee", 1, 1, Lv2Category::dynamics},
    };
    auto uris = [](const std::vector<MonitorEngine::ComponentGroup>& groups) {
        std::vector<std::pair<Lv2Category, std::vector<std::string>>> out;
        for (const auto& g : groups) {
            out.push_back({g.category, {}});
            for (const auto& p : g.plugins) out.back().second.push_back(p.uri);
        }
        return out;
    };
    using G = std::vector<std::pair<Lv2Category, std::vector<std::string>>>;
    EXPECT_EQ(uris(MonitorEngine::groupComponents(all, 2)),
              (G{{Lv2Category::eq, {"urn:2"}}, {Lv2Category::dynamics, {"urn:5"}}, {Lv2Category::reverb, {"urn:1"}}}));
    EXPECT_EQ(uris(MonitorEngine::groupComponents(all, 16)),
              (G{{Lv2Category::eq, {"urn:2", "urn:3"}}, {Lv2Category::dynamics, {"urn:5"}}}));
    EXPECT_EQ(uris(MonitorEngine::groupComponents(all, 16, "  eq  bee ")), (G{{Lv2Category::eq, {"urn:3"}}}));
    EXPECT_TRUE(MonitorEngine::groupComponents(all, 0).empty());
    EXPECT_TRUE(MonitorEngine::groupComponents(all, 2, "acme gate").empty());
}

TEST(MonitorInserts, InsertsAreMadeForTheProfilesChannelsWhileStopped) {
    Fixture f;
    OutputProfile phones = OutputProfile::defaults().back();
    ASSERT_EQ(phones.kind, OutputProfile::Kind::headphones);
    phones.id = Uuid::random();
    OutputProfile room = OutputProfile::defaults().front();
    room.id = Uuid::random();
    f.settings.update([&](AppSettings& s) { s.profiles = {room, phones}; });
    EXPECT_EQ(f.engine->insertChannels(), static_cast<int>(room.outputs.size()));
    f.engine->setProfileID(phones.id);
    EXPECT_EQ(f.engine->insertChannels(), 2);
    // The stereo delay fits headphones; its instances are made for them.
    f.engine->addInsert(plugin("urn:quillmarsh:test:delay"));
    ASSERT_EQ(f.engine->inserts().size(), 1u);
    EXPECT_EQ(f.engine->inserts()[0].unit->latest()->channels(), 2);
    f.engine->setProfileID(room.id);
    f.engine->addInsert(plugin("urn:quillmarsh:test:delay"));
    EXPECT_EQ(f.engine->inserts().size(), 1u);
    EXPECT_EQ(f.engine->message().value_or(""),
              QString("Delay can't play on an output of %1 channels").arg(room.outputs.size()));
}
