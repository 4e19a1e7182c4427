#include "audio/Speakers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace qm;
using S = SpeakerID;

TEST(Speakers, SurroundPairMovesToTheSidesOnlyWithARearPair) {
    EXPECT_EQ(speaker::direction(S::Ls, layout::speakers(LayoutID::l51)).az, 110);
    EXPECT_EQ(speaker::direction(S::Ls, layout::speakers(LayoutID::l71)).az, 90);
    EXPECT_EQ(speaker::direction(S::Ls, {S::Ls, S::Rs, S::Rrs}).az, 90);
    EXPECT_EQ(speaker::direction(S::Ls, {}).az, 110);
    EXPECT_EQ(speaker::label(S::Rs, layout::speakers(LayoutID::l714)), "Rss");
    EXPECT_EQ(speaker::label(S::Rs, layout::speakers(LayoutID::l51)), "Rs");
    EXPECT_EQ(speaker::label(S::LFE, {}), "LFE");
}

TEST(Speakers, AnglesBetweenDirections) {
    EXPECT_NEAR((Direction{30, 0}.angle({-30, 0})), 60, 1e-9);
    for (double e : {-30.0, 0.0, 45.0, 89.0}) EXPECT_NEAR((Direction{0, 90}.angle({77, e})), 90 - e, 1e-9);
    for (const auto& s : speaker::allCases()) {
        Direction d = speaker::direction(s, layout::speakers(LayoutID::l916));
        EXPECT_EQ(d.angle(d), 0.0);
    }
}

TEST(Speakers, WaveMasksOrderChannelsByBit) {
    auto m714 = WaveMask::mask(layout::speakers(LayoutID::l714));
    ASSERT_TRUE(m714);
    EXPECT_EQ(m714->mask, 0x2D63Fu);
    EXPECT_EQ(m714->order, (std::vector<SpeakerID>{S::L, S::R, S::C, S::LFE, S::Lrs, S::Rrs, S::Ls,
                                                   S::Rs, S::Ltf, S::Rtf, S::Ltr, S::Rtr}));
    // Speakers without a WAVE bit, or twice the same one: no mask.
    EXPECT_FALSE(WaveMask::mask(layout::speakers(LayoutID::l712)));
    EXPECT_FALSE(WaveMask::mask({S::L, S::L}));
    EXPECT_EQ(WaveMask::mask({S::R, S::L}), (WaveMask::Result{0x3u, {S::L, S::R}}));
    EXPECT_EQ(WaveMask::mask({}), (WaveMask::Result{0, {}}));
}

TEST(Speakers, JsonForms) {
    using nlohmann::json;
    EXPECT_THROW(json::parse(R"({"az": 30})").get<Direction>(), json::exception);
    auto d = json::parse(R"({"az": 30, "el": -5.5})").get<Direction>();
    EXPECT_EQ(d, (Direction{30, -5.5}));
    EXPECT_EQ(json(d).dump(), R"({"az":30.0,"el":-5.5})");
    EXPECT_EQ(json("l916").get<LayoutID>(), LayoutID::l916);
    EXPECT_THROW(json("9.1.6").get<LayoutID>(), json::exception);
    EXPECT_THROW(json("Xyz").get<SpeakerID>(), json::exception);
    EXPECT_EQ(json(S::Ltm).get<std::string>(), "Ltm");
    for (LayoutID l : layout::allCases()) EXPECT_EQ(json(l).get<LayoutID>(), l);
}
