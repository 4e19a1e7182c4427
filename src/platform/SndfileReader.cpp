#include "platform/SndfileReader.h"

#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/AppError.h"
#include "platform/ChannelLabelValues.h"

namespace qm {

namespace {

// Core Audio label of one libsndfile channel-map entry, or 0 when it has none.
uint32_t labelOf(int mapEntry) {
    using namespace channel_label;
    switch (mapEntry) {
        case SF_CHANNEL_MAP_MONO: return kMono;
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT: return kLeft;
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT: return kRight;
        case SF_CHANNEL_MAP_CENTER:
        case SF_CHANNEL_MAP_FRONT_CENTER: return kCenter;
        case SF_CHANNEL_MAP_REAR_CENTER: return kCenterSurround;
        case SF_CHANNEL_MAP_REAR_LEFT: return kLeftSurround;
        case SF_CHANNEL_MAP_REAR_RIGHT: return kRightSurround;
        case SF_CHANNEL_MAP_LFE: return kLFEScreen;
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: return kLeftCenter;
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: return kRightCenter;
        case SF_CHANNEL_MAP_SIDE_LEFT: return kLeftSurroundDirect;
        case SF_CHANNEL_MAP_SIDE_RIGHT: return kRightSurroundDirect;
        case SF_CHANNEL_MAP_TOP_CENTER: return kTopCenterSurround;
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT: return kVerticalHeightLeft;
        case SF_CHANNEL_MAP_TOP_FRONT_CENTER: return kVerticalHeightCenter;
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT: return kVerticalHeightRight;
        case SF_CHANNEL_MAP_TOP_REAR_LEFT: return kTopBackLeft;
        case SF_CHANNEL_MAP_TOP_REAR_CENTER: return kTopBackCenter;
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT: return kTopBackRight;
        case SF_CHANNEL_MAP_AMBISONIC_B_W: return kAmbisonicW;
        case SF_CHANNEL_MAP_AMBISONIC_B_X: return kAmbisonicX;
        case SF_CHANNEL_MAP_AMBISONIC_B_Y: return kAmbisonicY;
        case SF_CHANNEL_MAP_AMBISONIC_B_Z: return kAmbisonicZ;
        default: return 0;
    }
}

struct Codec {
    const char* name;
    int bits;
    bool isFloat;
};

Codec codecOf(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int sub = format & SF_FORMAT_SUBMASK;
    int pcmBits = 0;
    switch (sub) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: pcmBits = 8; break;
        case SF_FORMAT_PCM_16: pcmBits = 16; break;
        case SF_FORMAT_PCM_24: pcmBits = 24; break;
        case SF_FORMAT_PCM_32: pcmBits = 32; break;
        default: break;
    }
    if (major == SF_FORMAT_FLAC)
        return {"FLAC", pcmBits, false};
    if (pcmBits) return {"PCM", pcmBits, false};
    switch (sub) {
        case SF_FORMAT_FLOAT: return {"PCM", 32, true};
        case SF_FORMAT_DOUBLE: return {"PCM", 64, true};
        case SF_FORMAT_ALAC_16: return {"ALAC", 16, false};
        case SF_FORMAT_ALAC_20: return {"ALAC", 20, false};
        case SF_FORMAT_ALAC_24: return {"ALAC", 24, false};
        case SF_FORMAT_ALAC_32: return {"ALAC", 32, false};
        case SF_FORMAT_MPEG_LAYER_III: return {"MP3", 0, false};
        case SF_FORMAT_OPUS: return {"Opus", 0, false};
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW: return {"Compressed", 8, false};
        default: return {"Compressed", 0, false};
    }
}

// The common case in one sweep over the block, four frames at a time.
void deinterleavePair(const float* src, int64_t frames, float* __restrict l, float* __restrict r) {
    using V4 = float __attribute__((vector_size(16)));
    int64_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        V4 a, b;
        std::memcpy(&a, src + 2 * i, sizeof a);
        std::memcpy(&b, src + 2 * i + 4, sizeof b);
        const V4 left = __builtin_shufflevector(a, b, 0, 2, 4, 6);
        const V4 right = __builtin_shufflevector(a, b, 1, 3, 5, 7);
        std::memcpy(l + i, &left, sizeof left);
        std::memcpy(r + i, &right, sizeof right);
    }
    for (; i < frames; ++i) {
        l[i] = src[2 * i];
        r[i] = src[2 * i + 1];
    }
}

// 16-bit samples as libsndfile's float read gives them (s / 32 768), split
// into the channels in the same sweep.
void widen16(const short* src, int64_t frames, int nch, float* const* channels) {
    constexpr float k = 1.0f / 32768.0f;
    if (nch == 2 && std::endian::native == std::endian::little) {
        // Four frames at a time as four 32-bit words, the left sample in the
        // low half of each (little-endian), split by shifts.
        using I4 = int32_t __attribute__((vector_size(16)));
        using V4 = float __attribute__((vector_size(16)));
        float* __restrict l = channels[0];
        float* __restrict r = channels[1];
        int64_t i = 0;
        for (; i + 4 <= frames; i += 4) {
            I4 w;
            std::memcpy(&w, src + 2 * i, sizeof w);
            const V4 left = __builtin_convertvector((w << 16) >> 16, V4) * k;
            const V4 right = __builtin_convertvector(w >> 16, V4) * k;
            std::memcpy(l + i, &left, sizeof left);
            std::memcpy(r + i, &right, sizeof right);
        }
        for (; i < frames; ++i) {
            l[i] = float(src[2 * i]) * k;
            r[i] = float(src[2 * i + 1]) * k;
        }
        return;
    }
    for (int c = 0; c < nch; ++c) {
        float* dst = channels[c];
        for (int64_t i = 0; i < frames; ++i) dst[i] = float(src[i * nch + c]) * k;
    }
}

class SndfileReader final : public AudioFileReader {
public:
    SndfileReader(SNDFILE* file, const SF_INFO& info, std::filesystem::path path)
        : file_(file), path_(std::move(path)) {
        const int sub = info.format & SF_FORMAT_SUBMASK;
        // libsndfile's seeks in MPEG and Ogg Vorbis/Opus streams can land
        // frames away from the target: those are read forward from the start.
        exactSeek_ = sub != SF_FORMAT_MPEG_LAYER_I && sub != SF_FORMAT_MPEG_LAYER_II &&
                     sub != SF_FORMAT_MPEG_LAYER_III && sub != SF_FORMAT_VORBIS &&
                     sub != SF_FORMAT_OPUS;
        Codec codec = codecOf(info.format);
        format_.codec = codec.name;
        format_.bitsPerChannel = codec.bits;
        format_.isFloat = codec.isFloat;
        format_.sampleRate = info.samplerate;
        format_.channels = info.channels;
        format_.frames = std::max<sf_count_t>(info.frames, 0);
        // Integer and compressed samples never lie far beyond full scale;
        // float files may carry any overshoot.
        checkLevel_ = !codec.isFloat;
        // Integer samples, stored or losslessly packed, decode to finite
        // values within full scale by construction: nothing to repair, and
        // the scan would cost as much as the decoding.
        const std::string name = codec.name;
        bounded_ = !codec.isFloat && (name == "PCM" || name == "FLAC" || name == "ALAC");
        pcm16_ = sub == SF_FORMAT_PCM_16 && bounded_;
        readLayout();
    }

    // Makes `frames` what a sequential read yields. A read of the claimed
    // last frame proves the header's claim; where it fails (a cut FLAC or
    // MP3, an MP3 claiming 2^63 frames) the frames are counted by decoding.
    // Where seeks are not exact (MPEG, Ogg) the library's own seek serves
    // the probe: it may land frames away, but never past the real end.
    void settleLength() {
        const int nch = format_.channels;
        if (format_.frames > 0) {
            scratch_.resize(static_cast<size_t>(nch));
            const int64_t last = format_.frames - 1;
            const bool proved =
                sf_seek(file_, last, SEEK_SET) == last && sf_readf_float(file_, scratch_.data(), 1) == 1;
            if (proved && exactSeek_ && sf_seek(file_, 0, SEEK_SET) == 0) return;
            reopen();
            if (proved) return;
        }
        int64_t count = 0;
        scratch_.resize(static_cast<size_t>(kBlock * nch));
        for (;;) {
            const sf_count_t got = sf_readf_float(file_, scratch_.data(), kBlock);
            if (got <= 0) break;
            count += got;
        }
        format_.frames = count;
        reopen();
    }

    ~SndfileReader() override { sf_close(file_); }

    const AudioStreamFormat& format() const override { return format_; }

    int64_t read(int64_t position, float* const* channels, int64_t frames) override {
        frames = framesInFile(position, frames);
        if (frames == 0) return 0;
        if (position != cursor_) moveTo(position);
        if (position != cursor_) return 0;  // the stream ended before the position
        const int nch = format_.channels;
        int64_t done = 0;
        if (pcm16_) {
            // Read as stored and widened here, in the sweep that splits the
            // channels: the float read would pass over every sample once more.
            at_.resize(static_cast<size_t>(nch));
            while (done < frames) {
                const int64_t want = std::min<int64_t>(frames - done, kBlock);
                shorts_.resize(static_cast<size_t>(want * nch));
                const sf_count_t got = sf_readf_short(file_, shorts_.data(), want);
                if (got <= 0) break;
                for (int c = 0; c < nch; ++c) at_[size_t(c)] = channels[c] + done;
                widen16(shorts_.data(), got, nch, at_.data());
                done += got;
            }
            cursor_ += done;
            return done;
        }
        while (done < frames) {
            const int64_t want = std::min<int64_t>(frames - done, kBlock);
            scratch_.resize(static_cast<size_t>(want * nch));
            const sf_count_t got = sf_readf_float(file_, scratch_.data(), want);
            if (got <= 0) break;
            // Damage is judged in stretches of one MPEG frame's length.
            for (int64_t at = 0; !bounded_ && at < got; at += kDamageStretch) {
                float* stretch = scratch_.data() + at * nch;
                repair(nch, std::min<int64_t>(kDamageStretch, got - at), checkLevel_,
                       [&](int c, int64_t i) -> float& { return stretch[i * nch + c]; });
            }
            if (nch == 2) {
                deinterleavePair(scratch_.data(), got, channels[0] + done, channels[1] + done);
            } else {
                for (int c = 0; c < nch; ++c) {
                    float* dst = channels[c] + done;
                    const float* src = scratch_.data() + c;
                    for (sf_count_t i = 0; i < got; ++i) dst[i] = src[i * nch];
                }
            }
            done += got;  // a decoder may give fewer frames than asked before its end
        }
        cursor_ += done;
        return done;
    }

private:
    static constexpr int64_t kBlock = 4096;
    static constexpr int64_t kDamageStretch = 1152;

    void moveTo(int64_t position) {
        if (exactSeek_) {
            if (sf_seek(file_, position, SEEK_SET) < 0) {
                cursor_ = -1;
                throw AppError(kAudioFileReadFailed,
                               std::string("Cannot seek in the audio file: ") + sf_strerror(file_));
            }
            cursor_ = position;
            return;
        }
        if (position < cursor_ || cursor_ < 0) reopen();
        const int nch = format_.channels;
        while (cursor_ < position) {
            const int64_t want = std::min<int64_t>(position - cursor_, kBlock);
            scratch_.resize(static_cast<size_t>(want * nch));
            const sf_count_t got = sf_readf_float(file_, scratch_.data(), want);
            if (got <= 0) return;
            cursor_ += got;
        }
    }

    // Starts decoding again from the first frame.
    void reopen() {
        SF_INFO info{};
        SNDFILE* again = sf_open(path_.c_str(), SFM_READ, &info);
        if (!again) throw AppError(kAudioFileReadFailed, "The audio file cannot be read again.");
        sf_close(file_);
        file_ = again;
        cursor_ = 0;
    }

    void readLayout() {
        const int nch = format_.channels;
        if (nch == 4 && sf_command(file_, SFC_WAVEX_GET_AMBISONIC, nullptr, 0) ==
                            SF_AMBISONIC_B_FORMAT) {
            format_.layoutTag = channel_label::kTagAmbisonicBFormat;
            format_.channelLabels = {channel_label::kAmbisonicW, channel_label::kAmbisonicX,
                                     channel_label::kAmbisonicY, channel_label::kAmbisonicZ};
            return;
        }
        std::vector<int> map(static_cast<size_t>(nch));
        if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int))) != SF_TRUE)
            return;
        std::vector<uint32_t> labels;
        for (int entry : map) {
            uint32_t label = labelOf(entry);
            if (label == 0) return;  // a channel without a known position: no usable layout
            labels.push_back(label);
        }
        format_.channelLabels = std::move(labels);
    }

    SNDFILE* file_;
    std::filesystem::path path_;
    bool exactSeek_ = true;
    bool checkLevel_ = true;
    bool bounded_ = false;
    AudioStreamFormat format_;
    int64_t cursor_ = 0;
    std::vector<float> scratch_;
    std::vector<short> shorts_;
    std::vector<float*> at_;
    bool pcm16_ = false;
};

}  // namespace

namespace sndfile {

std::unique_ptr<AudioFileReader> open(const std::filesystem::path& path, std::string* whyNot) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        if (whyNot) *whyNot = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        sf_close(file);
        if (whyNot) *whyNot = "no channels or no sample rate";
        return nullptr;
    }
    auto reader = std::make_unique<SndfileReader>(file, info, path);
    reader->settleLength();
    return reader;
}

}  // namespace sndfile

}  // namespace qm
