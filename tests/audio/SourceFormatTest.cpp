#include "audio/SourceFormat.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unordered_set>

#include "support/AudioPrinters.h"

using namespace qm;
using S = SpeakerID;

TEST(SourceFormat, DisplayNames) {
    EXPECT_EQ(SourceFormat::speakers({S::C}).displayName(), "Mono");
    EXPECT_EQ(SourceFormat::speakers({S::L, S::R}).displayName(), "Stereo");
    EXPECT_EQ(SourceFormat::speakers({S::L, S::R, S::Ls, S::Rs}).displayName(), "Quad");
    EXPECT_EQ(SourceFormat::speakers({S::L, S::C, S::R, S::Ls, S::Rs, S::LFE}).displayName(), "5.1 Film");
    EXPECT_EQ(SourceFormat::speakers({S::L, S::R, S::C}).displayName(), "3-ch bed");
    EXPECT_EQ(SourceFormat::speakers({}).displayName(), "0-ch bed");
    const char* names[] = {"Stereo", "5.1", "7.1", "5.1.4", "7.1.2", "7.1.4", "9.1.6"};
    for (LayoutID id : layout::allCases()) {
        EXPECT_EQ(SourceFormat::speakers(layout::speakers(id)).displayName(),
                  names[static_cast<int>(id)]);
        if (auto film = layout::filmOrder(id)) {
            EXPECT_EQ(SourceFormat::speakers(*film).displayName(),
                      std::string(names[static_cast<int>(id)]) + " Film");
        }
    }
    EXPECT_EQ(SourceFormat::ambisonic(1, AmbiNorm::sn3d).displayName(), "AmbiX 1st order");
    EXPECT_EQ(SourceFormat::ambisonic(3, AmbiNorm::n3d).displayName(), "ACN/N3D 3rd order");
    EXPECT_EQ(SourceFormat::ambisonic(2, AmbiNorm::fuma).displayName(), "FuMa 2nd order");
    EXPECT_EQ(SourceFormat::ambisonic(5, AmbiNorm::sn3d).displayName(), "AmbiX 3rd order");
    EXPECT_EQ(SourceFormat::ambisonic(0, AmbiNorm::fuma).displayName(), "FuMa  order");
    EXPECT_EQ(SourceFormat::discrete(7).displayName(), "7-ch discrete");
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
