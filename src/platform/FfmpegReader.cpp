#include "platform/FfmpegReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/AppError.h"
#include "platform/ChannelLabelValues.h"
#include "platform/FfmpegText.h"

namespace qm::ffmpeg {

namespace {

// Core Audio label of one FFmpeg channel, or 0 when it has none.
uint32_t labelOf(AVChannel ch) {
    using namespace channel_label;
    switch (ch) {
        case AV_CHAN_FRONT_LEFT: return kLeft;
        case AV_CHAN_FRONT_RIGHT: return kRight;
        case AV_CHAN_FRONT_CENTER: return kCenter;
        case AV_CHAN_LOW_FREQUENCY: return kLFEScreen;
        case AV_CHAN_BACK_LEFT: return kLeftSurround;
        case AV_CHAN_BACK_RIGHT: return kRightSurround;
        case AV_CHAN_FRONT_LEFT_OF_CENTER: return kLeftCenter;
        case AV_CHAN_FRONT_RIGHT_OF_CENTER: return kRightCenter;
        case AV_CHAN_BACK_CENTER: return kCenterSurround;
        case AV_CHAN_SIDE_LEFT: return kLeftSurroundDirect;
        case AV_CHAN_SIDE_RIGHT: return kRightSurroundDirect;
        case AV_CHAN_TOP_CENTER: return kTopCenterSurround;
        case AV_CHAN_TOP_FRONT_LEFT: return kVerticalHeightLeft;
        case AV_CHAN_TOP_FRONT_CENTER: return kVerticalHeightCenter;
        case AV_CHAN_TOP_FRONT_RIGHT: return kVerticalHeightRight;
        case AV_CHAN_TOP_BACK_LEFT: return kTopBackLeft;
        case AV_CHAN_TOP_BACK_CENTER: return kTopBackCenter;
        case AV_CHAN_TOP_BACK_RIGHT: return kTopBackRight;
        case AV_CHAN_WIDE_LEFT: return kLeftWide;
        case AV_CHAN_WIDE_RIGHT: return kRightWide;
        case AV_CHAN_LOW_FREQUENCY_2: return kLFE2;
        case AV_CHAN_TOP_SIDE_LEFT: return kLeftTopMiddle;
        case AV_CHAN_TOP_SIDE_RIGHT: return kRightTopMiddle;
        default: return 0;
    }
}

struct Codec {
    const char* name;
    int bits;
    bool isFloat;
};

Codec codecOf(const AVCodecParameters* par, const AVCodecContext* ctx) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
    if (desc && desc->name && std::strncmp(desc->name, "pcm_", 4) == 0) {
        const bool isFloat = std::strncmp(desc->name, "pcm_f", 5) == 0;
        return {"PCM", av_get_bits_per_sample(par->codec_id), isFloat};
    }
    auto sourceBits = [&] {
        if (ctx->bits_per_raw_sample > 0) return ctx->bits_per_raw_sample;
        if (par->bits_per_raw_sample > 0) return par->bits_per_raw_sample;
        return par->bits_per_coded_sample > 0 ? par->bits_per_coded_sample : 0;
    };
    switch (par->codec_id) {
        case AV_CODEC_ID_MP3: return {"MP3", 0, false};
        case AV_CODEC_ID_AAC: return {"AAC", 0, false};
        case AV_CODEC_ID_OPUS: return {"Opus", 0, false};
        case AV_CODEC_ID_ALAC: return {"ALAC", sourceBits(), false};
        case AV_CODEC_ID_FLAC: return {"FLAC", sourceBits(), false};
        default: return {"Compressed", 0, false};
    }
}

// Converts `count` samples of one channel of a decoded frame, from `from`.
void convertChannel(const AVFrame* f, int channel, int channels, int from, int count, float* out) {
    const auto fmt = static_cast<AVSampleFormat>(f->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const uint8_t* base = planar ? f->extended_data[channel] : f->extended_data[0];
    const int stride = planar ? 1 : channels;
    const int offset = planar ? 0 : channel;
    auto each = [&](auto* data, auto convert) {
        for (int i = 0; i < count; ++i) out[i] = convert(data[(from + i) * stride + offset]);
    };
    switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_FLT:
            each(reinterpret_cast<const float*>(base), [](float v) { return v; });
            break;
        case AV_SAMPLE_FMT_DBL:
            each(reinterpret_cast<const double*>(base), [](double v) { return static_cast<float>(v); });
            break;
        case AV_SAMPLE_FMT_S16:
            each(reinterpret_cast<const int16_t*>(base), [](int16_t v) { return v / 32768.0f; });
            break;
        case AV_SAMPLE_FMT_S32:
            each(reinterpret_cast<const int32_t*>(base),
                 [](int32_t v) { return static_cast<float>(v / 2147483648.0); });
            break;
        case AV_SAMPLE_FMT_S64:
            each(reinterpret_cast<const int64_t*>(base),
                 [](int64_t v) { return static_cast<float>(static_cast<double>(v) / 9223372036854775808.0); });
            break;
        case AV_SAMPLE_FMT_U8:
            each(base, [](uint8_t v) { return (static_cast<int>(v) - 128) / 128.0f; });
            break;
        default:
            std::fill(out, out + count, 0.0f);
            break;
    }
}

class FfmpegReader final : public AudioFileReader {
public:
    explicit FfmpegReader(std::filesystem::path path) : path_(std::move(path)) {}

    ~FfmpegReader() override {
        closeContainer();
        av_frame_free(&frame_);
        av_packet_free(&packet_);
    }

    // Opens the container and decoder, reads the facts and decodes the first
    // frame. Returns false (with a reason) when there is no decodable audio.
    bool start(std::string* whyNot) {
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) {
            *whyNot = "out of memory";
            return false;
        }
        if (!openContainer(whyNot)) return false;

        const AVStream* st = fmt_->streams[stream_];
        Codec codec = codecOf(st->codecpar, ctx_);
        format_.codec = codec.name;
        format_.bitsPerChannel = codec.bits;
        format_.isFloat = codec.isFloat;
        checkLevel_ = !codec.isFloat;
        format_.sampleRate = ctx_->sample_rate;
        format_.channels = ctx_->ch_layout.nb_channels;
        buffer_.assign(static_cast<size_t>(format_.channels), {});

        // Timestamps and lengths are exact in MP4/MOV (sample tables, edit
        // lists). Elsewhere (MP3, ADTS, Ogg, ...) they are estimates or
        // page-grained: the length is counted by decoding, and seeks decode
        // forward from the start.
        const std::string demuxer = fmt_->iformat->name;
        const bool isMov = demuxer.find("mp4") != std::string::npos ||
                           demuxer.find("mov") != std::string::npos;
        trustTimestamps_ = isMov && st->duration != AV_NOPTS_VALUE && st->duration > 0;
        try {
            // Some decoders know the output rate (AAC with SBR) and the
            // layout only after a frame: both are read after decoding.
            if (trustTimestamps_) {
                const bool any = decodeNext();
                format_.sampleRate = ctx_->sample_rate;
                format_.frames = any ? std::max<int64_t>(av_rescale_q_rnd(st->duration, st->time_base,
                                                                          sampleBase(), AV_ROUND_NEAR_INF),
                                                         0)
                                     : 0;
                readLayout();
                settleLength();
            } else {
                int64_t count = 0;
                while (decodeNext()) count += bufferedFrames_;
                format_.sampleRate = ctx_->sample_rate;
                format_.frames = count;
                readLayout();
                restart();
            }
        } catch (const AppError& e) {
            *whyNot = e.what();
            return false;
        }
        damaged_ = 0;  // counted by reads, not by the opening pass
        return format_.channels > 0 && format_.sampleRate > 0;
    }

    const AudioStreamFormat& format() const override { return format_; }

    int64_t read(int64_t position, float* const* channels, int64_t frames) override {
        frames = framesInFile(position, frames);
        if (frames == 0) return 0;
        int64_t done = 0;
        while (done < frames) {
            const int64_t want = position + done;
            if (bufferedFrames_ > 0 && want >= bufferStart_ && want < bufferStart_ + bufferedFrames_) {
                const int64_t from = want - bufferStart_;
                const int64_t n = std::min(frames - done, bufferedFrames_ - from);
                for (int c = 0; c < format_.channels; ++c)
                    std::copy_n(buffer_[c].data() + from, n, channels[c] + done);
                done += n;
                continue;
            }
            const int64_t bufferEnd = bufferStart_ + bufferedFrames_;
            const bool aheadAndNear = want >= bufferEnd && want - bufferEnd <= nearAhead();
            if (!aheadAndNear) seekTo(want);
            bool atEnd = false;
            while (bufferStart_ + bufferedFrames_ <= want) {
                if (!decodeNext()) {
                    atEnd = true;
                    break;
                }
            }
            if (atEnd) break;
            if (bufferStart_ > want)  // the stream skipped these frames: they do not exist
                throw AppError(kAudioFileReadFailed, "The audio file has a gap and cannot be read here.");
        }
        return done;
    }

private:
    AVRational sampleBase() const { return AVRational{1, ctx_->sample_rate}; }

    // How far ahead decoding forward beats a seek.
    int64_t nearAhead() const { return std::max<int64_t>(ctx_->sample_rate, preroll()); }

    // Frames decoded before a target after a seek, so that the decoder's
    // overlap and bit-reservoir state has settled.
    int64_t preroll() const {
        const AVStream* st = fmt_->streams[stream_];
        return std::max(0, st->codecpar->seek_preroll) + 8192;
    }

    bool openContainer(std::string* whyNot) {
        int err = avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr);
        if (err < 0) {
            *whyNot = errorText(err);
            return false;
        }
        err = avformat_find_stream_info(fmt_, nullptr);
        if (err < 0) {
            *whyNot = errorText(err);
            return false;
        }
        const AVCodec* decoder = nullptr;
        stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream_ < 0 || !decoder) {
            *whyNot = "no audio stream";
            return false;
        }
        for (unsigned i = 0; i < fmt_->nb_streams; ++i)
            if (static_cast<int>(i) != stream_) fmt_->streams[i]->discard = AVDISCARD_ALL;
        ctx_ = avcodec_alloc_context3(decoder);
        if (!ctx_) {
            *whyNot = "out of memory";
            return false;
        }
        AVStream* st = fmt_->streams[stream_];
        if ((err = avcodec_parameters_to_context(ctx_, st->codecpar)) < 0 ||
            (ctx_->pkt_timebase = st->time_base, err = avcodec_open2(ctx_, decoder, nullptr)) < 0) {
            *whyNot = errorText(err);
            return false;
        }
        if (ctx_->sample_rate <= 0 || ctx_->ch_layout.nb_channels <= 0) {
            *whyNot = "no sample rate or channels";
            return false;
        }
        return true;
    }

    void closeContainer() {
        avcodec_free_context(&ctx_);
        avformat_close_input(&fmt_);
    }

    void resetDecodeState() {
        bufferStart_ = 0;
        bufferedFrames_ = 0;
        nextIndex_ = 0;
        flushed_ = false;
        positionKnown_ = true;
    }

    // Back to the state right after opening: decoding starts at frame 0.
    void restart() {
        closeContainer();
        std::string why;
        if (!openContainer(&why)) {
            closeContainer();
            throw AppError(kAudioFileReadFailed, "The audio file cannot be read again: " + why);
        }
        resetDecodeState();
    }

    void seekTo(int64_t position) {
        if (!trustTimestamps_) {
            // Forward reads decode on; only going back needs a new start.
            if (position < bufferStart_ + bufferedFrames_) restart();
            return;
        }
        AVStream* st = fmt_->streams[stream_];
        for (int64_t back = preroll(); position - back > 0; back *= 4) {
            const int64_t target = position - back;
            const int64_t ts = av_rescale_q(target + originFrames_, sampleBase(), st->time_base);
            if (av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) break;
            avcodec_flush_buffers(ctx_);
            bufferedFrames_ = 0;
            flushed_ = false;
            positionKnown_ = false;
            if (!decodeNext()) break;
            // Accept a landing point only with a known position that leaves
            // the decoder at least half its pre-roll to settle.
            if (positionKnown_ && bufferStart_ <= position - std::min(position, back / 2)) return;
        }
        // Close to the start, or the container would not seek: decode from the start.
        restart();
    }

    // Decodes the next frame into the buffer; false at the end of the stream.
    bool decodeNext() {
        // A decoder that refuses packet after packet without giving a frame
        // is not reading this file.
        int refusedInRow = 0;
        for (;;) {
            int err = avcodec_receive_frame(ctx_, frame_);
            if (err == 0) {
                takeFrame();
                av_frame_unref(frame_);
                if (bufferedFrames_ > 0) return true;
                continue;
            }
            if (err == AVERROR_EOF) {
                bufferStart_ += bufferedFrames_;
                bufferedFrames_ = 0;
                return false;
            }
            if (err == AVERROR(ENOMEM))
                throw AppError(kAudioFileReadFailed, "The audio cannot be decoded: " + errorText(err));
            if (err != AVERROR(EAGAIN)) {
                // The decoder refused the packet it was given last.
                if (++refusedInRow > kMaxRefusedInRow)
                    throw AppError(kAudioFileReadFailed, "The audio cannot be decoded: " + errorText(err));
                if (takeDamagedPacket()) return true;
                continue;
            }
            if (flushed_) return false;
            err = av_read_frame(fmt_, packet_);
            if (err < 0) {
                // End of file, or a damaged tail: what was decoded is the file.
                avcodec_send_packet(ctx_, nullptr);
                flushed_ = true;
                continue;
            }
            if (packet_->stream_index == stream_) {
                lastPacketPts_ = packet_->pts;
                lastPacketFrames_ = packetFrames(*packet_);
                err = avcodec_send_packet(ctx_, packet_);
                if (err == AVERROR(ENOMEM)) {
                    av_packet_unref(packet_);
                    throw AppError(kAudioFileReadFailed, "The audio cannot be decoded: " + errorText(err));
                }
                if (err < 0 && err != AVERROR(EAGAIN)) {
                    av_packet_unref(packet_);
                    if (++refusedInRow > kMaxRefusedInRow)
                        throw AppError(kAudioFileReadFailed, "The audio cannot be decoded: " + errorText(err));
                    if (takeDamagedPacket()) return true;
                    continue;
                }
            }
            av_packet_unref(packet_);
        }
    }

    // The frames a packet stands for, from its duration, else the codec's
    // frame size, else the length of the last decoded frame.
    int64_t packetFrames(const AVPacket& p) const {
        if (p.duration > 0)
            return av_rescale_q_rnd(p.duration, fmt_->streams[stream_]->time_base, sampleBase(), AV_ROUND_NEAR_INF);
        if (ctx_->frame_size > 0) return ctx_->frame_size;
        return lastFrameLength_;
    }

    // A damaged packet is skipped as a player would: its frames read as
    // silence, so that what follows keeps its place, and are counted.
    // False when the packet stood for no frames.
    bool takeDamagedPacket() {
        const int64_t n = std::min<int64_t>(lastPacketFrames_, kMaxSilentPacket);
        lastPacketFrames_ = 0;
        if (n <= 0) return false;
        place(static_cast<int>(n), lastPacketPts_, nullptr);
        damaged_ += bufferedFrames_;
        return bufferedFrames_ > 0;
    }

    // Converts the decoded frame into the planar buffer and places it on the
    // file's frame axis.
    void takeFrame() {
        lastFrameLength_ = frame_->nb_samples;
        place(frame_->nb_samples, frame_->best_effort_timestamp, frame_);
    }

    // Puts `n` frames (of `decoded`, or silence) into the buffer: right
    // after the previous frame, except for the first frame after a seek,
    // which its timestamp `ts` places.
    void place(int n, int64_t ts, const AVFrame* decoded) {
        int64_t index = nextIndex_;
        bool known = positionKnown_;
        if (trustTimestamps_ && ts != AV_NOPTS_VALUE && (!originKnown_ || !positionKnown_)) {
            const int64_t at = av_rescale_q_rnd(ts, fmt_->streams[stream_]->time_base, sampleBase(),
                                                AV_ROUND_NEAR_INF);
            if (!originKnown_) {
                originFrames_ = at;  // the first frame of the file is frame 0
                originKnown_ = true;
            }
            index = at - originFrames_;
            known = true;
        }
        positionKnown_ = known;
        nextIndex_ = index + n;
        // Frames before the start (encoder priming left in after a seek) are dropped.
        const int skip = static_cast<int>(std::clamp<int64_t>(-index, 0, n));
        const int keep = n - skip;
        // A stream whose channel count changes keeps the count it opened
        // with: missing channels read as silence, extra ones are dropped.
        const int frameChannels = decoded ? decoded->ch_layout.nb_channels : 0;
        for (int c = 0; c < format_.channels; ++c) {
            buffer_[c].resize(static_cast<size_t>(std::max(keep, 0)));
            if (keep <= 0) continue;
            if (c < frameChannels)
                convertChannel(decoded, c, frameChannels, skip, keep, buffer_[c].data());
            else
                std::fill(buffer_[c].begin(), buffer_[c].end(), 0.0f);
        }
        if (decoded && keep > 0)
            repair(format_.channels, keep, checkLevel_,
                   [&](int c, int64_t i) -> float& { return buffer_[c][static_cast<size_t>(i)]; });
        bufferStart_ = index + skip;
        bufferedFrames_ = keep;
    }

    // Where the container's length cannot be proved by reading its last
    // frame (a truncated MP4), the frames are counted by decoding.
    void settleLength() {
        if (format_.frames <= 0) return;
        std::vector<float> one(static_cast<size_t>(format_.channels));
        std::vector<float*> ptrs;
        for (float& v : one) ptrs.push_back(&v);
        int64_t got = 0;
        try {
            got = read(format_.frames - 1, ptrs.data(), 1);
        } catch (const AppError&) {
        }
        restart();
        if (got == 1) return;
        const int64_t damagedBefore = damaged_;
        int64_t end = 0;
        while (decodeNext()) end = bufferStart_ + bufferedFrames_;
        format_.frames = end;
        damaged_ = damagedBefore;
        restart();
    }

    void readLayout() {
        const AVChannelLayout& layout = ctx_->ch_layout;
        const int n = layout.nb_channels;
        if (n != format_.channels) return;
        if (layout.order == AV_CHANNEL_ORDER_AMBISONIC) {
            format_.layoutTag = channel_label::kTagHOA_ACN_SN3D | static_cast<uint32_t>(n);
            return;
        }
        if (layout.order != AV_CHANNEL_ORDER_NATIVE && layout.order != AV_CHANNEL_ORDER_CUSTOM) return;
        std::vector<uint32_t> labels;
        for (int i = 0; i < n; ++i) {
            uint32_t label = labelOf(av_channel_layout_channel_from_index(&layout, static_cast<unsigned>(i)));
            if (label == 0) return;
            labels.push_back(label);
        }
        format_.channelLabels = std::move(labels);
    }

    std::filesystem::path path_;
    AVFormatContext* fmt_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int stream_ = -1;
    AudioStreamFormat format_;
    bool trustTimestamps_ = false;
    bool flushed_ = false;
    bool originKnown_ = false;
    bool positionKnown_ = true;
    int64_t originFrames_ = 0;  // timestamp of the first decoded frame, in frames
    int64_t nextIndex_ = 0;
    std::vector<std::vector<float>> buffer_;
    int64_t bufferStart_ = 0;
    int64_t bufferedFrames_ = 0;
    bool checkLevel_ = true;
    int64_t lastPacketPts_ = AV_NOPTS_VALUE;
    int64_t lastPacketFrames_ = 0;
    int64_t lastFrameLength_ = 0;
    // No codec's packet stands for more frames than this; a larger stated
    // duration is itself damage.
    static constexpr int64_t kMaxSilentPacket = 1 << 16;
    static constexpr int kMaxRefusedInRow = 1000;
};

}  // namespace

namespace {

uint32_t word32(const unsigned char* b, bool bigEndian) {
    return bigEndian ? uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]
                     : uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
}

// FFmpeg's WAVE reader allocates what a chunk header declares, so a few
// hundred damaged bytes can ask for gigabytes. A RIFF file reaches FFmpeg
// only when libsndfile refused it; it is given to FFmpeg only when every
// chunk fits inside the file (the audio chunk may run past a cut end).
// Empty when fit, else why not.
std::string riffUnfit(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[12] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return {};
    const std::string form(reinterpret_cast<char*>(head), 4);
    const bool big = form == "RIFX";
    if (form != "RIFF" && form != "RIFX" && form != "RF64" && form != "BW64") return {};
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) return "the file's size cannot be read";
    uint64_t at = 12;
    for (int n = 0; n < 4096 && at + 8 <= size; ++n) {
        unsigned char chunk[8];
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(chunk), sizeof chunk)) break;
        const std::string id(reinterpret_cast<char*>(chunk), 4);
        const uint64_t length = word32(chunk + 4, big);
        const bool fits = at + 8 + length <= size;
        // The audio may run to the end of a cut file (FFmpeg reads it in
        // packets of its own size); only after audio that fits are more
        // chunks read.
        if (id == "data" && !fits) break;
        if (!fits) return "the " + id + " chunk runs past the end of the file";
        at += 8 + length + (length & 1);
    }
    return {};
}

}  // namespace

std::unique_ptr<AudioFileReader> open(const std::filesystem::path& path, std::string* whyNot) {
    quietLog();
    if (std::string unfit = riffUnfit(path); !unfit.empty()) {
        if (whyNot) *whyNot = unfit;
        return nullptr;
    }
    std::string why;
    auto reader = std::make_unique<FfmpegReader>(path);
    if (!reader->start(&why)) {
        if (whyNot) *whyNot = why;
        return nullptr;
    }
    return reader;
}

}  // namespace qm::ffmpeg
