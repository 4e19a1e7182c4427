#include "platform/AacFileWriter.h"

#include "platform/AppError.h"
#include "platform/FfmpegText.h"

#include <fmt/format.h>

#include <algorithm>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace qm {

struct AacFileWriter::State {
    std::filesystem::path url;
    AVFormatContext* format = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int channels = 0;
    int frameSize = 0;
    int64_t pts = 0;
    std::vector<std::vector<float>> pending;  // frames not yet handed to the encoder
    bool finished = false;

    ~State() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&encoder);
        if (format) {
            if (format->pb)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    [[noreturn]] void writeFailed(int err) const {
        throw AppError(kAacWriteFailed,
                       fmt::format("Cannot write {}: {}", url.filename().string(), ffmpeg::errorText(err)));
    }
};

AacFileWriter::AacFileWriter(const std::filesystem::path& url, int sampleRate, int channels,
                             int64_t bitRate)
    : s_(std::make_unique<State>()) {
    ffmpeg::quietLog();
    s_->url = url;
    s_->channels = channels;
    auto unavailable = [&](const std::string& why) {
        return AppError(kAacFormatUnavailable,
                        fmt::format("Cannot encode AAC at {} Hz with {} channels: {}", sampleRate,
                                    channels, why));
    };
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        throw unavailable("no encoder");
    if (channels < 1 || channels > 8 || sampleRate <= 0)
        throw unavailable("unsupported format");
    if (codec->supported_samplerates) {
        bool known = false;
        for (const int* r = codec->supported_samplerates; *r; ++r)
            known = known || *r == sampleRate;
        if (!known)
            throw unavailable("unsupported sample rate");
    }

    int err = avformat_alloc_output_context2(&s_->format, nullptr, "mp4", nullptr);
    if (err < 0 || !s_->format)
        throw unavailable("no MPEG-4 container");
    s_->encoder = avcodec_alloc_context3(codec);
    if (!s_->encoder)
        throw unavailable("out of memory");
    s_->encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    s_->encoder->sample_rate = sampleRate;
    av_channel_layout_default(&s_->encoder->ch_layout, channels);
    s_->encoder->bit_rate = bitRate;
    s_->encoder->time_base = AVRational{1, sampleRate};
    if (s_->format->oformat->flags & AVFMT_GLOBALHEADER)
        s_->encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((err = avcodec_open2(s_->encoder, codec, nullptr)) < 0)
        throw unavailable(ffmpeg::errorText(err));
    s_->frameSize = s_->encoder->frame_size > 0 ? s_->encoder->frame_size : 1024;

    s_->stream = avformat_new_stream(s_->format, nullptr);
    s_->frame = av_frame_alloc();
    s_->packet = av_packet_alloc();
    if (!s_->stream || !s_->frame || !s_->packet)
        throw unavailable("out of memory");
    if ((err = avcodec_parameters_from_context(s_->stream->codecpar, s_->encoder)) < 0)
        throw unavailable(ffmpeg::errorText(err));
    s_->stream->time_base = s_->encoder->time_base;

    if ((err = avio_open(&s_->format->pb, url.c_str(), AVIO_FLAG_WRITE)) < 0)
        s_->writeFailed(err);
    if ((err = avformat_write_header(s_->format, nullptr)) < 0)
        s_->writeFailed(err);
    s_->pending.assign(channels, {});
}

AacFileWriter::~AacFileWriter() = default;

void AacFileWriter::append(const float* const* channels, int64_t frames) {
    if (frames <= 0)
        return;
    for (int c = 0; c < s_->channels; ++c)
        s_->pending[c].insert(s_->pending[c].end(), channels[c], channels[c] + frames);
    encodePending(false);
}

void AacFileWriter::finish() {
    if (s_->finished)
        return;
    encodePending(true);
    int err = avcodec_send_frame(s_->encoder, nullptr);
    if (err < 0)
        s_->writeFailed(err);
    drain();
    if ((err = av_write_trailer(s_->format)) < 0)
        s_->writeFailed(err);
    if ((err = avio_closep(&s_->format->pb)) < 0)
        s_->writeFailed(err);
    s_->finished = true;
}

// Hands whole encoder frames to the encoder; with `flush`, also the short
// remainder (the AAC encoder accepts a short last frame; otherwise it is
// padded with silence).
void AacFileWriter::encodePending(bool flush) {
    State& s = *s_;
    size_t offset = 0;
    const size_t available = s.pending[0].size();
    while (available - offset >= size_t(s.frameSize) || (flush && offset < available)) {
        const int n = int(std::min(available - offset, size_t(s.frameSize)));
        const bool smallLast = s.encoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
        const int nb = (n < s.frameSize && !smallLast) ? s.frameSize : n;
        s.frame->nb_samples = nb;
        s.frame->format = s.encoder->sample_fmt;
        s.frame->sample_rate = s.encoder->sample_rate;
        av_channel_layout_copy(&s.frame->ch_layout, &s.encoder->ch_layout);
        int err = av_frame_get_buffer(s.frame, 0);
        if (err < 0)
            s.writeFailed(err);
        for (int c = 0; c < s.channels; ++c) {
            auto* dst = reinterpret_cast<float*>(s.frame->extended_data[c]);
            std::copy_n(s.pending[c].data() + offset, n, dst);
            std::fill(dst + n, dst + nb, 0.0f);
        }
        s.frame->pts = s.pts;
        s.pts += nb;
        err = avcodec_send_frame(s.encoder, s.frame);
        av_frame_unref(s.frame);
        if (err < 0)
            s.writeFailed(err);
        drain();
        offset += size_t(n);
    }
    for (auto& ch : s.pending)
        ch.erase(ch.begin(), ch.begin() + std::ptrdiff_t(offset));
}

void AacFileWriter::drain() {
    State& s = *s_;
    for (;;) {
        int err = avcodec_receive_packet(s.encoder, s.packet);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return;
        if (err < 0)
            s.writeFailed(err);
        av_packet_rescale_ts(s.packet, s.encoder->time_base, s.stream->time_base);
        s.packet->stream_index = s.stream->index;
        err = av_interleaved_write_frame(s.format, s.packet);
        if (err < 0)
            s.writeFailed(err);
    }
}

}  // namespace qm
