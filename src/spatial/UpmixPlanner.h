// The upmix planner: turns an UpmixRequest into an UpmixPlan, every table the
// frequency-domain kernel (rt/mn_upmix.h) needs to split stereo pairs into
// direct and ambient parts and spread them over the target speakers.
//
// Two planners: stereoPlan for a plain [L, R] source (the direct part panned
// over the front ring with 2-D VBAP, the ambience sent to sides, rears, wides
// and heights) and layoutPlan for a speaker bed going to a larger layout
// (every source channel stays on its own speaker, matching left/right pairs
// feed the speakers the source lacks with their ambience). Both end with the
// same step: spectral curves, decorrelation and delays.
//
// Deterministic: the decorrelation draws SplitMix64 numbers seeded from the
// FNV-1a hash of the speaker's name plus its output index, so the same
// request always gives the same plan, in every process.
//
// Pure functions without state; they allocate freely and run off the
// real-time thread (the main thread, or an export's own thread).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/UpmixRequest.h"

namespace qm {

// Mirrors the kernel's mn_upmix_plan with its sizes made explicit
// (outs = target speakers, K = bins).
struct UpmixPlan {
    int outs = 0;
    int bins = 0;
    std::vector<int32_t> pairIn;  // two source channels per pair
    int panSteps = 65;
    std::vector<float> direct;    // pairs x outs x panSteps
    std::vector<float> ambL;      // pairs x outs
    std::vector<float> ambR;      // pairs x outs
    std::optional<std::vector<float>> curve;    // outs x K
    std::optional<std::vector<float>> decorRe;  // outs x K
    std::optional<std::vector<float>> decorIm;  // outs x K
    std::vector<float> kappa;     // one per pair
    bool exact = false;
    std::vector<int32_t> ownL;    // per pair
    std::vector<int32_t> ownR;
    std::vector<float> foldL;     // pairs x outs
    std::vector<float> foldR;
    std::vector<int32_t> routeIn;
    std::vector<int32_t> routeOut;
    std::vector<float> routeGain;
    int32_t lfeOut = -1;
    float lfeGain = 0;
    std::optional<std::vector<float>> lfeLP;   // K
    std::optional<std::vector<float>> mainHP;  // K
    std::vector<float> delay;     // outs, in samples

    bool operator==(const UpmixPlan&) const = default;
};

// 64-bit FNV-1a over the UTF-8 bytes; the same in every run.
uint64_t hashValueStable(std::string_view text);

// The SplitMix64 generator: numbers in [0, 1) with 53 bits.
struct SplitMix64 {
    uint64_t state;
    explicit SplitMix64(uint64_t seed) : state(seed) {}
    uint64_t next();
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

namespace UpmixPlanner {

// The pairs a layout source may hold, in the order they are taken.
const std::vector<std::pair<SpeakerID, SpeakerID>>& pairIDs();

struct RingSpeaker {
    int index;  // output index
    double az;  // degrees, positive to the left
};

// Pairwise 2-D VBAP over one horizontal ring: `count` gains, power-normalised
// over the pair used; the nearest speaker alone when no pair encloses `az`.
std::vector<double> vbap(double az, std::vector<RingSpeaker> ring, int count);

// Divides by the square root of the sum of squares, when that is positive.
void normalize(std::vector<double>& g);

// Source exactly [L, R]. A target without L or R gives the empty plan.
UpmixPlan stereoPlan(const UpmixRequest& request, int bins, int fftSize, double sampleRate);
// Any other speaker source.
UpmixPlan layoutPlan(const UpmixRequest& request, int bins, int fftSize, double sampleRate);

}  // namespace UpmixPlanner

}  // namespace qm
