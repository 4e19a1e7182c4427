// AudioFileInfo::fromHeader: the facts the audio reader (libsndfile) gives a
// RIFF, RF64 or Wave64 WAVE file or an AIFF/AIFC file, from the header
// alone, for the files whose headers leave no doubt how the reader takes
// them; nothing otherwise, and the caller opens the reader.
//
// The walks follow the reader's own, chunk by chunk, position by position:
// - RIFF: each chunk is followed by a pad byte when its size is odd; the
//   reader stops at a chunk whose size reaches the file's length; the data
//   is cut to what the file holds, and only data at the file's end may be
//   of odd size. Chunks the reader parses (smpl, acid, cart, LIST and INFO,
//   PEAK, cue) are taken where the reader's parse of them ends where the
//   chunk ends and cannot fail;
// - RF64/BW64: a ds64 chunk of 28 bytes first, whose data size stands for
//   the data chunk's; no pad bytes, so only even chunk sizes are taken; the
//   chunks its own parser reads with checks of its own are left to it;
// - Wave64: 16-byte GUIDs and 64-bit sizes, chunks on 8-byte boundaries;
//   the reader names a chunk by a hash of its GUID and takes the audio to
//   run to the file's end whatever the data chunk's size, so only files
//   whose data chunk ends them are taken; chunks it skips in its own way
//   (junk, list, levl, bext...) are left to it;
// - AIFF/AIFC: big-endian sizes, pad bytes after odd chunks, a COMM chunk
//   whose compression the reader decodes as integer PCM ('NONE', 'twos',
//   'sowt') or float ('fl32', 'fl64'), the SSND chunk's offset field; a
//   channel layout (CHAN), markers, comments and loop chunks are left to it.
// Everywhere the reader's header buffer is followed too: it keeps what the
// walk reads, and a header that would make it grow past its limit (about
// 100 KiB) is left to the reader, whose reads then fail.
//
// tests/audio/WaveHeaderTest.cpp sets these facts against the reader's own
// on files of every kind.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "audio/AudioFileInfo.h"
#include "audio/ByteOrder.h"
#include "platform/AudioFileReader.h"
#include "platform/ChannelLabelValues.h"
#include "platform/ReadOnlyFile.h"
#include "platform/SampleRate.h"

namespace qm {

namespace {

using namespace byteorder;

constexpr uint16_t kFormatPCM = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The reader's limit.
constexpr int kMaxChannels = 1024;
// A walk of more chunks than this is left to the reader.
constexpr int kMaxChunks = 512;

// Bytes 2 to 15 of the KSDATAFORMAT sub-format GUIDs of integer PCM (1) and
// float (3) as they stand in a file (bytes 0 and 1 are the format code).
constexpr std::array<uint8_t, 14> kSubformatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Chunks the reader skips without looking inside, and bext, which it reads
// whatever its size.
constexpr std::array<std::string_view, 23> kSkipped = {
    "iXML", "strc", "afsp", "clm ", "elmo", "levl", "plst", "minf", "elm1", "regn", "ovwf", "inst",
    "AFAn", "umid", "SyLp", "Cr8r", "JUNK", "_PMX", "DISP", "MEXT", "FLLR", "PAD ", "bext"};
// Names the reader parses with checks of its own, in RIFF files where the
// walk does not follow the parse, and in every RF64 file.
constexpr std::array<std::string_view, 8> kParsed = {"RIFF", "RIFX", "RF64", "ds64", "smpl", "acid", "cart", "INFO"};

bool printable(const char* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] > 0x7E) return false;
    return true;
}

template <size_t N>
bool among(std::string_view id, const std::array<std::string_view, N>& names) {
    return std::find(names.begin(), names.end(), id) != names.end();
}

// The reader's header buffer, seen from outside. Every byte the reader's
// header walk reads, and every byte of a short jump, goes into one buffer
// that starts at 256 bytes and doubles when a read or jump would reach its
// end, never past 100 KiB: a jump that would need more is sought past (and
// always lands right), a read that would need more reads nothing and the
// walk goes astray. Audio data is sought past on the file, outside it.
//
// Kept here: `used` (never less than what the reader holds) and `size`,
// exact until a read whose pieces the walk does not follow would grow the
// buffer; from then on only bounded. A read is let through when it cannot
// fail whatever the pieces: below half the limit every growth it asks for
// is allowed.
class HeaderBuffer {
public:
    // A read of `bytes` made of pieces of at most `piece` bytes, all of which
    // the walk follows when `piece` is given; false when it might fail.
    bool read(uint64_t bytes, uint64_t piece = 0) {
        if (exact_ && piece) {
            for (uint64_t done = 0; done < bytes; done += piece) {
                const uint64_t n = std::min(piece, bytes - done);
                if (used_ + n >= size_ && !grow(n)) return false;
                used_ += n;
            }
            return true;
        }
        if (exact_ && used_ + bytes < size_) {
            used_ += bytes;
            return true;
        }
        if (used_ + bytes >= kLimit / 2) return false;
        exact_ = false;
        used_ += bytes;
        return true;
    }

    // A jump forward of `bytes`: kept in the buffer when it fits, sought
    // past otherwise.
    void jump(uint64_t bytes) {
        if (!exact_) {
            // Kept, for all that is known, unless it could not fit at all.
            if (used_ + bytes <= kLimit) used_ += bytes;
            return;
        }
        if (used_ + bytes >= size_) grow(bytes);
        if (used_ + bytes <= size_) used_ += bytes;
    }

private:
    static constexpr uint64_t kLimit = 100 * 1024;

    bool grow(uint64_t needed) {
        const uint64_t next = needed > size_ ? 2 * std::max<uint64_t>(needed, 256) : 2 * size_;
        if (next > kLimit) return false;
        size_ = next;
        return true;
    }

    uint64_t used_ = 0;
    uint64_t size_ = 256;
    bool exact_ = true;
};

// The format as the reader reports it, from a fmt chunk; nothing for one
// it might read otherwise.
std::optional<AudioStreamFormat> formatOf(const std::string& fmt) {
    if (fmt.size() < 16) return std::nullopt;
    const uint16_t tag = le16(&fmt[0]);
    const int channels = le16(&fmt[2]);
    const uint32_t rate = le32(&fmt[4]);
    const uint16_t blockAlign = le16(&fmt[12]);
    const int bits = le16(&fmt[14]);
    if (channels < 1 || channels > kMaxChannels || !sampleRate::plausible(rate)) return std::nullopt;
    if (bits % 8 != 0 || blockAlign != channels * (bits / 8)) return std::nullopt;

    AudioStreamFormat f;
    f.sampleRate = rate;
    f.channels = channels;
    bool isFloat = tag == kFormatFloat;
    if (tag == kFormatExtensible) {
        if (fmt.size() < 40 || le16(&fmt[16]) < 22) return std::nullopt;
        const uint16_t sub = le16(&fmt[24]);
        if ((sub != kFormatPCM && sub != kFormatFloat) ||
            std::memcmp(&fmt[26], kSubformatTail.data(), kSubformatTail.size()) != 0)
            return std::nullopt;
        isFloat = sub == kFormatFloat;
        // The mask's first `channels` speakers in mask order, when it names
        // that many (the reader's map; Core Audio labels 1 to 18 are the
        // mask's bits in order).
        const uint32_t mask = le32(&fmt[20]);
        std::vector<uint32_t> labels;
        for (uint32_t bit = 0; bit < 18 && static_cast<int>(labels.size()) < channels; ++bit)
            if (mask & (1u << bit)) labels.push_back(bit + 1);
        if (mask != 0 && static_cast<int>(labels.size()) == channels) f.channelLabels = std::move(labels);
    } else if (tag != kFormatPCM && tag != kFormatFloat) {
        return std::nullopt;
    }
    if (isFloat ? bits != 32 && bits != 64 : bits < 8 || bits > 32) return std::nullopt;
    f.codec = "PCM";
    f.bitsPerChannel = bits;
    f.isFloat = isFloat;
    return f;
}

// A chunk's body, up to 1 MiB; nothing when it cannot be read whole.
std::optional<std::string> bodyOf(const ReadOnlyFile& file, uint64_t at, uint64_t size) {
    if (size > (1u << 20)) return std::nullopt;
    std::string body(size, '\0');
    if (file.readAt(body.data(), body.size(), at) != static_cast<ssize_t>(body.size())) return std::nullopt;
    return body;
}

// A LIST chunk of the form the reader walks through to its end: a type the
// reader knows and sub-chunks that fill it exactly.
bool plainList(const ReadOnlyFile& file, uint64_t at, uint64_t size) {
    if (size < 4) return false;
    const std::optional<std::string> body = bodyOf(file, at, size);
    if (!body || (body->compare(0, 4, "INFO") != 0 && body->compare(0, 4, "adtl") != 0)) return false;
    uint64_t pos = 4;
    while (pos < size) {
        if (pos + 8 > size || !printable(&(*body)[pos])) return false;
        const uint32_t sub = le32(&(*body)[pos + 4]);
        pos += 8 + static_cast<uint64_t>(sub) + (sub & 1u);
    }
    return pos == size;
}

// Whether the reader's parse of a LIST (or bare INFO) chunk of a RIFF file
// reads exactly the chunk: its walk over the sub-chunks, string by string,
// with its own bounds (a string of 2 KiB or more, or as long as the chunk,
// ends the walk at the chunk's end), never past the chunk's end and never
// onto a "data" or "exif" sub-chunk it reads otherwise.
bool listReadsItself(const ReadOnlyFile& file, uint64_t at, uint32_t size) {
    // A chunk of 8 bytes or less: its type and a jump over the rest.
    if (size <= 8) return size >= 4;
    const std::optional<std::string> body = bodyOf(file, at, size);
    if (!body) return false;
    const std::string& b = *body;
    static constexpr std::array<std::string_view, 14> kStrings = {"ISFT", "ICOP", "IARL", "IART", "ICMT",
                                                                  "ICRD", "IENG", "IGNR", "INAM", "IPRD",
                                                                  "ISBJ", "ISRC", "IAUT", "ITRK"};
    uint32_t read = 0;
    while (read < size) {
        if (size - read < 4) return false;
        const std::string_view id(&b[read], 4);
        read += 4;
        if (id == "adtl" || id == "INFO") continue;
        if (id == "exif" || id == "data") return false;
        if (id == std::string_view("\0\0\0\0", 4)) return true;  // the rest is jumped
        if (size - read < 4) return false;
        uint32_t sub = le32(&b[read]);
        read += 4;
        if (among(id, kStrings)) {
            sub += sub & 1u;
            if (sub >= 2048 || sub >= size) return true;
            if (sub > size - read) return false;
            read += sub;
        } else if (id == "labl") {
            if (size - read < 4) return false;
            read += 4;
            sub -= 4;
            sub += sub & 1u;
            if (sub < 1 || sub >= 2048 || sub >= size) return true;
            if (sub > size - read) return false;
            read += sub;
        } else if (id == "DISP" || id == "ltxt" || id == "note") {
            return true;
        } else {
            sub += sub & 1u;
            if (sub > size - read) return false;
            read += sub;
        }
    }
    return read == size;
}

// Whether the reader's parse of a RIFF smpl chunk of even size reads exactly
// the chunk: the fixed fields, loops while they fit, the sampler bytes.
bool smplReadsItself(const ReadOnlyFile& file, uint64_t at, uint32_t size) {
    if (size >= 36) return true;
    char loops[4];
    return size == 32 && file.readAt(loops, 4, at + 28) == 4 && le32(loops) == 0;
}

// The format with its length in frames, from the bytes of audio it has.
std::optional<AudioStreamFormat> withFrames(AudioStreamFormat format, uint64_t dataBytes) {
    format.frames = static_cast<int64_t>(dataBytes / static_cast<uint64_t>(format.channels * (format.bitsPerChannel / 8)));
    return format;
}

// ---- RIFF, RF64, BW64 ----

std::optional<AudioStreamFormat> fromRiff(const ReadOnlyFile& file, uint64_t end,
                                      bool rf64) {
    std::optional<AudioStreamFormat> format;
    std::optional<uint64_t> dataAt, ds64Data;
    uint64_t dataBytes = 0;
    uint64_t pos = 12;
    HeaderBuffer buffer;
    buffer.read(12, 4);
    uint32_t pad = 0;
    for (int count = 0; pos < end; ++count) {
        char c[8];
        if (count == kMaxChunks || pos + 8 > end || file.readAt(c, 8, pos) != 8) return std::nullopt;
        buffer.jump(pad);
        if (!buffer.read(8, 4)) return std::nullopt;
        const std::string_view id(c, 4);
        const uint32_t size = le32(c + 4);
        const uint64_t body = pos + 8;
        const uint64_t next = body + size + (rf64 ? 0 : size & 1u);
        pad = rf64 ? 0 : size & 1u;
        if (rf64 && (size & 1u) && !(id == "data" && next >= end)) return std::nullopt;

        if (rf64 && count == 0) {
            // The sizes of a file past 4 GiB; a table of further sizes is
            // left to the reader.
            char ds64[28];
            if (id != "ds64" || size != 28 || file.readAt(ds64, 28, body) != 28 || le32(ds64 + 24) != 0)
                return std::nullopt;
            if (!buffer.read(size)) return std::nullopt;
            ds64Data = le64(ds64 + 8);
        } else if (id == "data") {
            if (dataAt || !format) return std::nullopt;
            const uint64_t declared = rf64 && ds64Data ? *ds64Data : size;
            // A recording cut before its header was written the reader takes
            // in its own way.
            if (declared == 0) return std::nullopt;
            // Past an odd size the reader does not always find the next
            // chunk: such data must end the file.
            if ((declared & 1u) && body + declared + 1 < end) return std::nullopt;
            dataAt = body;
            dataBytes = std::min(declared, end - body);
            char start[4];
            if (dataBytes >= 4 && file.readAt(start, 4, body) == 4 &&
                (std::memcmp(start, "wvpk", 4) == 0 || std::memcmp(start, "OggS", 4) == 0))
                return std::nullopt;
            // Sought past on the file: the header buffer keeps none of it.
            pos = body + declared + (rf64 ? 0 : declared & 1u);
            pad = 0;
            continue;
        } else if (size >= end || body + size > end || (rf64 && id != "JUNK" && id != "PAD " && size >= 0xFFFF0000u)) {
            return std::nullopt;
        } else if (id == "fmt ") {
            if (format || size > 1024) return std::nullopt;
            const std::optional<std::string> fmt = bodyOf(file, body, size);
            if (!fmt) return std::nullopt;
            format = formatOf(*fmt);
            if (!format || !buffer.read(size)) return std::nullopt;
        } else if (id == "fact") {
            if (size < 4 || !buffer.read(size)) return std::nullopt;
        } else if (id == "PEAK") {
            if (!format || size != 8 + 8 * static_cast<uint64_t>(format->channels) || !buffer.read(size))
                return std::nullopt;
        } else if (id == "cue ") {
            char n[4];
            if (size < 4 || file.readAt(n, 4, body) != 4 || size != 4 + 24 * static_cast<uint64_t>(le32(n)) ||
                !buffer.read(size))
                return std::nullopt;
        } else if (id == "LIST" || (!rf64 && id == "INFO")) {
            if (!(rf64 ? plainList(file, body, size) : listReadsItself(file, body, size)) || !buffer.read(size))
                return std::nullopt;
        } else if (!rf64 && id == "smpl") {
            // Read to its padded end, then padded again by the walk: only
            // even sizes keep the walk on the chunks.
            if ((size & 1u) || !smplReadsItself(file, body, size) || !buffer.read(size)) return std::nullopt;
        } else if (!rf64 && id == "acid") {
            if ((size & 1u) || size < 24 || !buffer.read(size)) return std::nullopt;
        } else if (!rf64 && id == "cart") {
            // Read whole, or jumped when of a size the reader does not take.
            if (!buffer.read(size)) return std::nullopt;
        } else if (id == "bext") {
            // Read whole up to some 16 KiB, jumped beyond.
            if (size > 17000)
                buffer.jump(size);
            else if (!buffer.read(size))
                return std::nullopt;
        } else if (among(id, kSkipped)) {
            buffer.jump(size);
        } else {
            // Any other printable name is skipped by the reader.
            if (!printable(c) || among(id, kParsed)) return std::nullopt;
            buffer.jump(size);
        }
        pos = next;
    }
    if (!format || !dataAt) return std::nullopt;
    return withFrames(*format, dataBytes);
}

// ---- Wave64 ----

using Guid = std::array<uint8_t, 16>;

constexpr Guid kW64Riff = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr Guid kW64Wave = {'w', 'a', 'v', 'e', 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr Guid kW64Fmt = {'f', 'm', 't', ' ', 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr Guid kW64Fact = {'f', 'a', 'c', 't', 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr Guid kW64Data = {'d', 'a', 't', 'a', 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
// The chunks the reader skips in its own way, and the one it refuses.
constexpr std::array<Guid, 9> kW64Others = {{
    {0x6D, 0x07, 0x1C, 0xEA, 0xA3, 0xEF, 0x78, 0x4C, 0x90, 0x57, 0x7F, 0x79, 0xEE, 0x25, 0x2A, 0xAE},  // ACID
    {0x6C, 0x65, 0x76, 0x6C, 0xF3, 0xAC, 0xD3, 0x11, 0xD1, 0x8C, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // levl
    {0x6C, 0x69, 0x73, 0x74, 0x2F, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00},  // list
    {0x6A, 0x75, 0x6E, 0x6B, 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // junk
    {0x62, 0x65, 0x78, 0x74, 0xF3, 0xAC, 0xD3, 0xAA, 0xD1, 0x8C, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // bext
    {0x62, 0x65, 0x78, 0x74, 0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // bext
    {0x56, 0x62, 0xF7, 0xAB, 0x2D, 0x39, 0xD2, 0x11, 0x86, 0xC7, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // markers
    {0xBC, 0x94, 0x5F, 0x92, 0x5A, 0x52, 0xD2, 0x11, 0x86, 0xDC, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A},  // summary
    {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00},       // riff
}};

// The reader tells chunks apart by this hash of their GUIDs, not by the
// GUIDs themselves.
uint32_t guidHash(const uint8_t* g) {
    uint32_t h = 0;
    for (int k = 0; k < 16; ++k) h ^= static_cast<uint32_t>(g[k]) << k;
    return h;
}

bool sameHash(const uint8_t* g, const Guid& known) { return guidHash(g) == guidHash(known.data()); }

std::optional<AudioStreamFormat> fromWave64(const ReadOnlyFile& file, uint64_t end) {
    std::optional<AudioStreamFormat> format;
    std::optional<uint64_t> dataAt;
    uint64_t dataBytes = 0;
    // riff (GUID, size), wave (GUID): checked by the caller.
    uint64_t pos = 40;
    for (int count = 0;; ++count) {
        if (pos % 8) pos += 8 - pos % 8;
        if (pos >= end) break;
        uint8_t c[24];
        if (count == kMaxChunks || pos + 24 > end || file.readAt(c, 24, pos) != 24) return std::nullopt;
        const uint64_t size = le64(reinterpret_cast<const char*>(c + 16));
        const uint64_t body = pos + 24;
        if (sameHash(c, kW64Fmt)) {
            if (format || size < 24 + 16 || size > 24 + 1024) return std::nullopt;
            const std::optional<std::string> fmt = bodyOf(file, body, size - 24);
            if (!fmt) return std::nullopt;
            format = formatOf(*fmt);
            // An extensible header the reader takes as integer PCM whatever
            // its sub-format.
            if (!format || le16(fmt->data()) == kFormatExtensible) return std::nullopt;
            pos = body + fmt->size();
        } else if (sameHash(c, kW64Fact)) {
            // The reader takes the 8 bytes of a frame count and goes on
            // after them, whatever the chunk's size.
            pos = body + 8;
        } else if (sameHash(c, kW64Data)) {
            if (dataAt || !format || size < 24) return std::nullopt;
            // The audio runs to the file's end, whatever the chunk's size
            // (the reader keeps no end of the data for this format); where
            // the reader's walk goes on past it is its own, and a chunk
            // after the data is left to it.
            if (pos + size + (size % 8 ? 8 - size % 8 : 0) < end) return std::nullopt;
            dataAt = body;
            dataBytes = end - body;
            break;
        } else {
            for (const Guid& g : kW64Others)
                if (sameHash(c, g)) return std::nullopt;
            // Unknown: the walk ends here.
            break;
        }
        if (pos + 16 >= end) break;
    }
    if (!format || !dataAt || format->channels >= kMaxChannels) return std::nullopt;
    return withFrames(*format, dataBytes);
}

// ---- AIFF, AIFC ----

// The reader's reading of the 80-bit sample rate, for the rates it reads
// as they stand: whole numbers from 2 Hz up to 2^29.
std::optional<uint32_t> aiffRate(const char* r) {
    const auto b = [&](int k) { return static_cast<uint8_t>(r[k]); };
    if (b(0) != 0x40 || b(1) > 0x1C || !(b(2) & 0x80)) return std::nullopt;
    const int exponent = b(1) + 1;  // the value is the mantissa's top `exponent` + 1 bits
    uint64_t mantissa = 0;
    for (int k = 2; k < 10; ++k) mantissa = mantissa << 8 | b(k);
    // A fraction of a hertz the reader would drop.
    if (mantissa << (exponent + 1) != 0) return std::nullopt;
    return static_cast<uint32_t>(mantissa >> (63 - exponent));
}

std::optional<AudioStreamFormat> fromAiff(const ReadOnlyFile& file, uint64_t end) {
    if (end > 0xFFFFFFFFu) return std::nullopt;
    std::optional<AudioStreamFormat> format;
    std::optional<uint64_t> dataAt;
    uint64_t dataBytes = 0;
    HeaderBuffer buffer;
    buffer.read(12, 4);
    uint64_t pos = 12;
    uint32_t jump = 0;
    bool peak = false;
    for (int count = 0;; ++count) {
        pos += jump;
        buffer.jump(jump);
        char c[8];
        if (count == kMaxChunks || pos + 8 > end || file.readAt(c, 8, pos) != 8 || !buffer.read(8, 4))
            return std::nullopt;
        const std::string_view id(c, 4);
        uint32_t size = be32(c + 4);
        const uint64_t body = pos + 8;
        if (id == std::string_view("\0\0\0\0", 4)) break;
        // Everything but the audio data lies inside the file.
        if (id != "SSND" && (body + size + (size & 1u) > end || size >= end)) return std::nullopt;

        if (id == "COMM") {
            size += size & 1u;
            // A compression code follows from 22 bytes on.
            if (format || (size != 18 && (size < 22 || size > 4096))) return std::nullopt;
            const std::optional<std::string> read = bodyOf(file, body, size);
            if (!read || !buffer.read(size)) return std::nullopt;
            const std::string& comm = *read;
            const int channels = static_cast<int16_t>(be16(&comm[0]));
            int bits = static_cast<int16_t>(be16(&comm[6]));
            const std::optional<uint32_t> rate = aiffRate(&comm[8]);
            const std::string_view compression = size == 18 ? "NONE" : std::string_view(&comm[18], 4);
            bool isFloat = false;
            if (compression == "fl32" || compression == "FL32") {
                isFloat = true;
                bits = 32;
            } else if (compression == "fl64" || compression == "FL64") {
                isFloat = true;
                bits = 64;
            } else if (compression != "NONE" && compression != "twos" && compression != "sowt") {
                return std::nullopt;
            }
            if (channels < 1 || channels > kMaxChannels || !rate || !sampleRate::plausible(*rate) ||
                (!isFloat && bits != 8 && bits != 16 && bits != 24 && bits != 32))
                return std::nullopt;
            AudioStreamFormat f;
            f.codec = "PCM";
            f.bitsPerChannel = bits;
            f.isFloat = isFloat;
            f.sampleRate = *rate;
            f.channels = channels;
            format = f;
        } else if (id == "SSND") {
            char ssnd[8];
            if (dataAt || file.readAt(ssnd, 8, body) != 8 || !buffer.read(8, 4)) return std::nullopt;
            const uint32_t offset = be32(ssnd);
            if (size < 8) return std::nullopt;
            const uint64_t start = body + 8;
            const uint64_t length = std::min<uint64_t>(size - 8, end - start);
            if (offset > length) return std::nullopt;
            dataAt = start + offset;
            dataBytes = length - offset;
            // Sought past on the file, to the end of what it holds.
            pos = start + length;
            jump = size & 1u;
            if (size >= end) break;
            if (pos >= end - 8) break;
            continue;
        } else if (id == "PEAK") {
            if (peak || !format || size != 8 + 8 * static_cast<uint64_t>(format->channels) || !buffer.read(size))
                return std::nullopt;
            peak = true;
        } else if (id == "NAME" || id == "AUTH" || id == "(c) " || id == "ANNO") {
            size += size & 1u;
            if (size >= 4096 || !buffer.read(size)) return std::nullopt;
        } else if (id == "APPL") {
            if ((size & 1u) || (size != 0 && size < 4) || size >= 4096 || !buffer.read(size)) return std::nullopt;
        } else if (id == "INST") {
            if (size != 20)
                buffer.jump(size);
            else if (!buffer.read(size))
                return std::nullopt;
        } else if (id == "FORM" || id == "COMM" || id == "MARK" || id == "COMT" || id == "basc" || id == "CHAN" ||
                   id == "NONE" || !printable(c) || size >= 0xFFFF0000u) {
            // Parsed with checks of its own, a layout, or a name the reader
            // resynchronises on.
            return std::nullopt;
        } else {
            // FVER, SFX!, ID3 and any other printable name: jumped.
            buffer.jump(size);
        }
        jump = size & 1u;
        pos = body + size;
        if (pos >= end - 8) break;
    }
    if (!format || !dataAt) return std::nullopt;
    return withFrames(*format, dataBytes);
}

}  // namespace

std::optional<AudioFileInfo> AudioFileInfo::fromHeader(const ReadOnlyFile& file, const std::filesystem::path& url) {
    char h[40];
    if (!file) return std::nullopt;
    const std::optional<uint64_t> length = file.length();
    if (!length || *length < 44 || file.readAt(h, 40, 0) != 40) return std::nullopt;
    const std::string_view form(h, 4);
    std::optional<AudioStreamFormat> format;
    if (std::memcmp(h + 8, "WAVE", 4) == 0 && (form == "RIFF" || form == "RF64" || form == "BW64"))
        format = fromRiff(file, *length, form != "RIFF");
    else if (std::memcmp(h, kW64Riff.data(), 16) == 0 && std::memcmp(h + 24, kW64Wave.data(), 16) == 0)
        format = fromWave64(file, *length);
    else if (form == "FORM" && (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0))
        format = fromAiff(file, *length);
    if (!format) return std::nullopt;
    AudioFileInfo info = fromFormat(url, *format);
    if (RIFFReader::hasWaveExtension(url)) info.bextDescription = RIFFReader::bextDescription(file);
    return info;
}

}  // namespace qm
