#include "playback/Exporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "audio/UpmixRequest.h"
#include "spatial/Upmixer.h"
#include "audio/WholeWavFile.h"
#include "platform/FileAccess.h"
#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/BinauralRenderer.h"
#include "rt/mn_mix.h"
#include "rt/mn_upmix.h"

namespace qm {

namespace fs = std::filesystem;

std::string DragExport::id() const {
    switch (kind) {
        case Kind::bed: return "bed-" + std::string(layout::rawValue(layout));
        case Kind::upmix: return "upmix-" + std::string(layout::rawValue(layout));
        case Kind::original: return "original";
        case Kind::binaural: return "binaural";
    }
    return {};
}

std::string DragExport::name() const {
    switch (kind) {
        case Kind::bed:
            if (layout == LayoutID::stereo) return "Stereo fold-down";
            return std::string(layout::displayName(layout)) + " bed";
        case Kind::upmix: return std::string(layout::displayName(layout)) + " upmix";
        case Kind::original: return "Original";
        case Kind::binaural: return "Binaural";
    }
    return {};
}

namespace Exporter {

std::string day(std::chrono::system_clock::time_point now) {
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    return fmt::format("{:04}-{:02}-{:02}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

namespace {

// Matrix and upmix pulls stream in blocks of this many frames; binaural
// pulls in the renderer's largest call.
constexpr int64_t kBlock = 16384;
constexpr int64_t kBinauralBlock = kMaxRenderFrames;

std::string tag(LayoutID id) {
    switch (id) {
        case LayoutID::stereo: return "st";
        case LayoutID::l51: return "51";
        case LayoutID::l71: return "71";
        case LayoutID::l514: return "514";
        case LayoutID::l712: return "712";
        case LayoutID::l714: return "714";
        case LayoutID::l916: return "916";
    }
    return {};
}

std::string lowercased(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

std::string seconds(int64_t frames, double sampleRate) {
    return fmt::format("{:.3f}", sampleRate > 0 ? double(frames) / sampleRate : 0.0);
}

std::string fileName(const Request& r, const Range& range) {
    std::string suffix;
    if (r.range)
        suffix += "_" + seconds(range.start, r.info.sampleRate) + "-" + seconds(range.end, r.info.sampleRate) + "s";
    switch (r.mode.kind) {
        case DragExport::Kind::bed: suffix += "_" + tag(r.mode.layout); break;
        case DragExport::Kind::upmix: suffix += "_" + tag(r.mode.layout) + "up-" + lowercased(r.upmixName); break;
        case DragExport::Kind::binaural: suffix += "_bin"; break;
        case DragExport::Kind::original:
            if (r.listen != ListenMode::normal) suffix += "_" + std::string(listenMode::rawValue(r.listen));
            break;
    }
    // The source's name gives way to what says what the pull is, and to the
    // number (" 2" to " 9999") a taken name gets, within the name limit.
    const size_t limit = FileAccess::nameMax(r.folder);
    const size_t room = limit > suffix.size() + 4 + 5 ? limit - suffix.size() - 4 - 5 : 1;
    std::string name = FileAccess::cutName(r.info.url.stem().string(), room) + suffix;
    std::replace(name.begin(), name.end(), '/', '-');
    std::replace(name.begin(), name.end(), ':', '-');
    return name + ".wav";
}

std::string describe(const Request& r, const Range& range, const std::string& label) {
    return fmt::format("Pulled from {} [{}-{} s] {}", r.info.url.filename().string(),
                       seconds(range.start, r.info.sampleRate), seconds(range.end, r.info.sampleRate), label);
}

// "L R C LFE Lss Rss Lrs Rrs Ltm Rtm" for a layout without a WAVE order.
std::string smpteLabels(const std::vector<SpeakerID>& speakers) {
    std::string s;
    for (SpeakerID id : speakers) {
        if (!s.empty()) s += ' ';
        s += speaker::label(id, speakers);
    }
    return s;
}

int indexIn(const std::vector<SpeakerID>& list, SpeakerID s) {
    return int(std::find(list.begin(), list.end(), s) - list.begin());
}

std::string listenWords(ListenMode m) {
    switch (m) {
        case ListenMode::mono: return "Mono sum";
        case ListenMode::left: return "Left only";
        case ListenMode::right: return "Right only";
        case ListenMode::midSide: return "M/S decode";
        case ListenMode::normal: break;
    }
    return {};
}

struct MatrixPlan {
    Matrix matrix;  // one row per file channel, in file order
    uint32_t mask = 0;
    std::string label;
};

MatrixPlan plan(const Request& r, std::optional<LayoutID> target) {
    MatrixPlan p;
    const auto* list = r.source.speakerList();
    if (!target) {
        if (list && *list == std::vector<SpeakerID>{SpeakerID::L, SpeakerID::R} && r.listen != ListenMode::normal) {
            p.matrix = listenMode::matrix(r.listen);
            p.mask = 3;
            p.label = "Stereo (" + listenWords(r.listen) + ")";
            return p;
        }
        const size_t n = size_t(std::max(r.info.channels, 0));
        Matrix identity(n, std::vector<double>(n, 0.0));
        for (size_t i = 0; i < n; ++i) identity[i][i] = 1;
        p.label = r.source.displayName();
        if (list && list->size() == n) {
            if (auto wave = WaveMask::mask(*list)) {
                for (SpeakerID s : wave->order) p.matrix.push_back(identity[size_t(indexIn(*list, s))]);
                p.mask = wave->mask;
                return p;
            }
        }
        p.matrix = std::move(identity);
        return p;
    }
    const auto& speakers = layout::speakers(*target);
    const std::string name(layout::displayName(*target));
    Matrix m = MixBuilder::layoutMatrix(r.source, r.info.channels, speakers, r.listen, r.rotation, r.monoToCenter);
    if (auto wave = WaveMask::mask(speakers)) {
        for (SpeakerID s : wave->order) p.matrix.push_back(m[size_t(indexIn(speakers, s))]);
        p.mask = wave->mask;
        p.label = name + " (WAVE order)";
    } else {
        p.matrix = std::move(m);
        p.label = name + " (SMPTE order: " + smpteLabels(speakers) + ")";
    }
    return p;
}

// Planar scratch channels of one block each.
struct Channels {
    std::vector<float> memory;
    std::vector<float*> ptr;
    Channels(int count, int64_t frames) : memory(size_t(std::max(count, 0)) * size_t(frames), 0.0f) {
        for (int c = 0; c < count; ++c) ptr.push_back(memory.data() + size_t(c) * size_t(frames));
    }
    void clear() { std::fill(memory.begin(), memory.end(), 0.0f); }
    float* const* data() const { return ptr.data(); }
    const float* const* input() const { return ptr.data(); }
};

// A gain matrix as the real-time mixer reads it: `columns` inputs per row,
// entries beyond a row's own length read as zero.
struct MixRecord {
    std::vector<float> gains;
    mn_mix_config record{};
    MixRecord(const Matrix& m, int columns) : gains(std::max<size_t>(m.size() * size_t(columns), 1), 0.0f) {
        for (size_t r = 0; r < m.size(); ++r)
            for (size_t c = 0; c < std::min(m[r].size(), size_t(columns)); ++c)
                gains[r * size_t(columns) + c] = float(m[r][c]);
        record.in_channels = columns;
        record.rows = int32_t(m.size());
        record.matrix = gains.data();
    }
};

// The source while it is read. It remembers the file's identity, size and
// modification time when opened, so that a file deleted, moved away or
// rewritten under the export is reported instead of giving a pull of the
// wrong audio (an open file keeps reading after it is deleted).
class Source {
public:
    explicit Source(const fs::path& url) : url_(url) {
        if (::stat(url.c_str(), &opened_) != 0)
            throw AppError(kAudioFileNotFound, fmt::format("The source file \"{}\" was not found", name()));
        reader_ = AudioFileReader::open(url);
    }

    int channels() const { return reader_->format().channels; }
    double sampleRate() const { return reader_->format().sampleRate; }

    // Reads exactly `frames` frames. The reader's length is what the file
    // holds, so a read that comes up short means the file ended early
    // (cut or damaged after it was opened): every pull form then stops
    // there with an error, never padding silence nor writing a short pull.
    int64_t read(int64_t position, float* const* channels, int64_t frames) {
        const int64_t got = reader_->read(position, channels, frames);
        if (got > 0) framesRead_ += got;
        if (got < frames)
            throw AppError(kAudioFileReadFailed,
                           fmt::format("The source file \"{}\" ended early, at {} s of {} s", name(),
                                       seconds(position + std::max<int64_t>(got, 0), sampleRate()),
                                       seconds(reader_->format().frames, sampleRate())));
        return got;
    }

    // Throws when the file is gone or changed, or when nothing could be read.
    void finish() const {
        struct stat now {};
        if (::stat(url_.c_str(), &now) != 0)
            throw AppError(kAudioFileNotFound,
                           fmt::format("The source file \"{}\" disappeared while it was being exported", name()));
        if (now.st_dev != opened_.st_dev || now.st_ino != opened_.st_ino || now.st_size != opened_.st_size ||
            now.st_mtim.tv_sec != opened_.st_mtim.tv_sec || now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec)
            throw AppError(kAudioFileReadFailed,
                           fmt::format("The source file \"{}\" changed while it was being exported", name()));
        if (framesRead_ == 0)
            throw AppError(kAudioFileReadFailed, fmt::format("Couldn't read any audio from \"{}\"", name()));
    }

private:
    std::string name() const { return url_.filename().string(); }

    fs::path url_;
    struct stat opened_ {};
    std::unique_ptr<AudioFileReader> reader_;
    int64_t framesRead_ = 0;
};

// The pull being written, reporting its progress after every block.
class PullFile {
public:
    PullFile(const fs::path& dest, double sampleRate, int channels, uint32_t mask, const std::string& description,
             int64_t total, const Progress& progress)
        : file_(dest, sampleRate, channels, mask, description), total_(total), progress_(progress) {}

    void append(const float* const* channels, int64_t frames) {
        if (frames <= 0) return;
        file_.append(channels, frames);
        done_ += frames;
        if (progress_ && !progress_(done_, total_)) throw AppError(kCancelled, "Export cancelled");
    }

    fs::path commit() { return file_.commit(); }

private:
    WholeWavFile file_;
    int64_t total_ = 0, done_ = 0;
    const Progress& progress_;
};

fs::path renderMatrix(const Request& r, const Range& range, const fs::path& dest, std::optional<LayoutID> target,
                      const Progress& progress) {
    const MatrixPlan p = plan(r, target);
    Source source(r.info.url);
    const int in = source.channels();
    const int out = int(p.matrix.size());
    if (out < 1)
        throw AppError(kAudioFileReadFailed,
                       fmt::format("\"{}\" has no channels to export", r.info.url.filename().string()));
    const MixRecord mix(p.matrix, in);
    PullFile file(dest, source.sampleRate(), out, p.mask, describe(r, range, p.label), range.length(), progress);
    Channels inBuf(in, kBlock), outBuf(out, kBlock);
    for (int64_t pos = range.start, left = range.length(); left > 0;) {
        const int64_t got = source.read(pos, inBuf.data(), std::min(left, kBlock));
        if (got <= 0) break;
        outBuf.clear();
        mn_mix_accumulate(&mix.record, inBuf.input(), int32_t(got), outBuf.data(), out, nullptr);
        file.append(outBuf.input(), got);
        pos += got;
        left -= got;
    }
    source.finish();
    return file.commit();
}

// The virtual speakers of a binaural pull: each block of source frames is
// read and mixed once into one row per virtual speaker, the bus that the
// binaural renderer turns into two ears.
struct VirtualFeeder {
    Source& file;
    MixRecord matrix;
    int64_t position;   // next source frame
    int64_t remaining;  // source frames still to read
    Channels inBuf;
    Channels rows;

    // Fills the rows with the next `frames` frames; silence past the range.
    void ensure(int64_t frames) {
        rows.clear();
        if (remaining < 1) return;
        const int64_t got = file.read(position, inBuf.data(), std::min({remaining, frames, kBinauralBlock}));
        if (got <= 0) {
            remaining = 0;
            return;
        }
        position += got;
        remaining -= got;
        mn_mix_accumulate(&matrix.record, inBuf.input(), int32_t(got), rows.data(), matrix.record.rows, nullptr);
    }
};

fs::path renderBinaural(const Request& r, const Range& range, const fs::path& dest, const Progress& progress) {
    Source source(r.info.url);
    const double sr = source.sampleRate();
    const MixBuilder::Binaural bin = MixBuilder::binauralMatrix(r.source, r.info.channels, r.rotation);
    const int count = int(bin.dirs.size());
    if (count == 0 || count > BinauralRenderer::maxSources)
        throw AppError(kBinauralSourceUnfit, "Binaural needs a multichannel or Ambisonics source");

    BinauralRenderer renderer(sr);
    for (int i = 0; i < count; ++i) renderer.setDirection(i, bin.dirs[size_t(i)].az, bin.dirs[size_t(i)].el);
    // The renderer takes new directions at a block boundary, crossfading from
    // the old ones; one silent block lets it take them, and the reset clears
    // what that block left, so the pull starts on its own responses.
    const auto block = static_cast<size_t>(BinauralRenderer::blockSize);
    std::vector<float> scratchL(block), scratchR(block);
    renderer.render(nullptr, 0, uint32_t(block), scratchL.data(), scratchR.data());
    renderer.reset();

    VirtualFeeder feeder{source, MixRecord(bin.matrix, source.channels()), range.start, range.length(),
                         Channels(source.channels(), kBinauralBlock), Channels(count, kBinauralBlock)};
    const int64_t total = range.length() + int64_t(std::floor(sr * 0.25));  // a quarter second of tail
    PullFile file(dest, sr, 2, 3, describe(r, range, "Binaural (HRTF)"), total, progress);
    Channels ears(2, kBinauralBlock);
    for (int64_t rendered = 0; rendered < total;) {
        const int64_t k = std::min(total - rendered, kBinauralBlock);
        feeder.ensure(k);
        renderer.render(feeder.rows.input(), count, uint32_t(k), ears.ptr[0], ears.ptr[1]);
        file.append(ears.input(), k);
        rendered += k;
    }
    source.finish();
    return file.commit();
}

fs::path renderUpmix(const Request& r, const Range& range, const fs::path& dest, LayoutID target,
                     const Progress& progress) {
    static const char* const unfit = "Upmix needs a stereo or speaker-layout source smaller than the target";
    Source source(r.info.url);
    const double sr = source.sampleRate();
    const int ch = source.channels();
    const auto& targetSpeakers = layout::speakers(target);
    const auto* list = r.source.speakerList();
    if (!list || list->size() != size_t(ch) || !UpmixPlanner::applies(*list, targetSpeakers))
        throw AppError(kUpmixSourceUnfit, unfit);
    const int outs = int(targetSpeakers.size());
    // Declared before the upmixer, so it outlives it: a plan the export
    // replaces is held here until the export ends.
    ManualMainQueue retired;
    const std::shared_ptr<Upmixer> upmixer = Upmixer::create(ch, outs, sr, retired);
    if (!upmixer) throw AppError(kUpmixSourceUnfit, unfit);
    upmixer->apply(UpmixRequest{*list, targetSpeakers, r.upmix});

    const std::string name = std::string(layout::displayName(target)) + " upmix, " + r.upmixName;
    std::vector<int> perm;
    uint32_t mask = 0;
    std::string label;
    if (auto wave = WaveMask::mask(targetSpeakers)) {
        for (SpeakerID s : wave->order) perm.push_back(indexIn(targetSpeakers, s));
        mask = wave->mask;
        label = name + " (WAVE order)";
    } else {
        for (int i = 0; i < outs; ++i) perm.push_back(i);
        label = name + " (SMPTE order: " + smpteLabels(targetSpeakers) + ")";
    }

    const int64_t n = range.length();
    PullFile file(dest, sr, outs, mask, describe(r, range, label), n, progress);
    Channels inBuf(ch, kBlock), outBuf(outs, kBlock);
    std::vector<const float*> fileChannels(size_t(outs), nullptr);

    const int64_t latency = mn_upmix_latency(upmixer->raw());
    int64_t pre = 0, skip = latency, written = 0;
    if (r.loop) {
        pre = std::min(latency + int64_t(std::floor(sr * 0.1)), n);
        skip = pre + latency;
    }
    // Runs one block through the kernel and writes what falls inside the pull.
    auto process = [&](const float* const* in, int64_t g) {
        mn_upmix_process(upmixer->raw(), in, int32_t(g), outBuf.data());
        const int64_t d = std::min(g, skip);
        skip -= d;
        const int64_t w = std::min(g - d, n - written);
        if (w > 0) {
            for (int j = 0; j < outs; ++j) fileChannels[size_t(j)] = outBuf.ptr[size_t(perm[size_t(j)])] + d;
            file.append(fileChannels.data(), w);
            written += w;
        }
    };
    // Reads and processes `count` frames from `from`; false when the source ran out.
    auto pass = [&](int64_t from, int64_t count) {
        for (int64_t pos = from, left = count; left > 0;) {
            const int64_t got = source.read(pos, inBuf.data(), std::min(left, kBlock));
            if (got <= 0) return false;
            process(inBuf.input(), got);
            pos += got;
            left -= got;
        }
        return true;
    };

    // A looping pull starts from the state the range's end leaves behind and
    // runs its delayed end on into the range's start.
    if (r.loop && pre >= 1) pass(range.end - pre, pre);
    pass(range.start, n);
    if (r.loop) pass(range.start, std::min(latency, n));
    while (written < n) process(nullptr, std::min(kBlock, n - written + skip));
    source.finish();
    return file.commit();
}

}  // namespace

fs::path exportPull(const Request& request, const Progress& progress) {
    const auto& info = request.info;
    if (request.mode.kind == DragExport::Kind::original && !request.range && request.listen == ListenMode::normal) {
        std::error_code ec;
        if (!fs::is_regular_file(info.url, ec))
            throw AppError(kAudioFileNotFound,
                           fmt::format("The source file \"{}\" was not found", info.url.filename().string()));
        return info.url;
    }
    const Range range = request.range.value_or(Range{0, info.frames});
    if (range.start < 0 || range.end <= range.start || range.start >= info.frames)
        throw AppError(kEmptyRange,
                       fmt::format("The selection holds no audio of \"{}\"", info.url.filename().string()));
    const fs::path dest = request.folder / day() / fileName(request, range);
    switch (request.mode.kind) {
        case DragExport::Kind::upmix: return renderUpmix(request, range, dest, request.mode.layout, progress);
        case DragExport::Kind::binaural: return renderBinaural(request, range, dest, progress);
        case DragExport::Kind::bed: return renderMatrix(request, range, dest, request.mode.layout, progress);
        case DragExport::Kind::original: return renderMatrix(request, range, dest, std::nullopt, progress);
    }
    return dest;
}

}  // namespace Exporter

}  // namespace qm
