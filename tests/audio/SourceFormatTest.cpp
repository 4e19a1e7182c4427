#include "audio/SourceFormat.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unordered_set>

#include "support/AudioPrinters.h"

using namespace qm;
using S = SpeakerID;

TEST(SourceFormat, DisplayNames) {
    using F = SourceFormat;
    const std::pair<F, const char*> cases[] = {
        {F::speakers({S::C}), "Mono"},
        {F::speakers({S::L, S::R, S::Ls, S::Rs}), "Quad"},
        {F::speakers(*layout::filmOrder(LayoutID::l51)), "5.1 Film"},
        {F::speakers(layout::speakers(LayoutID::l916)), "9.1.6"},
        {F::speakers({S::L, S::R, S::C}), "3-ch bed"},
        {F::speakers({}), "0-ch bed"},
        {F::ambisonic(1, AmbiNorm::sn3d), "AmbiX 1st order"},
        {F::ambisonic(3, AmbiNorm::n3d), "ACN/N3D 3rd order"},
        {F::ambisonic(2, AmbiNorm::fuma), "FuMa 2nd order"},
        {F::ambisonic(5, AmbiNorm::sn3d), "AmbiX 3rd order"},
        {F::ambisonic(0, AmbiNorm::fuma), "FuMa  order"},
        {F::discrete(7), "7-ch discrete"},
    };
    for (const auto& [format, name] : cases) EXPECT_EQ(format.displayName(), name);
}

TEST(SourceFormat, OptionsPerChannelCount) {
    using F = SourceFormat;
    EXPECT_EQ(F::options(1), std::vector<F>{F::speakers({S::C})});
    EXPECT_EQ(F::options(3), std::vector<F>{F::discrete(3)});
    EXPECT_EQ(F::options(4),
              (std::vector<F>{F::speakers({S::L, S::R, S::Ls, S::Rs}), F::ambisonic(1, AmbiNorm::sn3d),
                              F::ambisonic(1, AmbiNorm::fuma), F::discrete(4)}));
    EXPECT_EQ(F::options(6)[1], F::speakers(*layout::filmOrder(LayoutID::l51)));
    // 7.1.2 before 5.1.4: an unlabelled 10-channel file is read as 7.1.2.
    EXPECT_EQ(F::options(10), (std::vector<F>{F::speakers(layout::speakers(LayoutID::l712)),
                                              F::speakers(layout::speakers(LayoutID::l514)),
                                              F::discrete(10)}));
    EXPECT_EQ(F::options(16)[2], F::ambisonic(3, AmbiNorm::n3d));
    EXPECT_EQ(F::options(64), std::vector<F>{F::discrete(64)});
    EXPECT_TRUE(F::options(0).empty());
    EXPECT_TRUE(F::options(-3).empty());
}

TEST(SourceFormat, EqualityAndHashFollowCaseAndPayload) {
    using F = SourceFormat;
    std::unordered_set<F> set = {F::speakers({S::L, S::R}), F::discrete(2), F::ambisonic(1, AmbiNorm::sn3d),
                                 F::ambisonic(1, AmbiNorm::fuma), F::speakers({S::R, S::L})};
    EXPECT_EQ(set.size(), 5u);
    EXPECT_TRUE(set.contains(F::ambisonic(1, AmbiNorm::fuma)));
    EXPECT_NE(F::discrete(4), F::ambisonic(1, AmbiNorm::sn3d));
}

TEST(SourceFormat, AmbiNormIsCodedAsItsRawString) {
    EXPECT_EQ(nlohmann::json(AmbiNorm::n3d), "n3d");
    EXPECT_EQ(nlohmann::json("fuma").get<AmbiNorm>(), AmbiNorm::fuma);
    EXPECT_THROW(nlohmann::json("N3D").get<AmbiNorm>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(1).get<AmbiNorm>(), nlohmann::json::exception);
}
