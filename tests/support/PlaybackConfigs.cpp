#include "support/PlaybackConfigs.h"

#include "spatial/UpmixFFT.h"

namespace qm::test {

namespace {

std::vector<float> flatten(const Matrix& m, int columns) {
    std::vector<float> out;
    for (const auto& row : m) {
        for (int c = 0; c < columns; ++c) out.push_back(static_cast<float>(row[c]));
    }
    return out;
}

}  // namespace

MixConfig stereoOnLayout(LayoutID target) {
    const auto& speakers = layout::speakers(target);
    MixConfig c;
    c.inChannels = 2;
    c.rows = static_cast<int>(speakers.size());
    c.matrix = flatten(MixBuilder::layoutMatrix(SourceFormat::speakers({SpeakerID::L, SpeakerID::R}), 2,
                                                speakers, ListenMode::normal, Rotation{}, false),
                       2);
    c.binLeft = kNoDeviceChannel;
    c.binRight = kNoDeviceChannel;
    return c;
}

MixConfig bedBinaural(LayoutID bed) {
    const auto& speakers = layout::speakers(bed);
    const int n = static_cast<int>(speakers.size());
    MixConfig c;
    c.inChannels = n;
    c.rows = n;
    c.matrix.assign(static_cast<size_t>(n * n), 0.0f);
    for (int i = 0; i < n; ++i) {
        c.matrix[static_cast<size_t>(i * n + i)] = 1.0f;
        c.virtualDirections.push_back(speaker::direction(speakers[i], speakers));
    }
    c.toBinaural = true;
    c.binLeft = 0;
    c.binRight = 1;
    return c;
}

MixConfig stereoUpmixedBinaural(LayoutID bed) {
    MixConfig c = bedBinaural(bed);
    c.upmix = UpmixRequest{{SpeakerID::L, SpeakerID::R}, layout::speakers(bed),
                           upmixPreset::params(UpmixPreset::music)};
    c.upmixOffset = 0;
    return c;
}

PassthroughUpmix::PassthroughUpmix(int fftSize, double sampleRate)
    : raw(mn_upmix_create(2, 2, fftSize, sampleRate, UpmixFFT::ops())) {
    plan.routes = 2;
    plan.route_in = in.data();
    plan.route_out = out.data();
    plan.route_gain = gain.data();
    plan.lfe_out = -1;
    if (raw) mn_upmix_set_plan(raw, &plan);
}

PassthroughUpmix::~PassthroughUpmix() { mn_upmix_destroy(raw); }

}  // namespace qm::test
