#include "edit/TempEditExporter.h"
#include "platform/AppError.h"

#include "edit/PeakCache.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

using namespace qm;

TEST(TempEditExporter, NoteLinesAndMasks) {
    EditPlan plan;
    plan.map = "b1-b4";
    plan.quality = 0.9985;  // shown as 100 without decimals
    EXPECT_EQ(TempEditExporter::noteLines("T - 30s.wav", 30.004, plan),
              (std::vector<std::string>{"T - 30s.wav    (30.00 s)  \u00b7 splice match 100%", "    b1-b4"}));
    plan.quality = 0.999;
    EXPECT_EQ(TempEditExporter::noteLines("T - 30s.wav", 30, plan)[0], "T - 30s.wav    (30.00 s)");
    EXPECT_EQ(TempEditExporter::mask(2), 3u);
    EXPECT_EQ(TempEditExporter::mask(1), 4u);
    EXPECT_EQ(TempEditExporter::mask(6), 0u);
}

TEST(TempEditExporter, AFailedWavFileLeavesNoNotes) {
    test::TempDir dir;
    TempEditExporter::Job job;
    job.base = "Theme";
    job.sampleRate = 48000;
    job.folder = dir / "Theme Edits";
    job.header = {"Quillmarsh temp edits: Theme"};
    EditPlan ok;
    ok.name = "Full";
    ok.spans = {{0, 4800}};
    job.plans = {ok, ok};
    job.plans[1].name = "Long";
    // The second file's name is taken by a folder: it cannot be written.
    std::filesystem::create_directories(job.folder / "Theme - Long.wav");
    const EditOps::Channels channels(2, std::vector<float>(48000, 0.25f));
    EXPECT_THROW(TempEditExporter::write(job, channels), AppError);
    EXPECT_TRUE(std::filesystem::is_regular_file(job.folder / "Theme - Full.wav"));
    EXPECT_FALSE(std::filesystem::exists(job.folder / "Theme - Edit Notes.txt"));

    job.plans.pop_back();
    const auto result = TempEditExporter::write(job, channels);
    EXPECT_EQ(result.files, std::vector<std::filesystem::path>{job.folder / "Theme - Full.wav"});
    EXPECT_EQ(test::readBytes(result.notes), "Quillmarsh temp edits: Theme\n\nTheme - Full.wav    (0.10 s)\n    ");
}

TEST(PeakCache, OneMinAndMaxPer256Frames) {
    PeakCache peaks;
    std::vector<float> ramp(257);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) - 100;
    peaks.rebuild({{0.5f}, ramp, {}});
    EXPECT_EQ(peaks.mins[0], std::vector<float>{0.5f});
    EXPECT_EQ(peaks.mins[1], (std::vector<float>{-100, 156}));
    EXPECT_EQ(peaks.maxs[1], (std::vector<float>{155, 156}));
    EXPECT_TRUE(peaks.mins[2].empty());
}
