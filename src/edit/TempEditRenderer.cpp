#include "edit/TempEditRenderer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qm::TempEditRenderer {

namespace {

constexpr double kPi = std::numbers::pi;

}  // namespace

EditOps::Channels render(const EditPlan& plan, const EditOps::Channels& channels, double sampleRate,
                         const TempEditOptions& options) {
    const int64_t total = channels.empty() ? 0 : static_cast<int64_t>(channels[0].size());
    std::vector<EditPlan::Span> spans;
    for (const auto& s : plan.spans) {
        const int64_t a = std::clamp<int64_t>(s.start, 0, total);
        spans.push_back({a, std::clamp<int64_t>(s.end, a, total)});
    }

    if (plan.kind == EditPlan::Kind::loop && !spans.empty()) {
        if (auto loop = EditOps::seamlessLoop(channels, sampleRate, spans[0].start, spans[0].end,
                                              plan.carryLoopTail))
            return std::move(loop->channels);
    }

    const double xf = sampleRate * options.crossfadeMs / 1000.0;
    const int64_t X = std::isfinite(xf) ? std::max<int64_t>(static_cast<int64_t>(xf), 1) : 1;

    int64_t length = 0;
    for (const auto& s : spans) length += s.end - s.start;
    EditOps::Channels out(channels.size());
    for (auto& c : out) c.reserve(static_cast<size_t>(length));

    for (size_t i = 0; i < spans.size(); ++i) {
        const auto& span = spans[i];
        const int64_t written = out.empty() ? 0 : static_cast<int64_t>(out[0].size());
        if (i > 0 && span.start != spans[i - 1].end) {
            // Splice: the last Lx written frames fade out under the Lx source
            // frames that lead into the new span, so the join continues the
            // source's own waveform into the span's first frame.
            const int64_t Lx = std::min({span.start, written, X});
            for (size_t c = 0; c < channels.size(); ++c) {
                float* tail = out[c].data() + written - Lx;
                const float* lead = channels[c].data() + span.start - Lx;
                for (int64_t k = 0; k < Lx; ++k) {
                    const double a = (double(k) + 0.5) / double(Lx) * kPi / 2;
                    tail[k] = static_cast<float>(tail[k] * std::cos(a) + lead[k] * std::sin(a));
                }
            }
        }
        for (size_t c = 0; c < channels.size(); ++c)
            out[c].insert(out[c].end(), channels[c].begin() + span.start, channels[c].begin() + span.end);
    }
    length = out.empty() ? 0 : static_cast<int64_t>(out[0].size());

    if (plan.fadeInFrames >= 1) {
        const int64_t n = std::min(length, plan.fadeInFrames);
        for (auto& c : out)
            for (int64_t k = 0; k < n; ++k) c[k] *= static_cast<float>(std::sin(double(k) / double(n) * kPi / 2));
    }
    if (plan.fadeOutFrames >= 1) {
        const int64_t n = std::min(length, plan.fadeOutFrames);
        for (auto& c : out)
            for (int64_t k = 0; k < n; ++k) c[length - n + k] *= static_cast<float>(double(n - k) / double(n));
    }
    if (plan.cutAtSec) {
        const double cut = std::floor(sampleRate * *plan.cutAtSec);
        const int64_t C = cut > 0 ? static_cast<int64_t>(std::min(cut, static_cast<double>(length))) : 0;
        const int64_t Lc = std::min(length, C);
        const int64_t f = std::min(Lc / 4, static_cast<int64_t>(sampleRate));
        for (auto& c : out) {
            c.resize(static_cast<size_t>(Lc));
            for (int64_t k = 0; k < f; ++k)
                c[Lc - f + k] *= static_cast<float>(std::cos(double(k) / double(f) * kPi / 2));
        }
    }
    return out;
}

}  // namespace qm::TempEditRenderer
