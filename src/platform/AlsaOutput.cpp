// The last resort: ALSA's "default" device (which PulseAudio systems route
// to their server), stereo or the channel count it accepts, pulled by a
// real-time thread of ours. It has no monitor.
#include "platform/AppError.h"
#include "platform/RenderFigures.h"
#include "platform/SoundBackends.h"
#include "rt/mn_mix.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace qm {

namespace {

constexpr const char* kPcm = "default";
constexpr unsigned kRate = 48000;
constexpr snd_pcm_uframes_t kPeriod = 512;
constexpr unsigned kPeriods = 4;

// The channel count the device takes: 2 when it accepts stereo, else the
// fewest it accepts; 0 when it cannot be asked.
int channelsOf(snd_pcm_t* pcm) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, hw) < 0) return 0;
    if (snd_pcm_hw_params_test_channels(pcm, hw, 2) == 0) return 2;
    unsigned fewest = 0;
    if (snd_pcm_hw_params_get_channels_min(hw, &fewest) < 0) return 0;
    return static_cast<int>(std::min<unsigned>(fewest, AudioOutput::maxChannels));
}

// Where each of `channels` channels plays ("FL", "TFL"), as the device's
// fixed channel map for that count says; empty when it has none (a map the
// application may choose is not the one in force).
std::vector<std::string> positionsOf(snd_pcm_t* pcm, int channels) {
    std::vector<std::string> out;
    snd_pcm_chmap_query_t** maps = snd_pcm_query_chmaps(pcm);
    if (!maps) return out;
    for (snd_pcm_chmap_query_t** m = maps; *m && out.empty(); ++m) {
        if ((*m)->type != SND_CHMAP_TYPE_FIXED || static_cast<int>((*m)->map.channels) != channels) continue;
        for (unsigned c = 0; c < (*m)->map.channels; ++c) {
            const auto pos = static_cast<snd_pcm_chmap_position>((*m)->map.pos[c] & SND_CHMAP_POSITION_MASK);
            const char* name = snd_pcm_chmap_name(pos);
            out.emplace_back(name ? name : "");
        }
    }
    snd_pcm_free_chmaps(maps);
    return out;
}

// The system keeps no log: the library's messages go nowhere.
void quietly(const char*, int, const char*, int, const char*, ...) {}

// Opens the device without waiting for one that another program holds.
snd_pcm_t* openPcm() {
    static const bool quiet = [] {
        snd_lib_error_set_handler(&quietly);
        return true;
    }();
    (void)quiet;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, kPcm, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return nullptr;
    return pcm;
}

class AlsaOutput final : public FiguredOutput {
public:
    AlsaOutput(const OutputEndpoint& device, OutputRenderFn render, void* user, std::function<void()> onChange)
        : render_(render), user_(user), onChange_(std::move(onChange)), description_(device.name) {
        pcm_ = openPcm();
        if (!pcm_) throw AppError(-1, "Couldn't open the output device");
        try {
            configure(device.channels);
        } catch (...) {
            snd_pcm_close(pcm_);
            throw;
        }
    }

    ~AlsaOutput() override {
        pause();
        snd_pcm_close(pcm_);
    }

    int channels() const override { return channels_; }
    double sampleRate() const override { return rate_; }
    const std::string& description() const override { return description_; }
    bool isRunning() const override { return thread_.joinable() && !lost_.load(); }
    int64_t xruns() const override { return xruns_.load(); }
    double period() const override { return static_cast<double>(period_) / rate_; }
    int queuedPeriods() const override { return static_cast<int>(buffer_ / std::max<uint32_t>(period_, 1)); }

    void start() override {
        if (thread_.joinable()) return;
        if (lost_.load()) throw AppError(-1, "Couldn't open the output device");
        if (int rc = snd_pcm_prepare(pcm_); rc < 0) throw AppError(rc, "Couldn't open the output device");
        stop_.store(false);
        thread_ = std::thread([this] { run(); });
    }

    void pause() override {
        if (!thread_.joinable()) return;
        stop_.store(true);
        thread_.join();
        snd_pcm_drop(pcm_);
    }

private:
    void configure(int wanted) {
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        auto check = [](int rc) {
            if (rc < 0) throw AppError(rc, "Couldn't open the output device");
        };
        check(snd_pcm_nonblock(pcm_, 0));
        check(snd_pcm_hw_params_any(pcm_, hw));
        planar_ = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0;
        if (!planar_) check(snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED));
        for (snd_pcm_format_t f : {SND_PCM_FORMAT_FLOAT, SND_PCM_FORMAT_S32, SND_PCM_FORMAT_S16}) {
            if (snd_pcm_hw_params_set_format(pcm_, hw, f) == 0) {
                format_ = f;
                break;
            }
        }
        if (format_ == SND_PCM_FORMAT_UNKNOWN) throw AppError(10, "Output device has no usable channels");
        if (wanted < 1 || snd_pcm_hw_params_set_channels(pcm_, hw, static_cast<unsigned>(wanted)) < 0)
            throw AppError(10, "Output device has no usable channels");
        channels_ = wanted;
        unsigned rate = kRate;
        check(snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr));
        snd_pcm_uframes_t period = kPeriod;
        check(snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, nullptr));
        snd_pcm_uframes_t buffer = period * kPeriods;
        check(snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &buffer));
        check(snd_pcm_hw_params(pcm_, hw));
        snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
        snd_pcm_hw_params_get_buffer_size(hw, &buffer);
        rate_ = rate;
        period_ = static_cast<uint32_t>(std::min<snd_pcm_uframes_t>(period, kMaxRenderFrames));
        buffer_ = static_cast<uint32_t>(buffer);
        // Everything the thread writes is made here.
        planes_.assign(static_cast<size_t>(channels_), std::vector<float>(period_));
        for (int c = 0; c < channels_; ++c) pointers_.push_back(planes_[static_cast<size_t>(c)].data());
        if (!planar_ || format_ != SND_PCM_FORMAT_FLOAT) {
            converted_.assign(static_cast<size_t>(period_) * static_cast<size_t>(channels_) * sizeof(int32_t), 0);
            for (int c = 0; c < channels_; ++c)
                convertedPlanes_.push_back(converted_.data() + static_cast<size_t>(c) * period_ * sampleBytes());
        }
    }

    size_t sampleBytes() const { return format_ == SND_PCM_FORMAT_S16 ? sizeof(int16_t) : sizeof(int32_t); }

    // Our real-time thread: one period rendered and written at a time. The
    // device's write waits while its buffer is full; a device that takes
    // everything at once (a plug-in without a clock) is held to real time
    // by our own clock, at most a buffer ahead.
    void run() {
        sched_param param{};
        param.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 10);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);  // refused without the right: runs unprivileged
        pthread_setname_np(pthread_self(), "QM.AlsaOutput");
        mn_fpu_flush_denormals();
        using clock = std::chrono::steady_clock;
        const auto periodTime = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(period_ / rate_));
        const auto lead = periodTime * static_cast<int>(std::max<uint32_t>(buffer_ / std::max<uint32_t>(period_, 1), 1));
        auto due = clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
            const int64_t wallStart = monotonicNanos();
            const int64_t cpuStart = figures_.begin();
            render_(user_, period_, pointers_.data(), static_cast<uint32_t>(channels_));
            figures_.end(cpuStart, monotonicNanos() - wallStart);
            if (!write()) {
                lost_.store(true);
                if (!reported_.exchange(true) && onChange_) onChange_();
                return;
            }
            due += periodTime;
            const auto now = clock::now();
            if (now > due + lead) due = now;  // after a stall, start afresh
            if (due > now + lead) std::this_thread::sleep_until(due - lead);
        }
    }

    // Writes the rendered period; false when the device is gone.
    bool write() {
        void** planes = nullptr;
        const void* interleaved = nullptr;
        if (planar_ && format_ == SND_PCM_FORMAT_FLOAT) {
            planes = reinterpret_cast<void**>(pointers_.data());
        } else {
            convert();
            if (planar_)
                planes = reinterpret_cast<void**>(convertedPlanes_.data());
            else
                interleaved = converted_.data();
        }
        snd_pcm_uframes_t done = 0;
        while (done < period_ && !stop_.load(std::memory_order_relaxed)) {
            snd_pcm_sframes_t n = 0;
            const snd_pcm_uframes_t left = period_ - done;
            if (planes) {
                void* at[AudioOutput::maxChannels];
                for (int c = 0; c < channels_; ++c)
                    at[c] = static_cast<char*>(planes[c]) + done * sampleBytes();
                n = snd_pcm_writen(pcm_, at, left);
            } else {
                n = snd_pcm_writei(pcm_, static_cast<const char*>(interleaved) + done * sampleBytes() * static_cast<size_t>(channels_), left);
            }
            if (n >= 0) {
                done += static_cast<snd_pcm_uframes_t>(n);
                continue;
            }
            if (n == -EAGAIN) continue;
            if (n == -EPIPE) xruns_.fetch_add(1, std::memory_order_relaxed);
            if (n == -ESTRPIPE) {
                while (snd_pcm_resume(pcm_) == -EAGAIN && !stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return false;
        }
        return true;
    }

    // The rendered floats in the device's format and layout.
    void convert() {
        const size_t channels = static_cast<size_t>(channels_), frames = period_;
        const bool planar = planar_;
        uint8_t* const out = converted_.data();
        // `write` stores sample i of the device's buffer; the format is
        // chosen once per period.
        auto each = [&](auto write) {
            for (size_t c = 0; c < channels; ++c) {
                const float* from = pointers_[c];
                for (size_t t = 0; t < frames; ++t) write(planar ? c * frames + t : t * channels + c, from[t]);
            }
        };
        switch (format_) {
            case SND_PCM_FORMAT_FLOAT:
                each([out](size_t i, float v) { std::memcpy(out + i * sizeof(float), &v, sizeof(float)); });
                break;
            case SND_PCM_FORMAT_S32:
                each([out](size_t i, float v) {
                    const auto s = static_cast<int32_t>(static_cast<double>(std::clamp(v, -1.0f, 1.0f)) * 2147483647.0);
                    std::memcpy(out + i * sizeof(s), &s, sizeof(s));
                });
                break;
            default:
                each([out](size_t i, float v) {
                    const auto s = static_cast<int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
                    std::memcpy(out + i * sizeof(s), &s, sizeof(s));
                });
                break;
        }
    }

    OutputRenderFn render_;
    void* user_;
    std::function<void()> onChange_;
    std::string description_;
    snd_pcm_t* pcm_ = nullptr;
    bool planar_ = true;
    snd_pcm_format_t format_ = SND_PCM_FORMAT_UNKNOWN;
    int channels_ = 0;
    double rate_ = kRate;
    uint32_t period_ = kPeriod;
    uint32_t buffer_ = kPeriod * kPeriods;
    std::vector<std::vector<float>> planes_;
    std::vector<float*> pointers_;
    std::vector<uint8_t> converted_;
    std::vector<uint8_t*> convertedPlanes_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    std::atomic<bool> reported_{false};
    std::atomic<int64_t> xruns_{0};
    std::thread thread_;
};

}  // namespace

namespace backends {

std::optional<std::vector<OutputEndpoint>> alsaOutputs() {
    snd_pcm_t* pcm = openPcm();
    if (!pcm) return std::nullopt;
    const int channels = channelsOf(pcm);
    std::vector<std::string> positions = channels > 0 ? positionsOf(pcm, channels) : std::vector<std::string>{};
    snd_pcm_close(pcm);
    if (channels < 1) return std::nullopt;
    return std::vector<OutputEndpoint>{OutputEndpoint{std::string(alsaPrefix) + kPcm, std::string("ALSA: ") + kPcm,
                                                      {}, channels, std::move(positions)}};
}

std::unique_ptr<AudioOutput> openAlsaOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                            std::function<void()> onChange) {
    return std::make_unique<AlsaOutput>(device, render, user, std::move(onChange));
}

}  // namespace backends

}  // namespace qm
