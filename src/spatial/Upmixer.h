// The Upmixer owns one upmix kernel context and keeps its plan in step with
// the upmix request the current configuration asks for.
//
// Threads: create, apply and destruction run on the controlling thread (the
// main thread for playback and monitoring, the caller's thread for an
// export); a real-time thread runs the kernel through raw(). A new plan is a
// new UpmixPlanStorage, published with the kernel's atomic exchange; the
// replaced storage goes to retireLater (the main queue frees it 3 s later),
// never on the real-time thread and never at once. The installed
// record is never changed.
//
// Destroying an Upmixer destroys the kernel context and then its current
// storage at once, so its owner keeps it alive (or retires it) as long as a
// real-time thread may still run its kernel.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "spatial/UpmixPlanner.h"
#include "platform/MainQueue.h"
#include "rt/mn_upmix.h"

namespace qm {

// A plan copied into the fixed memory the kernel reads. Every non-empty array
// is copied; an empty or absent one becomes a null pointer.
class UpmixPlanStorage {
public:
    // Throws std::invalid_argument for a plan whose arrays do not match its
    // own output, bin, pair and route counts, or whose counts do not fit in
    // 32 bits: the kernel would read past its arrays.
    explicit UpmixPlanStorage(const UpmixPlan& plan);
    UpmixPlanStorage(const UpmixPlanStorage&) = delete;
    UpmixPlanStorage& operator=(const UpmixPlanStorage&) = delete;

    const mn_upmix_plan* pointer() const { return &record_; }

private:
    const float* keep(const std::vector<float>& v);
    const float* keep(const std::optional<std::vector<float>>& v);
    const int32_t* keep(const std::vector<int32_t>& v);

    mn_upmix_plan record_{};
    std::vector<std::unique_ptr<float[]>> floats_;
    std::vector<std::unique_ptr<int32_t[]>> ints_;
};

class Upmixer {
public:
    // FFT size for a sample rate: 1024 up to 50 kHz, 2048 up to 100 kHz, else 4096.
    static int fftSizeFor(double sampleRate);

    // Null when the kernel refuses the counts (inputs outside 1...16,
    // outputs outside 1...24) or the rate is not sampleRate::plausible. No plan is installed: silence until apply.
    // `main` receives replaced plans and must outlive the upmixer.
    static std::shared_ptr<Upmixer> create(int inChannels, int outChannels, double sampleRate,
                                           MainQueue& main);
    ~Upmixer();
    Upmixer(const Upmixer&) = delete;
    Upmixer& operator=(const Upmixer&) = delete;

    // Plans `request` and installs it, unless it equals the installed one.
    // The source must have inChannels speakers and the target outChannels
    // (std::invalid_argument otherwise: a plan sized for other counts would
    // make the kernel read past its arrays).
    void apply(const UpmixRequest& request);

    // Keeps `current` in step with a configuration's upmix request: the same
    // upmixer re-planned when its counts and rate fit the request, else a new
    // one (null when the kernel refuses the counts); without a request none.
    // A replaced upmixer goes to retireLater on `main`.
    static void follow(std::shared_ptr<Upmixer>& current, const std::optional<UpmixRequest>& request,
                       double sampleRate, MainQueue& main);

    mn_upmix* raw() const { return raw_; }
    int inChannels() const { return inChannels_; }
    int outChannels() const { return outChannels_; }
    double sampleRate() const { return sampleRate_; }
    int fftSize() const { return fftSize_; }
    int bins() const { return bins_; }
    const std::optional<UpmixRequest>& request() const { return request_; }
    const std::shared_ptr<const UpmixPlanStorage>& storage() const { return storage_; }

private:
    Upmixer(mn_upmix* raw, int in, int out, double rate, int fftSize, MainQueue& main);

    mn_upmix* raw_;
    int inChannels_, outChannels_;
    double sampleRate_;
    int fftSize_, bins_;
    std::optional<UpmixRequest> request_;
    std::shared_ptr<const UpmixPlanStorage> storage_;
    MainQueue& main_;
};

}  // namespace qm
