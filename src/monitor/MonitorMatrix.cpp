#include "monitor/MonitorMatrix.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "spatial/UpmixPlanner.h"

namespace qm::MonitorMatrix {

namespace {

constexpr double heightAbove = 20.0;  // degrees: speakers above it take the height trim

double dbToGain(double db) { return std::pow(10.0, db / 20.0); }

Matrix layoutOnto(const std::vector<SpeakerID>& from, const std::vector<SpeakerID>& to) {
    return MixBuilder::layoutMatrix(SourceFormat::speakers(from), static_cast<int>(from.size()), to,
                                    ListenMode::normal, Rotation{}, true);
}

// Every source speaker but LFE at 1/√N into one centre row.
Matrix monoRow(const std::vector<SpeakerID>& source) {
    const auto n = std::count_if(source.begin(), source.end(), [](SpeakerID s) { return s != SpeakerID::LFE; });
    const double g = 1.0 / std::sqrt(static_cast<double>(std::max<std::ptrdiff_t>(n, 1)));
    Matrix f(1);
    for (SpeakerID s : source) f[0].push_back(s == SpeakerID::LFE ? 0.0 : g);
    return f;
}

// The input column of matrix column c shifted by `offset`, or -1 when it
// falls outside 0 ..< width. Written so that no offset, however large, overflows.
int64_t shiftedColumn(int64_t c, int64_t offset, int64_t width) {
    if (offset < -c || offset >= width - c) return -1;
    return c + offset;
}

}  // namespace

Matrix multiply(const Matrix& a, const Matrix& b) {
    if (a.empty() || b.empty()) return {};
    const size_t n = b.front().size();
    Matrix out(a.size(), std::vector<double>(n, 0.0));
    for (size_t i = 0; i < a.size(); ++i) {
        const size_t inner = std::min(a[i].size(), b.size());
        for (size_t j = 0; j < n; ++j) {
            double sum = 0;
            for (size_t k = 0; k < inner; ++k) sum += a[i][k] * b[k][j];
            out[i][j] = sum;
        }
    }
    return out;
}

std::vector<SpeakerID> foldDownSpeakers(MonitorMode mode, const std::vector<SpeakerID>& target) {
    switch (mode) {
        case MonitorMode::full: return target;
        case MonitorMode::l714: return layout::speakers(LayoutID::l714);
        case MonitorMode::l51: return layout::speakers(LayoutID::l51);
        case MonitorMode::stereo: return layout::speakers(LayoutID::stereo);
        case MonitorMode::mono: return {SpeakerID::C};
    }
    return target;
}

MixConfig build(const MonitorState& state, int inputChannels, const OutputProfile& profile,
                int deviceChannels, const ChannelSpeakers& deviceSpeakers) {
    inputChannels = std::max(inputChannels, 0);
    deviceChannels = std::max(deviceChannels, 0);
    const bool headphones = profile.kind == OutputProfile::Kind::headphones;
    const std::vector<SpeakerID>& layoutSpeakers = layout::speakers(profile.layout);

    std::vector<SpeakerID> source = monitorSource::speakers(state.source);
    const std::vector<SpeakerID> target =
        headphones ? layout::speakers(LayoutID::stereo) : layoutSpeakers;

    std::optional<UpmixRequest> request;
    if (state.upmix.enabled && !headphones && UpmixPlanner::applies(source, layoutSpeakers)) {
        request = UpmixRequest{source, layoutSpeakers, state.upmix.params};
        source = layoutSpeakers;  // from here on the bus arrives upmixed
    }

    const std::vector<SpeakerID> fold = foldDownSpeakers(state.mode, target);
    Matrix f = state.mode == MonitorMode::mono ? monoRow(source) : layoutOnto(source, fold);
    const double h = dbToGain(state.heightTrimDB);
    for (size_t r = 0; r < fold.size() && r < f.size(); ++r) {
        if (speaker::direction(fold[r], fold).el > heightAbove)
            for (double& v : f[r]) v *= h;
    }
    const Matrix t = layoutOnto(fold, target);
    Matrix m = multiply(t, f);

    for (size_t r = 0; r < target.size() && r < m.size(); ++r) {
        const SpeakerID s = target[r];
        if ((!state.solo.empty() && !state.solo.count(s)) || state.muted.count(s))
            std::fill(m[r].begin(), m[r].end(), 0.0);
    }

    const double g = state.mute ? 0.0 : dbToGain(state.volumeDB + (state.dim ? MonitorState::dimDB : 0.0));

    MixConfig out;
    out.inChannels = request ? static_cast<int>(target.size()) : inputChannels;
    out.rows = deviceChannels;
    out.matrix.assign(static_cast<size_t>(out.rows) * static_cast<size_t>(out.inChannels), 0.0f);
    out.toBinaural = false;
    out.binLeft = 0;
    out.binRight = 1;

    // Device channel d gets target row r at route[d][r].
    Matrix route;
    if (headphones) {
        route = Matrix(static_cast<size_t>(deviceChannels), std::vector<double>(target.size(), 0.0));
        const int64_t ears[2] = {profile.headphoneLeft, profile.headphoneRight};
        for (size_t r = 0; r < 2 && r < target.size(); ++r)
            if (ears[r] >= 0 && ears[r] < deviceChannels) route[static_cast<size_t>(ears[r])][r] = 1;
    } else {
        route = MixBuilder::speakerRouting(profile, deviceChannels, deviceSpeakers);
    }
    const int64_t offset = request ? 0 : state.sourceOffset;
    for (size_t r = 0; r < m.size(); ++r) {
        const double trim = !headphones && r < profile.trimsDB.size() ? dbToGain(profile.trimsDB[r]) : 1.0;
        for (size_t d = 0; d < route.size(); ++d) {
            if (r >= route[d].size() || route[d][r] == 0.0) continue;
            for (size_t c = 0; c < m[r].size(); ++c) {
                const double v = m[r][c];
                if (v == 0.0) continue;
                const int64_t col = shiftedColumn(static_cast<int64_t>(c), offset, out.inChannels);
                if (col < 0) continue;
                out.matrix[d * static_cast<size_t>(out.inChannels) + static_cast<size_t>(col)] +=
                    static_cast<float>(trim * (g * v) * route[d][r]);
            }
        }
    }

    out.upmix = std::move(request);
    const bool fits = state.sourceOffset >= std::numeric_limits<int32_t>::min() &&
                      state.sourceOffset <= std::numeric_limits<int32_t>::max();
    out.upmixOffset = fits ? static_cast<int>(state.sourceOffset) : -1;
    return out;
}

}  // namespace qm::MonitorMatrix
