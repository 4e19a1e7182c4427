// The source format, lanes, upmix offers and drag-out files of the player.
#include "app/player/PlayerModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/AudioFileReader.h"
#include "app/player/PlayerFixture.h"
#include "support/AudioFiles.h"

using namespace qm;
using namespace std::chrono_literals;
using test::Player;
using test::pump;
using Labels = std::vector<std::string>;

namespace {

std::filesystem::path write(Player& p, const std::string& name, int channels, test::AudioFileOptions options = {}) {
    const auto file = p.dir / name;
    test::writeTestFile(file, channels, 9600, 48000, options);
    return file;
}

const test::AudioFileOptions kFiveOne{.kind = test::FileKind::wavex, .channelMask = 0x3F};

void useProfile(Player& p, const std::string& name) {
    p.settings.update([&](AppSettings& s) {
        for (const auto& profile : s.profiles)
            if (profile.name == name) s.activeProfileID = profile.id;
    });
    ASSERT_EQ(p.settings.activeProfile().name, name);
}

std::vector<std::vector<float>> readAll(const std::filesystem::path& file) {
    auto reader = AudioFileReader::open(file);
    const auto& f = reader->format();
    std::vector<std::vector<float>> out(static_cast<size_t>(f.channels), std::vector<float>(static_cast<size_t>(f.frames)));
    std::vector<float*> ptrs;
    for (auto& c : out) ptrs.push_back(c.data());
    reader->read(0, ptrs.data(), f.frames);
    return out;
}

}  // namespace

TEST(PlayerOutput, LaneLabelsFollowTheSourceFormat) {
    Player p;
    EXPECT_EQ(p.model.laneLabels(), Labels{}) << "no file";

    ASSERT_TRUE(p.load(write(p, "voice.wav", 1)));
    EXPECT_EQ(p.model.laneLabels(), Labels{""});

    ASSERT_TRUE(p.load(write(p, "Street_ambix.wav", 4)));
    ASSERT_TRUE(p.model.source()->isAmbisonic());
    EXPECT_EQ(p.model.laneLabels(), (Labels{"W", "Y", "Z", "X"}));
    p.model.setFormatOverride(SourceFormat::ambisonic(1, AmbiNorm::fuma));
    EXPECT_EQ(p.model.laneLabels(), (Labels{"W", "X", "Y", "Z"}));
    p.model.setFormatOverride(SourceFormat::discrete(4));
    EXPECT_EQ(p.model.laneLabels(), (Labels{"1", "2", "3", "4"}));

    ASSERT_TRUE(p.load(write(p, "Hall_ambix.wav", 16)));
    EXPECT_FALSE(p.model.formatOverride()) << "a new file clears the override";
    p.model.setFormatOverride(SourceFormat::ambisonic(3, AmbiNorm::sn3d));
    Labels acn{"W", "Y", "Z", "X"};
    for (int i = 4; i < 16; ++i) acn.push_back(std::to_string(i));
    EXPECT_EQ(p.model.laneLabels(), acn);
    p.model.setFormatOverride(SourceFormat::ambisonic(3, AmbiNorm::fuma));
    EXPECT_EQ(p.model.laneLabels(), (Labels{"W", "X", "Y", "Z"})) << "FuMa names four channels at most";

    ASSERT_TRUE(p.load(write(p, "many.wav", 24)));
    p.model.setFormatOverride(SourceFormat::discrete(24));
    Labels numbers;
    for (int i = 1; i <= 16; ++i) numbers.push_back(std::to_string(i));
    EXPECT_EQ(p.model.laneLabels(), numbers);

    ASSERT_TRUE(p.load(write(p, "bed.wav", 6, kFiveOne)));
    EXPECT_EQ(p.model.laneLabels(), (Labels{"L", "R", "C", "LFE", "Ls", "Rs"}));
}

TEST(PlayerOutput, DragFormsAndUpmixOffersFollowTheSourceAndTheProfile) {
    Player p;
    using D = DragExport;
    useProfile(p, "Nearfield");

    ASSERT_TRUE(p.load(write(p, "voice.wav", 1)));
    EXPECT_EQ(p.model.dragOptions(), std::vector<D>{D::original()});

    const auto stereo = write(p, "music.wav", 2);
    ASSERT_TRUE(p.load(stereo));
    EXPECT_EQ(p.model.dragOptions(), std::vector<D>{D::original()}) << "upmix off";
    EXPECT_FALSE(p.model.canUpmix()) << "Nearfield is stereo: nothing to fill";
    UpmixSettings on = p.model.upmix();
    on.enabled = true;
    p.model.setUpmix(on);
    EXPECT_EQ(p.model.dragOptions(),
              (std::vector<D>{D::original(), D::upmix(LayoutID::l916), D::upmix(LayoutID::l714), D::upmix(LayoutID::l51)}));
    p.model.setDragExport(D::upmix(LayoutID::l714));
    on.enabled = false;
    p.model.setUpmix(on);
    EXPECT_EQ(p.model.dragExport(), D::original()) << "turning the upmix off takes its forms away";

    ASSERT_TRUE(p.load(write(p, "Street_ambix.wav", 4)));
    const auto ambi = p.model.dragOptions();
    ASSERT_EQ(ambi.size(), 7u);
    EXPECT_EQ(ambi[3], D::bed(LayoutID::l712));
    EXPECT_EQ(ambi.back(), D::binaural());
    EXPECT_FALSE(p.model.canUpmix()) << "Ambisonics";

    ASSERT_TRUE(p.load(write(p, "six.wav", 6)));
    p.model.setFormatOverride(SourceFormat::discrete(6));
    EXPECT_EQ(p.model.dragOptions(), std::vector<D>{D::original()});
    EXPECT_FALSE(p.model.canUpmix()) << "discrete";
    p.model.setFormatOverride(SourceFormat::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(p.model.dragOptions().size(), 6u);
    p.model.setDragExport(D::bed(LayoutID::l714));
    QSignalSpy overrides(&p.model, &PlayerModel::formatOverrideChanged);
    p.model.setFormatOverride(p.model.formatOverride());
    EXPECT_EQ(overrides.count(), 0) << "an equal override triggers nothing";
    p.model.setFormatOverride(SourceFormat::discrete(6));
    EXPECT_EQ(p.model.dragExport(), D::original()) << "the form is no longer offered";

    // A speakers override of another channel count never offers an upmix.
    on.enabled = true;
    p.model.setUpmix(on);
    p.model.setFormatOverride(SourceFormat::speakers({SpeakerID::L, SpeakerID::R}));
    EXPECT_FALSE(p.model.canUpmix());
    EXPECT_EQ(p.model.dragOptions(), std::vector<D>{D::original()});

    // On headphones the upmix is judged against 7.1.4, whatever the profile's layout.
    ASSERT_TRUE(p.load(stereo));
    useProfile(p, "Headphones");
    EXPECT_TRUE(p.model.canUpmix());
    // A 5.1 file keeps its forms when the next file offers them too; not otherwise.
    ASSERT_TRUE(p.load(write(p, "bed.wav", 6, kFiveOne)));
    p.model.setDragExport(D::binaural());
    ASSERT_TRUE(p.load(write(p, "bed2.wav", 6, kFiveOne)));
    EXPECT_EQ(p.model.dragExport(), D::binaural());
    ASSERT_TRUE(p.load(stereo));
    EXPECT_EQ(p.model.dragExport(), D::original());
}

TEST(PlayerOutput, DragOutRendersTheChosenFormAndNeverTheListenMode) {
    Player p;
    const auto pulls = p.dir / "pulls";
    p.settings.update([&](AppSettings& s) { s.pullsFolder = pulls.string(); });
    EXPECT_FALSE(p.model.exportForDrag(false)) << "no file";
    EXPECT_FALSE(p.model.message());

    ASSERT_TRUE(p.load(write(p, "bed.wav", 6, kFiveOne)));
    p.model.setDragExport(DragExport::bed(LayoutID::stereo));
    auto folded = p.model.exportForDrag(false);
    ASSERT_TRUE(folded) << p.model.message().value_or("");
    EXPECT_EQ(AudioFileReader::open(*folded)->format().channels, 2);
    EXPECT_EQ(folded->parent_path().parent_path(), pulls);
    p.model.setDragExport(DragExport::binaural());
    auto ears = p.model.exportForDrag(false);
    ASSERT_TRUE(ears) << p.model.message().value_or("");
    EXPECT_EQ(AudioFileReader::open(*ears)->format().channels, 2);

    const auto stereo = write(p, "music.wav", 2);
    ASSERT_TRUE(p.load(stereo));
    UpmixSettings on = p.model.upmix();
    on.enabled = true;
    p.model.setUpmix(on);
    p.model.setDragExport(DragExport::upmix(LayoutID::l714));
    auto up = p.model.exportForDrag(false);
    ASSERT_TRUE(up) << p.model.message().value_or("");
    EXPECT_EQ(AudioFileReader::open(*up)->format().channels, 12);
    EXPECT_NE(up->filename().string().find("music"), std::string::npos);

    // A mono sum while listening changes no sample of the file.
    p.model.setDragExport(DragExport::original());
    p.model.setListen(ListenMode::mono);
    EXPECT_EQ(p.model.exportForDrag(true), stereo) << "no selection: the whole file, which is the source itself";
    p.model.select(FrameRange{1000, 5000});
    p.model.stop();
    auto cut = p.model.exportForDrag(true);
    ASSERT_TRUE(cut) << p.model.message().value_or("");
    const auto samples = readAll(*cut);
    ASSERT_EQ(samples.size(), 2u);
    ASSERT_EQ(samples[0].size(), 4000u);
    for (int c = 0; c < 2; ++c)
        for (int64_t i = 0; i < 4000; ++i)
            ASSERT_FLOAT_EQ(samples[static_cast<size_t>(c)][static_cast<size_t>(i)], test::staircase(c, 1000 + i)) << c << " " << i;

    // A pulls folder that cannot be made: a message and no file.
    std::ofstream(p.dir / "plain") << "a file";
    p.settings.update([&](AppSettings& s) { s.pullsFolder = (p.dir / "plain" / "pulls").string(); });
    EXPECT_FALSE(p.model.exportForDrag(true));
    EXPECT_TRUE(p.model.message());
}
