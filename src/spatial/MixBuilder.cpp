#include "spatial/MixBuilder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

namespace qm {

namespace {

using S = SpeakerID;

// Orders above 3 carry no harmonics of their own (those stay zero), and a
// stream of order 7 already has the 64 channels the real-time path carries at
// most: larger orders are decoded as order 7, which keeps the matrices small
// whatever order a file claims.
constexpr int kMaxDecodedOrder = 7;


const std::vector<SpeakerID>& kBinauralUpmixTarget() {
    static const std::vector<SpeakerID> t = {S::L, S::R, S::C, S::LFE, S::Ls, S::Rs,
                                             S::Lrs, S::Rrs, S::Ltf, S::Rtf, S::Ltr, S::Rtr};
    return t;
}

Matrix zeros(size_t rows, size_t cols) { return Matrix(rows, std::vector<double>(cols, 0.0)); }

// Row r of `decoder` applied through the format conversion `t`, for input
// column c. Columns the conversion does not cover (FuMa is always first
// order) read as zero.
double convertedEntry(const std::vector<double>& decoderRow, const Matrix& t, size_t c) {
    double s = 0;
    const size_t n = std::min(decoderRow.size(), t.size());
    for (size_t j = 0; j < n; ++j)
        if (c < t[j].size()) s += decoderRow[j] * t[j][c];
    return s;
}

int decodedOrder(int order) { return std::min(order, kMaxDecodedOrder); }

// A device channel from the settings (a 64-bit number the user may edit):
// itself when it lies on the device, otherwise none.
int deviceChannel(int64_t channel, int deviceChannels) {
    return channel >= 0 && channel < deviceChannels ? static_cast<int>(channel) : kNoDeviceChannel;
}

double trimGain(const std::vector<double>& trims, size_t i) {
    double t = i < trims.size() ? trims[i] : 0.0;
    if (std::isnan(t)) t = 0;
    return std::pow(10.0, std::min(t, OutputProfile::kMaxTrimDB) / 20);
}

std::vector<float> flatten(const Matrix& m, size_t cols) {
    std::vector<float> out;
    out.reserve(m.size() * cols);
    for (const auto& row : m)
        for (size_t c = 0; c < cols; ++c) out.push_back(c < row.size() ? static_cast<float>(row[c]) : 0.0f);
    return out;
}

MixConfig binauralConfig(MixBuilder::Binaural b, int inChannels, const OutputProfile& profile, int d) {
    MixConfig cfg;
    cfg.inChannels = inChannels;
    cfg.rows = static_cast<int>(b.dirs.size());
    cfg.matrix = flatten(b.matrix, static_cast<size_t>(inChannels));
    cfg.toBinaural = true;
    cfg.binLeft = deviceChannel(profile.headphoneLeft, d);
    cfg.binRight = deviceChannel(profile.headphoneRight, d);
    cfg.virtualDirections = std::move(b.dirs);
    return cfg;
}

}  // namespace

namespace listenMode {

const Matrix& matrix(ListenMode m) {
    // The mid/side gain is the literal 0.7071, as stored mixes expect.
    static const std::array<Matrix, 5> tables = {
        Matrix{{1, 0}, {0, 1}},
        Matrix{{0.5, 0.5}, {0.5, 0.5}},
        Matrix{{1, 0}, {1, 0}},
        Matrix{{0, 1}, {0, 1}},
        Matrix{{0.7071, 0.7071}, {0.7071, -0.7071}},
    };
    return tables[static_cast<size_t>(m)];
}

}  // namespace listenMode

void to_json(nlohmann::json& j, ListenMode m) { j = std::string(listenMode::rawValue(m)); }

void from_json(const nlohmann::json& j, ListenMode& m) {
    m = jsonfields::textValue(j, listenMode::table, "listen mode");
}

std::unique_ptr<RealtimeMix> makeRealtimeMix(const MixConfig& config, void* upmixContext) {
    auto rt = std::make_unique<RealtimeMix>();
    const size_t wanted = static_cast<size_t>(std::max(config.rows, 0)) *
                          static_cast<size_t>(std::max(config.inChannels, 0));
    rt->matrix.assign(config.matrix.begin(),
                      config.matrix.begin() + static_cast<std::ptrdiff_t>(std::min(wanted, config.matrix.size())));
    // A matrix shorter than rows x columns reads as zeros beyond its end.
    rt->matrix.resize(std::max<size_t>(wanted, 1), 0.0f);
    mn_mix_config& r = rt->record;
    r.in_channels = std::max(config.inChannels, 0);
    r.rows = std::max(config.rows, 0);
    r.to_binaural = config.toBinaural ? 1 : 0;
    r.bin_left = config.binLeft;
    r.bin_right = config.binRight;
    r.matrix = rt->matrix.data();
    r.upmix = config.upmix ? upmixContext : nullptr;
    r.upmix_offset = config.upmixOffset;
    return rt;
}

namespace MixBuilder {

std::pair<double, double> stereoGains(const Direction& dir) {
    const double a = dir.az, e = dir.el;
    double f = a > 90 ? 180 - a : a < -90 ? -180 - a : a;
    double x = f / 30;
    double theta = x < 1 ? (1 - std::max(x, -1.0)) * std::numbers::pi / 4 : 0;
    bool wide = std::abs(a) > 60.5;
    double k = wide ? 0.7071 : 1;
    if (e > 20) k = wide ? 0.49999041 : 0.7071;
    return {std::cos(theta) * k, std::sin(theta) * k};
}

std::optional<int> nearest(const Direction& dir, const std::vector<SpeakerID>& layout) {
    std::optional<int> best;
    double bestAngle = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < layout.size(); ++i) {
        if (layout[i] == S::LFE) continue;
        double a = speaker::direction(layout[i], layout).angle(dir);
        if (!best || a < bestAngle) {
            best = static_cast<int>(i);
            bestAngle = a;
        }
    }
    return best;
}

Matrix layoutMatrix(const SourceFormat& source, int channels, const std::vector<SpeakerID>& target,
                    ListenMode listen, const Rotation& rotation, bool monoToCenter) {
    const size_t ch = static_cast<size_t>(std::max(channels, 0));
    Matrix m = zeros(target.size(), ch);
    if (target.empty() || ch == 0) return m;
    const auto iL = speaker::firstIndex(target, S::L), iR = speaker::firstIndex(target, S::R), iC = speaker::firstIndex(target, S::C);
    const bool stereoTarget = iL && iR && target.size() == 2;

    if (const auto* list = source.speakerList()) {
        if (*list == std::vector<SpeakerID>{S::C} && ch == 1) {
            if (monoToCenter && iC) m[*iC][0] = 1;
            else if (!iL || !iR) m[0][0] = 1;
            else m[*iL][0] = m[*iR][0] = 0.7071;
            return m;
        }
        if (*list == std::vector<SpeakerID>{S::L, S::R} && ch == 2) {
            const Matrix& lm = listenMode::matrix(listen);
            size_t left = iL ? *iL : 0;
            size_t right = iR ? *iR : std::min<size_t>(target.size(), 2) - 1;
            for (size_t c = 0; c < 2; ++c) {
                m[left][c] += lm[0][c];
                m[right][c] += lm[1][c];
            }
            return m;
        }
        for (size_t i = 0; i < std::min(list->size(), ch); ++i) {
            SpeakerID s = (*list)[i];
            // A speaker the target holds (LFE included) goes whole to its first
            // occurrence; any other is placed by its direction.
            if (auto j = speaker::firstIndex(target, s)) {
                m[*j][i] = 1;
                continue;
            }
            Direction d = speaker::direction(s, *list);
            if (stereoTarget) {
                auto [gl, gr] = stereoGains(d);
                m[*iL][i] = gl;
                m[*iR][i] = gr;
            } else if (auto j = nearest(d, target)) {
                m[*j][i] = 1;
            }
        }
        return m;
    }

    if (const auto* amb = source.asAmbisonic()) {
        const int order = decodedOrder(amb->order);
        const Matrix t = Ambisonics::toSN3D(order, amb->norm);
        Matrix d;
        std::vector<size_t> rows;
        if (!stereoTarget) {
            std::vector<Direction> dirs;
            for (size_t i = 0; i < target.size(); ++i) {
                if (target[i] == S::LFE) continue;
                rows.push_back(i);
                dirs.push_back(speaker::direction(target[i], target));
            }
            if (rows.empty()) return m;
            d = Ambisonics::allradDecoder(order, dirs, rotation);
        } else {
            const auto& grid = Ambisonics::lebedev26();
            Matrix s = Ambisonics::samplingDecoder(order, grid.dirs, grid.weights, rotation, true);
            const size_t n = static_cast<size_t>(Ambisonics::channelCount(order));
            d = zeros(2, n);
            for (size_t k = 0; k < s.size(); ++k) {
                auto [gl, gr] = stereoGains(grid.dirs[k]);
                for (size_t j = 0; j < n; ++j) {
                    d[0][j] += gl * s[k][j];
                    d[1][j] += gr * s[k][j];
                }
            }
            rows = {static_cast<size_t>(*iL), static_cast<size_t>(*iR)};
        }
        const size_t cols = std::min(ch, static_cast<size_t>(Ambisonics::channelCount(order)));
        for (size_t r = 0; r < rows.size(); ++r)
            for (size_t c = 0; c < cols; ++c) m[rows[r]][c] = convertedEntry(d[r], t, c);
        return m;
    }

    // Discrete channels go one to one.
    for (size_t k = 0; k < std::min(target.size(), ch); ++k) m[k][k] = 1;
    return m;
}

namespace {

// The virtual sources of a source and its gains to them, at full level.
Binaural binauralSources(const SourceFormat& source, int channels, const Rotation& rotation) {
    const size_t ch = static_cast<size_t>(std::max(channels, 0));
    Binaural b;
    if (const auto* list = source.speakerList()) {
        for (SpeakerID s : *list) b.dirs.push_back(speaker::direction(s, *list));
        b.matrix = zeros(list->size(), ch);
        for (size_t i = 0; i < std::min(list->size(), ch); ++i) b.matrix[i][i] = (*list)[i] == S::LFE ? 0.5 : 1;
        return b;
    }
    if (const auto* amb = source.asAmbisonic()) {
        const int order = decodedOrder(amb->order);
        const auto& grid = Ambisonics::lebedev26();
        Matrix s = Ambisonics::samplingDecoder(order, grid.dirs, grid.weights, rotation, true);
        Matrix t = Ambisonics::toSN3D(order, amb->norm);
        b.dirs = grid.dirs;
        b.matrix = zeros(s.size(), ch);
        for (size_t k = 0; k < s.size(); ++k)
            for (size_t c = 0; c < ch; ++c) b.matrix[k][c] = convertedEntry(s[k], t, c);
        return b;
    }
    return b;
}

// The power a unit channel of the source puts on the ears, summed over the
// source's channels: at high frequencies the head responses of the virtual
// sources differ and their gains add as powers; at low ones every response
// is alike and they add as amplitudes (an Ambisonic W feeds all 26 virtual
// sources in phase). Each channel counts with the larger of the two.
double busPower(const Matrix& m) {
    const size_t cols = m.empty() ? 0 : m.front().size();
    double p = 0;
    for (size_t c = 0; c < cols; ++c) {
        double powers = 0, amplitudes = 0;
        for (const auto& row : m) {
            powers += row[c] * row[c];
            amplitudes += row[c];
        }
        p += std::max(powers, amplitudes * amplitudes);
    }
    return p;
}

Binaural scaled(Binaural b, double gain) {
    for (auto& row : b.matrix)
        for (double& g : row) g *= gain;
    return b;
}

}  // namespace

// Summed uncorrelated channels crest 10 to 13 dB above their power: a
// further 3 dB keeps -12 dBFS channels (tones, or noise of that RMS) a few
// dB below full scale, whatever the layout.
double binauralHeadroom(double power) {
    const double p = 2 * power;
    return p > 1 ? 1 / std::sqrt(p) : 1;
}

Binaural binauralMatrix(const SourceFormat& source, int channels, const Rotation& rotation) {
    Binaural b = binauralSources(source, channels, rotation);
    const double power = busPower(b.matrix);
    return scaled(std::move(b), binauralHeadroom(power));
}

bool routesByPosition(const OutputProfile& profile, const ChannelSpeakers& deviceSpeakers) {
    return profile.kind == OutputProfile::Kind::speakers && !profile.routedByHand() &&
           std::any_of(deviceSpeakers.begin(), deviceSpeakers.end(), [](const auto& s) { return s.has_value(); });
}

Matrix speakerRouting(const OutputProfile& profile, int deviceChannels, const ChannelSpeakers& deviceSpeakers) {
    const std::vector<SpeakerID>& speakers = layout::speakers(profile.layout);
    const int d = std::max(deviceChannels, 0);
    Matrix route = zeros(static_cast<size_t>(d), speakers.size());
    if (routesByPosition(profile, deviceSpeakers)) {
        // The device's positioned channels are the target the layout's
        // speakers are rendered onto, as any speaker list onto a layout.
        std::vector<SpeakerID> positioned;
        std::vector<size_t> channelOf;
        for (size_t c = 0; c < deviceSpeakers.size() && c < static_cast<size_t>(d); ++c) {
            if (!deviceSpeakers[c]) continue;
            positioned.push_back(*deviceSpeakers[c]);
            channelOf.push_back(c);
        }
        const Matrix fold = layoutMatrix(SourceFormat::speakers(speakers), static_cast<int>(speakers.size()),
                                         positioned, ListenMode::normal, Rotation{}, false);
        for (size_t j = 0; j < fold.size(); ++j)
            for (size_t i = 0; i < speakers.size(); ++i) route[channelOf[j]][i] += fold[j][i];
        return route;
    }
    for (size_t i = 0; i < speakers.size(); ++i) {
        const int64_t out = i < profile.outputs.size() ? profile.outputs[i] : static_cast<int64_t>(i);
        if (out >= 0 && out < d) route[static_cast<size_t>(out)][i] = 1;
    }
    return route;
}

MixConfig config(const SourceFormat& source, int channels, const OutputProfile& profile,
                 int deviceChannels, ListenMode listen, const Rotation& rotation,
                 bool monoToCenter, const std::optional<UpmixSettings>& upmix,
                 const ChannelSpeakers& deviceSpeakers) {
    channels = std::max(channels, 0);
    const int d = std::max(deviceChannels, 1);
    const bool headphones = profile.kind == OutputProfile::Kind::headphones;
    const auto* list = source.speakerList();

    if (upmix && upmix->enabled && list && list->size() == static_cast<size_t>(channels)) {
        if (headphones) {
            const auto& target = kBinauralUpmixTarget();
            if (UpmixPlanner::applies(*list, target)) {
                // The upmix spreads the source's power over the bed: the
                // headroom is the source's own.
                const int n = static_cast<int>(target.size());
                const double sourcePower =
                    busPower(binauralSources(source, channels, Rotation{}).matrix);
                MixConfig cfg = binauralConfig(
                    scaled(binauralSources(SourceFormat::speakers(target), n, Rotation{}),
                           binauralHeadroom(sourcePower)),
                    n, profile, d);
                cfg.upmix = UpmixRequest{*list, target, upmix->params};
                return cfg;
            }
        } else {
            const auto& target = layout::speakers(profile.layout);
            if (UpmixPlanner::applies(*list, target)) {
                MixConfig cfg = config(SourceFormat::speakers(target), static_cast<int>(target.size()), profile,
                                       deviceChannels, ListenMode::normal, rotation, monoToCenter, std::nullopt,
                                       deviceSpeakers);
                cfg.upmix = UpmixRequest{*list, target, upmix->params};
                return cfg;
            }
        }
    }

    const size_t ch = static_cast<size_t>(channels);
    const bool twoOrFewer = list && list->size() <= 2;
    const bool discrete = !list && !source.asAmbisonic();
    if (!headphones || twoOrFewer || discrete) {
        MixConfig cfg;
        cfg.inChannels = channels;
        cfg.rows = d;
        cfg.matrix.assign(static_cast<size_t>(d) * ch, 0.0f);
        auto addRow = [&](const std::vector<double>& row, int64_t out, double gain) {
            if (out < 0 || out >= d) return;  // not on the device
            float* dst = cfg.matrix.data() + static_cast<size_t>(out) * ch;
            for (size_t c = 0; c < ch; ++c) dst[c] += static_cast<float>(gain * row[c]);
        };
        if (!headphones) {
            Matrix m = layoutMatrix(source, channels, layout::speakers(profile.layout), listen, rotation,
                                    monoToCenter);
            const Matrix route = speakerRouting(profile, d, deviceSpeakers);
            for (size_t i = 0; i < m.size(); ++i)
                for (size_t o = 0; o < route.size(); ++o)
                    if (route[o][i] != 0)
                        addRow(m[i], static_cast<int64_t>(o), route[o][i] * trimGain(profile.trimsDB, i));
        } else {
            // Mono-to-centre never applies on headphones.
            Matrix m = layoutMatrix(source, channels, {S::L, S::R}, listen, rotation, false);
            addRow(m[0], profile.headphoneLeft, 1);
            addRow(m[1], profile.headphoneRight, 1);
        }
        return cfg;
    }

    return binauralConfig(binauralMatrix(source, channels, rotation), channels, profile, d);
}

}  // namespace MixBuilder

}  // namespace qm
