#include "audio/AppSettings.h"

#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace qm;
using json = nlohmann::json;

namespace {

json profileJSON() {
    return json::parse(R"({"id": "0F8FAD5B-D9CB-469F-A165-70867728950E", "name": "Desk",
        "kind": "speakers", "deviceUID": "hw:1", "layout": "l51", "outputs": [0, 1, 2, 3, 4, 5],
        "trimsDB": [0, 0, -1.5, 0, 0, 0], "headphoneLeft": 0, "headphoneRight": 1})");
}

std::vector<std::string> names(const AppSettings& s) {
    std::vector<std::string> out;
    for (const auto& p : s.profiles) out.push_back(p.name);
    return out;
}

const std::vector<std::string> kBuiltIns = {"Room 9.1.6", "Nearfield", "Headphones"};

}  // namespace

TEST(OutputProfile, BuiltInProfilesGetFreshIdentities) {
    auto a = OutputProfile::defaults();
    auto b = OutputProfile::defaults();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].layout, LayoutID::l916);
    EXPECT_EQ(a[0].outputs.size(), a[0].trimsDB.size());
    EXPECT_EQ(a[0].outputs[15], 15);
    EXPECT_EQ(a[2].kind, OutputProfile::Kind::headphones);
    for (int i = 0; i < 3; ++i) EXPECT_NE(a[i].id, b[i].id);
    EXPECT_NE(a[0].id, a[1].id);
}

TEST(OutputProfile, StrictDecodingAndRoundTrip) {
    auto p = profileJSON().get<OutputProfile>();
    EXPECT_EQ(p.id.uuidString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(p.deviceUID, "hw:1");
    EXPECT_EQ(p.trimsDB[2], -1.5);
    EXPECT_EQ(json(p).get<OutputProfile>(), p);
    EXPECT_EQ(json(p)["id"], "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(std::hash<OutputProfile>{}(json(p).get<OutputProfile>()), std::hash<OutputProfile>{}(p));

    // A missing or null device decodes to none and is left out again.
    for (json dev : {json(), json("drop")}) {
        json j = profileJSON();
        if (dev.is_null()) j["deviceUID"] = nullptr; else j.erase("deviceUID");
        auto q = j.get<OutputProfile>();
        EXPECT_FALSE(q.deviceUID);
        EXPECT_FALSE(json(q).contains("deviceUID"));
    }
    // Integral numbers written with a fraction part are still integers.
    json j = profileJSON();
    j["outputs"] = json::parse("[0.0, 1, 2, 3, 4, 5e0]");
    EXPECT_EQ(j.get<OutputProfile>().outputs.back(), 5);

    const std::vector<std::pair<const char*, json>> broken = {
        {"id", json("not-a-uuid")},        {"id", json(7)},
        {"name", json(3)},                 {"kind", json("Speakers")},
        {"layout", json("l99")},           {"outputs", json::parse("[0, 1.5]")},
        {"outputs", json::parse("[0, true]")}, {"outputs", json("0,1")},
        {"trimsDB", json::parse("[0, \"-3\"]")}, {"headphoneLeft", json(0.5)},
        {"headphoneRight", json(nullptr)}, {"deviceUID", json(5)},
    };
    for (const auto& [key, value] : broken) {
        json bad = profileJSON();
        bad[key] = value;
        EXPECT_THROW(bad.get<OutputProfile>(), json::exception) << key << " = " << value.dump();
    }
    for (const char* key : {"id", "name", "kind", "layout", "outputs", "trimsDB", "headphoneLeft",
                            "headphoneRight"}) {
        json bad = profileJSON();
        bad.erase(key);
        EXPECT_THROW(bad.get<OutputProfile>(), json::exception) << key;
    }
}

TEST(AppSettings, Defaults) {
    AppSettings s;
    EXPECT_EQ(names(s), kBuiltIns);
    EXPECT_FALSE(s.activeProfileID);
    EXPECT_TRUE(s.autoPlay && s.monoToCenter && s.tempEditsBesideSource);
    EXPECT_FALSE(s.expertMode);
    EXPECT_EQ(s.aiServiceAddress, "") << "no service until the user names one";
    EXPECT_EQ(s.aiServiceKey, "");
    const char* home = std::getenv("HOME");
    ASSERT_TRUE(home);
    EXPECT_EQ(s.pullsFolder, std::string(home) + "/Music/Quillmarsh Pulls");
    EXPECT_NE(AppSettings{}, AppSettings{});  // the built-ins get new ids each time
}

TEST(AppSettings, RoundTripKeepsEveryField) {
    AppSettings s;
    s.profiles.push_back(profileJSON().get<OutputProfile>());
    s.profiles[0].trimsDB[3] = -0.1 - 0.2;
    s.activeProfileID = s.profiles[3].id;
    s.autoPlay = false;
    s.finderPanel = false;
    s.spacePlaysInFinder = false;
    s.monoToCenter = false;
    s.pullsFolder = "/srv/Pulls \"quoted\" \xC3\xA9";
    s.libraryRoots = {"/a", "/b c"};
    s.ytDlpPath = "/usr/bin/dl";
    s.tempEditsBesideSource = false;
    s.expertMode = true;
    s.aiServiceAddress = "https://generate.example.org/v1/";
    s.aiServiceKey = "k-123";
    s.upmix = {true, UpmixPreset::hall, upmixPreset::params(UpmixPreset::game)};
    std::vector<std::string> reverted;
    AppSettings back = AppSettings::decodeText(s.encode(), &reverted);
    EXPECT_EQ(back, s);
    EXPECT_TRUE(reverted.empty());

    json doc = json::parse(s.encode());
    EXPECT_EQ(doc.size(), 14u);
    EXPECT_EQ(doc["activeProfileID"], s.profiles[3].id.uuidString());
    s.activeProfileID.reset();
    EXPECT_FALSE(json::parse(s.encode()).contains("activeProfileID"));
    EXPECT_EQ(json::parse(s.encode()).size(), 13u);

    // A value JSON cannot hold makes the encoding fail instead of writing null.
    s.upmix.params.focus = NAN;
    EXPECT_THROW(s.encode(), json::exception);
}

TEST(AppSettings, TolerantDecoding) {
    std::vector<std::string> reverted;
    AppSettings s = AppSettings::decodeText(R"({"autoPlay": false})", &reverted);
    EXPECT_FALSE(s.autoPlay);
    EXPECT_TRUE(s.finderPanel);
    EXPECT_EQ(names(s), kBuiltIns);
    EXPECT_TRUE(reverted.empty());

    s = AppSettings::decodeText(R"({"profiles": [], "activeProfileID": null, "expertMode": null})", &reverted);
    EXPECT_EQ(names(s), kBuiltIns);
    EXPECT_TRUE(reverted.empty());

    json doc = {{"profiles", json::array({profileJSON()})},
                {"activeProfileID", "0f8fad5b-d9cb-469f-a165-70867728950e"},
                {"expertMode", "yes"},
                {"autoPlay", 0},
                {"monoToCenter", false},
                {"pullsFolder", 12},
                {"libraryRoots", json::parse(R"(["/a", 3])")},
                {"upmix", json::parse(R"({"enabled": true, "preset": "film"})")},
                {"someFutureKey", {{"x", 1}}}};
    s = AppSettings::decode(doc, &reverted);
    EXPECT_EQ(names(s), std::vector<std::string>{"Desk"});
    EXPECT_EQ(s.activeProfileID, s.profiles[0].id);
    EXPECT_FALSE(s.expertMode);
    EXPECT_TRUE(s.autoPlay);
    EXPECT_FALSE(s.monoToCenter);
    EXPECT_EQ(s.pullsFolder, AppSettings::defaultPullsFolder());
    EXPECT_TRUE(s.libraryRoots.empty());
    EXPECT_TRUE(s.upmix.enabled);
    EXPECT_EQ(s.upmix.params, upmixPreset::params(UpmixPreset::film));
    EXPECT_EQ(reverted, (std::vector<std::string>{"autoPlay", "pullsFolder", "libraryRoots", "expertMode"}));

    // One broken profile sends the whole list back to the built-ins; the
    // other keys keep their stored values.
    json bad = profileJSON();
    bad.erase("trimsDB");
    doc["profiles"] = json::array({profileJSON(), bad});
    reverted.clear();
    s = AppSettings::decode(doc, &reverted);
    EXPECT_EQ(names(s), kBuiltIns);
    EXPECT_FALSE(s.monoToCenter);
    EXPECT_EQ(reverted.front(), "profiles");
    doc["profiles"] = "none";
    EXPECT_EQ(names(AppSettings::decode(doc)), kBuiltIns);

    EXPECT_THROW(AppSettings::decodeText("not json {"), json::exception);
    EXPECT_THROW(AppSettings::decodeText("[1, 2]"), json::exception);
    EXPECT_THROW(AppSettings::decodeText(""), json::exception);
}

// Gains from a stored document are held to the ranges their controls offer
// before they can reach the speakers, and each one moved is reported.
TEST(AppSettings, StoredGainsAreHeldToTheirControlsRanges) {
    AppSettings s;
    s.profiles[1].trimsDB = {300, -0.5};
    s.profiles[2].trimsDB = {-90, 11.5};
    s.upmix.params.ambienceDB = 4000;
    s.upmix.params.heightDB = 50;
    s.upmix.params.sideDB = 200;
    s.upmix.params.heightTilt = -7;
    s.upmix.params.rearDB = -80;  // a cut only quietens: kept
    std::vector<std::string> reverted;
    AppSettings back = AppSettings::decodeText(s.encode(), &reverted);
    EXPECT_EQ(back.profiles[1].trimsDB, (std::vector<double>{OutputProfile::kMaxTrimDB, -0.5}));
    EXPECT_EQ(back.profiles[2].trimsDB, (std::vector<double>{OutputProfile::kMinTrimDB, 11.5}));
    EXPECT_EQ(back.upmix.params.ambienceDB, 9);
    EXPECT_EQ(back.upmix.params.heightDB, 6);
    EXPECT_EQ(back.upmix.params.sideDB, 12);
    EXPECT_EQ(back.upmix.params.heightTilt, -1);
    EXPECT_EQ(back.upmix.params.rearDB, -80);
    EXPECT_EQ(reverted, (std::vector<std::string>{"profiles.1.trimsDB", "profiles.2.trimsDB",
                                                  "upmix.params.ambienceDB", "upmix.params.sideDB",
                                                  "upmix.params.heightDB", "upmix.params.heightTilt"}));
    // What was held decodes again unchanged.
    reverted.clear();
    EXPECT_EQ(AppSettings::decodeText(back.encode(), &reverted), back);
    EXPECT_TRUE(reverted.empty());
    // Every preset lies inside the ranges (the speech preset's -80 dB
    // heights are the control's "off").
    for (UpmixPreset p : upmixPreset::allCases()) EXPECT_EQ(upmixParams::bounded(upmixPreset::params(p)), upmixPreset::params(p));
}
