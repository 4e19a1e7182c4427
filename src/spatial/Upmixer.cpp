#include "spatial/Upmixer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "platform/SampleRate.h"
#include "spatial/UpmixFFT.h"

namespace qm {

namespace {

int32_t count32(size_t n, const char* what) {
    if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw std::invalid_argument(std::string("upmix plan: too many ") + what);
    return static_cast<int32_t>(n);
}

void expectSize(size_t have, size_t want, const char* what) {
    if (have != want)
        throw std::invalid_argument(std::string("upmix plan: ") + what + " has " + std::to_string(have) +
                                    " values, expected " + std::to_string(want));
}

void expectSize(const std::optional<std::vector<float>>& v, size_t want, const char* what) {
    if (v) expectSize(v->size(), want, what);
}

// Empty arrays stand for absent ones in the record, so any size of zero is
// accepted; anything else must match.
void expectSizeOrEmpty(size_t have, size_t want, const char* what) {
    if (have != 0) expectSize(have, want, what);
}

}  // namespace

UpmixPlanStorage::UpmixPlanStorage(const UpmixPlan& p) {
    if (p.outs < 0 || p.bins < 0 || p.pairIn.size() % 2 != 0)
        throw std::invalid_argument("upmix plan: malformed counts");
    const size_t outs = static_cast<size_t>(p.outs), bins = static_cast<size_t>(p.bins);
    const size_t pairs = p.pairIn.size() / 2;
    const int32_t pairs32 = count32(pairs, "pairs");
    const int32_t routes32 = count32(p.routeIn.size(), "routes");
    if (pairs > 0 && p.panSteps < 2) throw std::invalid_argument("upmix plan: fewer than two pan steps");
    if (p.panSteps > std::numeric_limits<int32_t>::max())
        throw std::invalid_argument("upmix plan: too many pan steps");
    const size_t steps = static_cast<size_t>(std::max(p.panSteps, 0));
    expectSize(p.direct.size(), pairs * outs * steps, "direct");
    expectSize(p.ambL.size(), pairs * outs, "ambL");
    expectSize(p.ambR.size(), pairs * outs, "ambR");
    expectSize(p.curve, outs * bins, "curve");
    expectSize(p.decorRe, outs * bins, "decorRe");
    expectSize(p.decorIm, outs * bins, "decorIm");
    if (p.decorRe.has_value() != p.decorIm.has_value())
        throw std::invalid_argument("upmix plan: decorrelation needs both parts");
    expectSizeOrEmpty(p.kappa.size(), pairs, "kappa");
    if (p.exact) {
        expectSize(p.ownL.size(), pairs, "ownL");
        expectSize(p.ownR.size(), pairs, "ownR");
        expectSize(p.foldL.size(), pairs * outs, "foldL");
        expectSize(p.foldR.size(), pairs * outs, "foldR");
    } else {
        expectSizeOrEmpty(p.ownL.size(), pairs, "ownL");
        expectSizeOrEmpty(p.ownR.size(), pairs, "ownR");
        expectSizeOrEmpty(p.foldL.size(), pairs * outs, "foldL");
        expectSizeOrEmpty(p.foldR.size(), pairs * outs, "foldR");
    }
    expectSize(p.routeOut.size(), p.routeIn.size(), "routeOut");
    expectSize(p.routeGain.size(), p.routeIn.size(), "routeGain");
    expectSize(p.lfeLP, bins, "lfeLP");
    expectSize(p.mainHP, bins, "mainHP");
    expectSizeOrEmpty(p.delay.size(), outs, "delay");

    record_.pairs = pairs32;
    record_.pair_in = keep(p.pairIn);
    record_.pan_steps = static_cast<int32_t>(p.panSteps);
    record_.direct = keep(p.direct);
    record_.amb_l = keep(p.ambL);
    record_.amb_r = keep(p.ambR);
    record_.curve = keep(p.curve);
    record_.decor_re = keep(p.decorRe);
    record_.decor_im = keep(p.decorIm);
    record_.kappa = keep(p.kappa);
    record_.exact = p.exact ? 1 : 0;
    record_.own_l = keep(p.ownL);
    record_.own_r = keep(p.ownR);
    record_.fold_l = keep(p.foldL);
    record_.fold_r = keep(p.foldR);
    record_.routes = routes32;
    record_.route_in = keep(p.routeIn);
    record_.route_out = keep(p.routeOut);
    record_.route_gain = keep(p.routeGain);
    record_.lfe_out = p.lfeOut;
    record_.lfe_gain = p.lfeGain;
    record_.lfe_lp = keep(p.lfeLP);
    record_.main_hp = keep(p.mainHP);
    record_.delay = keep(p.delay);
}

const float* UpmixPlanStorage::keep(const std::vector<float>& v) {
    if (v.empty()) return nullptr;
    auto copy = std::make_unique<float[]>(v.size());
    std::memcpy(copy.get(), v.data(), v.size() * sizeof(float));
    return floats_.emplace_back(std::move(copy)).get();
}

const float* UpmixPlanStorage::keep(const std::optional<std::vector<float>>& v) {
    return v ? keep(*v) : nullptr;
}

const int32_t* UpmixPlanStorage::keep(const std::vector<int32_t>& v) {
    if (v.empty()) return nullptr;
    auto copy = std::make_unique<int32_t[]>(v.size());
    std::memcpy(copy.get(), v.data(), v.size() * sizeof(int32_t));
    return ints_.emplace_back(std::move(copy)).get();
}

int Upmixer::fftSizeFor(double sampleRate) {
    if (sampleRate <= 50000) return 1024;
    if (sampleRate <= 100000) return 2048;
    return 4096;
}

std::shared_ptr<Upmixer> Upmixer::create(int inChannels, int outChannels, double sampleRate,
                                         MainQueue& main) {
    if (!sampleRate::plausible(sampleRate)) return nullptr;
    const int n = fftSizeFor(sampleRate);
    mn_upmix* raw = mn_upmix_create(inChannels, outChannels, n, sampleRate, UpmixFFT::ops());
    if (!raw) return nullptr;
    return std::shared_ptr<Upmixer>(new Upmixer(raw, inChannels, outChannels, sampleRate, n, main));
}

Upmixer::Upmixer(mn_upmix* raw, int in, int out, double rate, int fftSize, MainQueue& main)
    : raw_(raw),
      inChannels_(in),
      outChannels_(out),
      sampleRate_(rate),
      fftSize_(fftSize),
      bins_(mn_upmix_bins(raw)),
      main_(main) {}

Upmixer::~Upmixer() {
    mn_upmix_destroy(raw_);
    storage_.reset();
}

void Upmixer::apply(const UpmixRequest& request) {
    if (request_ && *request_ == request) return;
    if (static_cast<int>(request.source.size()) != inChannels_ ||
        static_cast<int>(request.target.size()) != outChannels_)
        throw std::invalid_argument("upmix request of " + std::to_string(request.source.size()) + " to " +
                                    std::to_string(request.target.size()) + " speakers does not fit an upmixer of " +
                                    std::to_string(inChannels_) + " to " + std::to_string(outChannels_));
    const bool stereo = request.source == std::vector<SpeakerID>{SpeakerID::L, SpeakerID::R};
    const UpmixPlan plan = stereo ? UpmixPlanner::stereoPlan(request, bins_, fftSize_, sampleRate_)
                                  : UpmixPlanner::layoutPlan(request, bins_, fftSize_, sampleRate_);
    auto storage = std::make_shared<const UpmixPlanStorage>(plan);
    mn_upmix_set_plan(raw_, storage->pointer());
    retireLater(main_, std::move(storage_));
    storage_ = std::move(storage);
    request_ = request;
}

void Upmixer::follow(std::shared_ptr<Upmixer>& current, const std::optional<UpmixRequest>& request,
                     double sampleRate, MainQueue& main) {
    if (!request) {
        retireLater(main, std::move(current));
        current.reset();
        return;
    }
    const int in = static_cast<int>(request->source.size());
    const int out = static_cast<int>(request->target.size());
    if (!current || current->inChannels() != in || current->outChannels() != out ||
        current->sampleRate() != sampleRate) {
        retireLater(main, std::move(current));
        current = create(in, out, sampleRate, main);
    }
    if (current) current->apply(*request);
}

}  // namespace qm
