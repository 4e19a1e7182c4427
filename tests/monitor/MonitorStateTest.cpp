#include "monitor/MonitorState.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace qm;
using json = nlohmann::json;
using S = SpeakerID;

namespace {

MonitorState decode(const std::string& text) { return json::parse(text).get<MonitorState>(); }

// A state with every field away from its default.
MonitorState unusual() {
    MonitorState s;
    s.source = MonitorSource::l714film;
    s.sourceOffset = 8;
    s.mode = MonitorMode::l51;
    s.volumeDB = -7.5;
    s.dim = true;
    s.mute = true;
    s.heightTrimDB = -3;
    s.solo = {S::C, S::L};
    s.muted = {S::LFE};
    s.upmix.enabled = true;
    s.upmix.preset = UpmixPreset::film;
    s.upmix.params = upmixPreset::params(UpmixPreset::film);
    return s;
}

}  // namespace

TEST(MonitorState, EnumerationsTheirOrdersAndRawValues) {
    const std::vector<std::string> sources = {"l916", "l714", "l714film", "l51", "l51film", "stereo"};
    ASSERT_EQ(monitorSource::allCases().size(), sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        EXPECT_EQ(monitorSource::rawValue(monitorSource::allCases()[i]), sources[i]);
        EXPECT_EQ(json(monitorSource::allCases()[i]).get<MonitorSource>(), monitorSource::allCases()[i]);
    }
    const std::vector<std::string> modes = {"full", "l714", "l51", "stereo", "mono"};
    ASSERT_EQ(monitorMode::allCases().size(), modes.size());
    for (size_t i = 0; i < modes.size(); ++i) EXPECT_EQ(monitorMode::rawValue(monitorMode::allCases()[i]), modes[i]);
    EXPECT_FALSE(monitorSource::fromRawValue("L916"));
    EXPECT_FALSE(monitorMode::fromRawValue("Mono"));
    EXPECT_THROW(json("Stereo").get<MonitorSource>(), json::exception);
    EXPECT_THROW(json(3).get<MonitorMode>(), json::exception);

    // The bus orders: SMPTE from the layouts, film with C between L and R
    // and LFE after the surround pairs.
    EXPECT_EQ(monitorSource::speakers(MonitorSource::l916), layout::speakers(LayoutID::l916));
    EXPECT_EQ(monitorSource::speakers(MonitorSource::l714film),
              (std::vector<S>{S::L, S::C, S::R, S::Ls, S::Rs, S::Lrs, S::Rrs, S::LFE, S::Ltf, S::Rtf, S::Ltr, S::Rtr}));
    EXPECT_EQ(monitorSource::speakers(MonitorSource::l51film), (std::vector<S>{S::L, S::C, S::R, S::Ls, S::Rs, S::LFE}));
    EXPECT_EQ(monitorSource::speakers(MonitorSource::l51), (std::vector<S>{S::L, S::R, S::C, S::LFE, S::Ls, S::Rs}));
    EXPECT_EQ(monitorSource::speakers(MonitorSource::stereo), (std::vector<S>{S::L, S::R}));
    EXPECT_EQ(monitorSource::speakers(MonitorSource::l714).size(), 12u);
}

TEST(MonitorState, DefaultsEqualityAndTheEncodedForm) {
    MonitorState fresh;
    EXPECT_EQ(fresh.source, MonitorSource::l916);
    EXPECT_EQ(fresh.sourceOffset, 0);
    EXPECT_EQ(fresh.mode, MonitorMode::full);
    EXPECT_EQ(fresh.volumeDB, 0);
    EXPECT_FALSE(fresh.dim || fresh.mute);
    EXPECT_EQ(fresh.heightTrimDB, 0);
    EXPECT_TRUE(fresh.solo.empty() && fresh.muted.empty());
    EXPECT_EQ(fresh.upmix, UpmixSettings{});

    const json j = json::parse(fresh.encode());
    EXPECT_EQ(j.size(), 10u);
    for (const char* key : {"source", "sourceOffset", "mode", "volumeDB", "dim", "mute", "heightTrimDB", "solo",
                            "muted", "upmix"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_EQ(j["solo"], json::array());
    EXPECT_EQ(j["muted"], json::array());
    EXPECT_EQ(j["source"], "l916");
    EXPECT_EQ(*MonitorState::decodeText(fresh.encode()), fresh);

    const MonitorState u = unusual();
    EXPECT_EQ(*MonitorState::decodeText(u.encode()), u);
    EXPECT_EQ(json::parse(u.encode())["solo"], json::parse(R"(["L", "C"])"));

    // Sets compare as sets, whatever order the speakers were added in.
    MonitorState a, b;
    a.solo.insert(S::L);
    a.solo.insert(S::Ltf);
    b.solo.insert(S::Ltf);
    b.solo.insert(S::L);
    EXPECT_EQ(a, b);
    b.muted.insert(S::C);
    EXPECT_NE(a, b);
    // Every field takes part in equality.
    MonitorState c = u;
    c.upmix.params.strength += 0.01;
    EXPECT_NE(c, u);

    MonitorState notFinite;
    notFinite.volumeDB = std::numeric_limits<double>::infinity();
    EXPECT_THROW(notFinite.encode(), json::exception);
}

TEST(MonitorState, DecodingTakesEachKeyOnItsOwn) {
    EXPECT_EQ(decode("{}"), MonitorState{});
    {
        auto s = decode(R"({"source": "l714film"})");
        MonitorState want;
        want.source = MonitorSource::l714film;
        EXPECT_EQ(s, want);
    }
    for (const char* bad : {R"("L714film")", R"("STEREO")", "3", "true", R"(["l51"])"})
        EXPECT_EQ(decode(std::string(R"({"source": )") + bad + "}").source, MonitorSource::l916) << bad;
    {
        auto s = decode(R"({"mode": "mono", "volumeDB": "loud"})");
        EXPECT_EQ(s.mode, MonitorMode::mono);
        EXPECT_EQ(s.volumeDB, 0);
    }
    EXPECT_TRUE(decode(R"({"solo": ["L", "X"]})").solo.empty());
    EXPECT_TRUE(decode(R"({"solo": ["L", 3]})").solo.empty());
    EXPECT_TRUE(decode(R"({"solo": "L"})").solo.empty());
    EXPECT_EQ(decode(R"({"solo": ["L", "L", "R"]})").solo, (std::set<S>{S::L, S::R}));
    EXPECT_EQ(decode(R"({"muted": ["Tc", "LFE"], "solo": ["l"]})").muted, (std::set<S>{S::Tc, S::LFE}));
    {
        auto s = decode(R"({"upmix": 5, "mode": "stereo", "dim": true})");
        EXPECT_EQ(s.upmix, UpmixSettings{});
        EXPECT_EQ(s.mode, MonitorMode::stereo);
        EXPECT_TRUE(s.dim);
    }
    {
        auto s = decode(R"({"upmix": {"enabled": true, "preset": "hall"}})");
        EXPECT_TRUE(s.upmix.enabled);
        EXPECT_EQ(s.upmix.params, upmixPreset::params(UpmixPreset::hall));
    }
    // Any integer offset, negative ones included; no fractions, no text.
    EXPECT_EQ(decode(R"({"sourceOffset": -4})").sourceOffset, -4);
    EXPECT_EQ(decode(R"({"sourceOffset": 9000000000})").sourceOffset, 9000000000);
    EXPECT_EQ(decode(R"({"sourceOffset": 6.0})").sourceOffset, 6);
    EXPECT_EQ(decode(R"({"sourceOffset": 1.5})").sourceOffset, 0);
    EXPECT_EQ(decode(R"({"sourceOffset": "8"})").sourceOffset, 0);
    EXPECT_EQ(decode(R"({"sourceOffset": 1e30})").sourceOffset, 0);
    EXPECT_EQ(decode(R"({"sourceOffset": 18446744073709551615})").sourceOffset, 0);
    // Booleans are not numbers, numbers are not booleans; null is missing.
    EXPECT_FALSE(decode(R"({"dim": 1})").dim);
    EXPECT_EQ(decode(R"({"volumeDB": true})").volumeDB, 0);
    EXPECT_EQ(decode(R"({"mute": null, "volumeDB": null})"), MonitorState{});
    // Extra keys are ignored.
    EXPECT_EQ(decode(R"({"extra": {"x": 1}, "heightTrimDB": -2})").heightTrimDB, -2);

    EXPECT_THROW(decode("[]"), json::exception);
    EXPECT_THROW(decode("3"), json::exception);
    EXPECT_FALSE(MonitorState::decodeText("[1, 2]"));
    EXPECT_FALSE(MonitorState::decodeText("not json"));
    EXPECT_FALSE(MonitorState::decodeText(""));
    EXPECT_TRUE(MonitorState::decodeText("{}"));
}

// A damaged file must not reach the speakers as a gain of 10^20.
TEST(MonitorState, StoredLevelsAreClampedIntoTheControlsRanges) {
    EXPECT_EQ(decode(R"({"volumeDB": 400})").volumeDB, MonitorState::maxVolumeDB);
    EXPECT_EQ(decode(R"({"volumeDB": -1000})").volumeDB, MonitorState::minVolumeDB);
    EXPECT_EQ(decode(R"({"volumeDB": 1.7e308})").volumeDB, MonitorState::maxVolumeDB);
    // Past the doubles the parser gives up: the stored text is unreadable as a whole.
    EXPECT_FALSE(MonitorState::decodeText(R"({"volumeDB": 1e400})"));
    EXPECT_EQ(decode(R"({"volumeDB": -12.5})").volumeDB, -12.5);
    EXPECT_EQ(decode(R"({"heightTrimDB": 400})").heightTrimDB, MonitorState::maxHeightTrimDB);
    EXPECT_EQ(decode(R"({"heightTrimDB": -400})").heightTrimDB, MonitorState::minHeightTrimDB);
    EXPECT_EQ(decode(R"({"heightTrimDB": 5.5})").heightTrimDB, 5.5);
    EXPECT_EQ(MonitorState::maxVolumeDB, 12);
    EXPECT_EQ(MonitorState::minVolumeDB, -60);
    EXPECT_EQ(MonitorState::maxHeightTrimDB, 6);
    EXPECT_EQ(MonitorState::minHeightTrimDB, -12);
}

// Every key, given a value of a JSON kind it does not take (in random
// combinations with the other keys), falls back to its own default and
// leaves the well-typed keys alone; the object as a whole always decodes.
TEST(MonitorState, RandomWrongKindsPerKeyNeverSpoilTheOthers) {
    const MonitorState good = unusual();
    const json goodJson = json::parse(good.encode());
    const json defaults = json::parse(MonitorState{}.encode());
    enum Kind { null, boolean, integer, fraction, text, array, object };
    const std::vector<std::vector<json>> samples = {
        {json(nullptr)},
        {json(true), json(false)},
        {json(0), json(17), json(-3), json(9007199254740993LL)},
        {json(1.5), json(-0.25), json(1e300)},
        {json(""), json("l51x"), json("Stereo"), json("12")},
        {json::array(), json::array({"L", 2}), json::array({1, 2}), json::array({"Q"})},
        {json::object(), json::object({{"L", true}})}};
    // The kinds each key does not take (an array of unknown names counts as
    // a wrong array; every object is a tolerable upmix object).
    const std::vector<std::pair<std::string, std::vector<Kind>>> keys = {
        {"source", {null, boolean, integer, fraction, text, array, object}},
        {"sourceOffset", {null, boolean, fraction, text, array, object}},
        {"mode", {null, boolean, integer, fraction, text, array, object}},
        {"volumeDB", {null, boolean, text, array, object}},
        {"dim", {null, integer, fraction, text, array, object}},
        {"mute", {null, integer, fraction, text, array, object}},
        {"heightTrimDB", {null, boolean, text, array, object}},
        {"solo", {null, boolean, integer, fraction, text, array, object}},
        {"muted", {null, boolean, integer, fraction, text, array, object}},
        {"upmix", {null, boolean, integer, fraction, text, array}}};
    std::mt19937 rng(20);
    for (int round = 0; round < 3000; ++round) {
        json j = goodJson;
        json want = goodJson;
        for (const auto& [key, kinds] : keys) {
            const unsigned pick = rng() % 4;
            if (pick == 0) continue;  // stays good
            want[key] = defaults[key];
            if (pick == 1) {
                j.erase(key);
                continue;
            }
            const auto& pool = samples[kinds[rng() % kinds.size()]];
            j[key] = pool[rng() % pool.size()];
        }
        MonitorState s;
        ASSERT_NO_THROW(s = j.get<MonitorState>()) << j.dump();
        ASSERT_EQ(json::parse(s.encode()), want) << j.dump();
    }
}
