#include "audio/UpmixRequest.h"
#include "audio/UpmixSettings.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace qm;
using json = nlohmann::json;
using LFE = UpmixParams::LFEMode;

namespace {
UpmixSettings decodeSettings(const std::string& text) { return json::parse(text).get<UpmixSettings>(); }
UpmixParams decodeParams(const std::string& text) { return json::parse(text).get<UpmixParams>(); }
}  // namespace

TEST(UpmixSettings, PresetsDifferAndNamesDecodeStrictly) {
    EXPECT_EQ(upmixPreset::params(UpmixPreset::music).centerWidth, 0.42857142857142855);
    EXPECT_TRUE(upmixPreset::params(UpmixPreset::broadcast).exact);
    for (auto a : upmixPreset::allCases()) {
        for (auto b : upmixPreset::allCases())
            EXPECT_EQ(a == b, upmixPreset::params(a) == upmixPreset::params(b));
        EXPECT_EQ(upmixPreset::fromRawValue(upmixPreset::rawValue(a)), a);
        EXPECT_EQ(json(a).get<UpmixPreset>(), a);
    }
    for (auto m : lfeMode::allCases()) EXPECT_EQ(json(m).get<LFE>(), m);
    EXPECT_FALSE(upmixPreset::fromRawValue("Film"));
    EXPECT_FALSE(upmixPreset::fromRawValue(""));
    EXPECT_FALSE(lfeMode::fromRawValue("on"));
    EXPECT_EQ(json(UpmixPreset::broadcast), "broadcast");
    EXPECT_THROW(json("Music").get<UpmixPreset>(), json::exception);
    EXPECT_THROW(json(1).get<LFE>(), json::exception);
}

TEST(UpmixSettings, TwoSetsOfDefaults) {
    UpmixSettings fresh;
    EXPECT_FALSE(fresh.enabled);
    EXPECT_EQ(fresh.preset, UpmixPreset::music);
    EXPECT_EQ(fresh.params, upmixPreset::params(UpmixPreset::music));

    EXPECT_EQ(decodeSettings("{}"), UpmixSettings{});
    // Without params the decoded preset's row is in force...
    auto film = decodeSettings(R"({"enabled": true, "preset": "film"})");
    EXPECT_TRUE(film.enabled);
    EXPECT_EQ(film.params, upmixPreset::params(UpmixPreset::film));
    for (const char* bad : {R"("params": null)", R"("params": 3)", R"("params": [1])"})
        EXPECT_EQ(decodeSettings(std::string(R"({"preset": "film", )") + bad + "}").params,
                  upmixPreset::params(UpmixPreset::film))
            << bad;
    // ...while an empty parameter object gives the decoder defaults.
    auto empty = decodeSettings(R"({"enabled": true, "preset": "film", "params": {}})");
    EXPECT_EQ(empty.params, UpmixParams{});
    EXPECT_NE(empty.params, upmixPreset::params(UpmixPreset::music));
}

TEST(UpmixSettings, DecodingIsTolerantPerKey) {
    auto s = decodeSettings(R"({"enabled": 1, "preset": "Film", "extra": [1, 2]})");
    EXPECT_FALSE(s.enabled);  // a number is not a boolean
    EXPECT_EQ(s.preset, UpmixPreset::music);
    EXPECT_EQ(s.params, upmixPreset::params(UpmixPreset::music));
    EXPECT_EQ(decodeSettings(R"({"preset": 7})").preset, UpmixPreset::music);

    auto p = decodeParams(R"({"roomMs": "12"})");
    EXPECT_EQ(p, UpmixParams{});
    p = decodeParams(R"({"lfe": "on", "exact": 1, "stage": true, "focus": 2, "lfeHz": 90.5})");
    EXPECT_EQ(p.lfe, LFE::off);
    EXPECT_FALSE(p.exact);
    EXPECT_EQ(p.stage, 30);
    EXPECT_EQ(p.focus, 2);
    EXPECT_EQ(p.lfeHz, 90.5);
    EXPECT_EQ(decodeParams(R"({"lfe": "split", "exact": true, "heightDB": null})").lfe, LFE::split);

    EXPECT_THROW(decodeParams("[]"), json::exception);
    EXPECT_THROW(decodeSettings("\"music\""), json::exception);
}

TEST(UpmixSettings, RoundTripsAndEncodedForm) {
    for (auto preset : upmixPreset::allCases()) {
        UpmixSettings s{true, preset, upmixPreset::params(preset)};
        s.params.heightTilt = 0.1 + 0.2;  // survives to the last bit
        EXPECT_EQ(json(s).get<UpmixSettings>(), s);
    }
    // The preset may name a row that differs from the parameters in force.
    UpmixSettings mixed{false, UpmixPreset::speech, upmixPreset::params(UpmixPreset::film)};
    EXPECT_EQ(json(mixed).get<UpmixSettings>(), mixed);

    nlohmann::ordered_json j = UpmixSettings{};
    EXPECT_EQ(j.begin().key(), "enabled");
    EXPECT_EQ(j["preset"], "music");
    const auto& params = j["params"];
    ASSERT_EQ(params.size(), 20u);
    std::vector<std::string> keys;
    for (auto it = params.begin(); it != params.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys.front(), "strength");
    EXPECT_EQ(keys[16], "lfe");
    EXPECT_EQ(keys.back(), "exact");
    EXPECT_EQ(params["lfe"], "off");
    EXPECT_TRUE(params["exact"].is_boolean());

    // JSON cannot hold a NaN: encoding fails rather than writing null.
    UpmixParams nan;
    nan.roomMs = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW((void)json(nan), json::exception);
    UpmixSettings s;
    s.params.shelfDB = -std::numeric_limits<double>::infinity();
    EXPECT_THROW((void)json(s), json::exception);
}

TEST(UpmixSettings, EqualityIsExact) {
    UpmixParams a, b;
    b.exact = true;
    EXPECT_NE(a, b);
    a.lfeDB = b.lfeDB = std::nan("");
    b.exact = false;
    EXPECT_NE(a, b);
    EXPECT_NE(a, a);
}

TEST(UpmixRequest, Applicability) {
    using S = SpeakerID;
    using V = std::vector<SpeakerID>;
    const V stereo{S::L, S::R};
    EXPECT_FALSE(UpmixPlanner::applies(stereo, stereo));
    EXPECT_FALSE(UpmixPlanner::applies(stereo, {S::L, S::R, S::LFE}));
    EXPECT_TRUE(UpmixPlanner::applies(stereo, {S::L, S::R, S::C}));
    const V s51 = layout::speakers(LayoutID::l51);
    EXPECT_TRUE(UpmixPlanner::applies(s51, layout::speakers(LayoutID::l71)));
    EXPECT_FALSE(UpmixPlanner::applies(s51, s51));
    EXPECT_FALSE(UpmixPlanner::applies({S::C}, {S::L, S::R, S::C}));
    EXPECT_FALSE(UpmixPlanner::applies(stereo, {S::C, S::Ls, S::Rs}));
    // A reversed pair is not a stereo source: it is judged by its fills.
    EXPECT_FALSE(UpmixPlanner::applies({S::R, S::L}, {S::L, S::R, S::C}));
    EXPECT_TRUE(UpmixPlanner::applies({S::R, S::L}, {S::L, S::R, S::Ls}));

    EXPECT_EQ(UpmixPlanner::fills(stereo, s51), (std::vector<int>{4, 5}));
    EXPECT_EQ(UpmixPlanner::fills({S::Ls}, {S::C, S::LFE, S::L, S::Ls, S::Rs}),
              (std::vector<int>{2, 4}));

    UpmixRequest r{stereo, s51, UpmixParams{}};
    UpmixRequest other = r;
    EXPECT_EQ(r, other);
    other.params.focus = 1.5;
    EXPECT_NE(r, other);
    other = r;
    other.target = {S::R, S::L, S::C, S::LFE, S::Ls, S::Rs};
    EXPECT_NE(r, other);
}
