#include "app/core/SettingsStore.h"

#include <QSignalSpy>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/CountingDefaults.h"
#include "support/TempDir.h"

using namespace qm;
using json = nlohmann::json;

namespace {

using test::CountingDefaults;

struct Fixture {
    test::TempDir dir;
    std::filesystem::path file = dir / "settings.ini";

    std::shared_ptr<CountingDefaults> defaults() { return std::make_shared<CountingDefaults>(file); }
    // Stores raw bytes as the document, as an earlier run would have.
    void store(const QByteArray& doc) { UserDefaults(QString::fromStdString(file.string())).setData("settings.v1", doc); }
    QByteArray stored(const char* key = "settings.v1") {
        return UserDefaults(QString::fromStdString(file.string())).data(key).value_or(QByteArray());
    }
};

const char* kDesk = R"({"id": "0F8FAD5B-D9CB-469F-A165-70867728950E", "name": "Desk",
    "kind": "speakers", "layout": "stereo", "outputs": [0, 1], "trimsDB": [0, 0],
    "headphoneLeft": 0, "headphoneRight": 1})";

}  // namespace

TEST(SettingsStore, FirstStartUsesDefaultsAndWritesNothing) {
    Fixture f;
    auto d = f.defaults();
    SettingsStore store(d);
    ASSERT_EQ(store.value().profiles.size(), 3u);
    EXPECT_EQ(store.activeProfile().name, "Room 9.1.6");
    EXPECT_TRUE(store.message().isEmpty());
    EXPECT_TRUE(d->writes.empty());
    EXPECT_FALSE(std::filesystem::exists(f.file));
}

TEST(SettingsStore, WritesOnlyOnRealChangeAndSurvivesARestart) {
    Fixture f;
    auto d = f.defaults();
    SettingsStore store(d);
    QSignalSpy changed(&store, &SettingsStore::valueChanged);

    store.setValue(store.value());
    store.update([](AppSettings&) {});
    EXPECT_EQ(d->writes["settings.v1"], 0);
    EXPECT_EQ(changed.count(), 0);

    store.update([](AppSettings& s) { s.profiles[1].trimsDB[1] = -0.5; });
    EXPECT_EQ(d->writes["settings.v1"], 1);
    EXPECT_EQ(changed.count(), 1);
    store.update([](AppSettings& s) { s.profiles[1].trimsDB[1] = -0.5; });
    EXPECT_EQ(d->writes["settings.v1"], 1);

    store.update([&](AppSettings& s) {
        s.activeProfileID = s.profiles[2].id;
        s.upmix.enabled = true;
        s.libraryRoots = {"/srv/Library"};
    });
    EXPECT_EQ(d->writes["settings.v1"], 2);
    EXPECT_EQ(store.activeProfile().name, "Headphones");

    // The whole document was written: a new store reads the same value back.
    auto again = f.defaults();
    SettingsStore reloaded(again);
    EXPECT_EQ(reloaded.value(), store.value());
    EXPECT_EQ(reloaded.activeProfile(), store.activeProfile());
    EXPECT_TRUE(again->writes.empty());
    EXPECT_TRUE(reloaded.message().isEmpty());
}

TEST(SettingsStore, ActiveProfileFallsBackToTheFirst) {
    Fixture f;
    SettingsStore store(f.defaults());
    auto removed = store.value().profiles[1].id;
    store.update([&](AppSettings& s) {
        s.activeProfileID = removed;
        s.profiles.erase(s.profiles.begin() + 1);
    });
    EXPECT_EQ(store.activeProfile().name, "Room 9.1.6");
    EXPECT_EQ(store.value().activeProfileID, removed);  // the stale id stays stored
    store.update([](AppSettings& s) { s.profiles.clear(); });
    EXPECT_EQ(store.activeProfile().name, "Room 9.1.6");
}

TEST(SettingsStore, UnreadableDocumentIsKeptAsideAndLeftUnchanged) {
    for (QByteArray doc : {QByteArray("this is {not json"), QByteArray("[1, 2, 3]")}) {
        Fixture f;
        f.store(doc);
        auto d = f.defaults();
        SettingsStore store(d);
        EXPECT_EQ(store.value().profiles.size(), 3u);
        EXPECT_TRUE(store.value().autoPlay);
        EXPECT_TRUE(store.message().contains("settings.v1.unreadable")) << store.message().toStdString();
        EXPECT_EQ(d->writes["settings.v1"], 0);
        EXPECT_EQ(f.stored(), doc);
        EXPECT_EQ(f.stored("settings.v1.unreadable"), doc);

        store.update([](AppSettings& s) { s.expertMode = true; });
        EXPECT_TRUE(json::parse(f.stored().toStdString())["expertMode"].get<bool>());
        EXPECT_EQ(f.stored("settings.v1.unreadable"), doc);
    }
}

TEST(SettingsStore, BrokenProfileRevertsTheListButKeepsTheDocument) {
    Fixture f;
    json doc = json::parse(R"({"autoPlay": false, "expertMode": "yes"})");
    json bad = json::parse(kDesk);
    bad.erase("trimsDB");
    doc["profiles"] = json::array({json::parse(kDesk), bad});
    doc["activeProfileID"] = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    QByteArray text = QByteArray::fromStdString(doc.dump());
    f.store(text);

    auto d = f.defaults();
    SettingsStore store(d);
    EXPECT_FALSE(store.value().autoPlay);
    EXPECT_FALSE(store.value().expertMode);
    EXPECT_EQ(store.value().profiles.size(), 3u);
    EXPECT_EQ(store.activeProfile().name, "Room 9.1.6");
    EXPECT_TRUE(store.message().contains("output profiles")) << store.message().toStdString();
    EXPECT_EQ(d->writes["settings.v1"], 0);
    EXPECT_EQ(f.stored(), text);
    EXPECT_EQ(f.stored("settings.v1.unreadable"), text);

    // Loading the same document again does not write the copy again.
    auto d2 = f.defaults();
    SettingsStore second(d2);
    EXPECT_TRUE(d2->writes.empty());
    EXPECT_FALSE(second.message().isEmpty());
}

TEST(SettingsStore, ReadableDocumentWithOddKeysNeedsNoCopy) {
    Fixture f;
    json doc = json::parse(R"({"autoPlay": false, "futureKey": {"a": 1}, "ytDlpPath": null,
                               "profiles": []})");
    f.store(QByteArray::fromStdString(doc.dump()));
    auto d = f.defaults();
    SettingsStore store(d);
    EXPECT_FALSE(store.value().autoPlay);
    EXPECT_EQ(store.value().profiles.size(), 3u);
    EXPECT_TRUE(store.message().isEmpty());
    EXPECT_TRUE(d->writes.empty());
}

TEST(SettingsStore, FailedSaveIsReported) {
    Fixture f;
    auto d = f.defaults();
    SettingsStore store(d);
    QSignalSpy messages(&store, &SettingsStore::messageChanged);

    store.update([](AppSettings& s) { s.upmix.params.focus = std::nan(""); });
    EXPECT_TRUE(store.message().startsWith("Settings could not be saved"));
    EXPECT_TRUE(std::isnan(store.value().upmix.params.focus));  // kept in memory as assigned
    EXPECT_FALSE(std::filesystem::exists(f.file));

    d->failWrites = true;
    store.update([](AppSettings& s) { s.upmix.params.focus = 2; });
    EXPECT_TRUE(store.message().contains("cannot be written")) << store.message().toStdString();
    d->failWrites = false;
    store.update([](AppSettings& s) { s.expertMode = true; });
    EXPECT_TRUE(store.message().isEmpty());
    EXPECT_EQ(messages.count(), 3);
}

TEST(SettingsStore, StoredLevelsBeyondTheirControlsAreLimitedAndSaid) {
    Fixture f;
    json doc = json::parse(AppSettings{}.encode());
    doc["upmix"]["params"]["ambienceDB"] = 200;
    f.store(QByteArray::fromStdString(doc.dump()));
    auto d = f.defaults();
    SettingsStore store(d);
    EXPECT_EQ(store.value().upmix.params.ambienceDB, 9);
    EXPECT_TRUE(store.message().contains("limited (upmix.params.ambienceDB)")) << store.message().toStdString();
    EXPECT_FALSE(store.message().contains("could not be read")) << store.message().toStdString();
}
