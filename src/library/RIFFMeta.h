// The sound-library metadata a WAV file carries in its own chunks: the
// USER block of the iXML chunk and the Description of the bext chunk. This
// is the reading half (the rewriter writes through the same chunk walk).
//
// The reader runs for every WAV file of a library scan, so it reads only the
// 12-byte file header, 8 bytes per chunk header, at most 1 MiB of iXML and
// at most 256 bytes of bext, and stops walking once it has both chunks. A
// walk lists at most kMaxChunks chunks: a cut-off recording whose data chunk
// declares 0 bytes would otherwise list one "chunk" per 8 bytes of audio; a
// list of that length means the walk stopped there, and the rewriter
// refuses such a file.
//
// Nothing here fails: whatever cannot be read gives empty fields. All
// functions are reentrant and share nothing but the constant tag table.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library/SoundMeta.h"

namespace qm {

class ReadOnlyFile;

namespace RIFFMeta {

inline constexpr size_t kMaxChunks = 65536;
inline constexpr uint64_t kMaxIXMLBytes = 1048576;
inline constexpr uint64_t kBextDescriptionBytes = 256;

struct Chunk {
    std::string id;           // the four id bytes as UTF-8, broken bytes as U+FFFD
    std::array<char, 4> raw;  // the four id bytes as they stand in the file
    uint64_t offset = 0;      // of the first data byte (header + 8)
    uint64_t size = 0;        // declared, clamped to the bytes the file holds
    bool operator==(const Chunk&) const = default;
};

// The chunks of a RIFF/WAVE file in file order; nothing when the file is
// not RIFF/WAVE (RF64, BW64 and RIFX included); an empty list when the file
// is shorter than 20 bytes or its length cannot be had.
std::optional<std::vector<Chunk>> chunks(const ReadOnlyFile& file);

// The record the file's iXML USER block says, its description completed
// from the bext Description when the iXML one is empty.
SoundMeta read(const std::filesystem::path& url);

// The record of the first USER block of an iXML text: each tag of
// SoundMeta::ixmlTags() from its element (<TAG>value</TAG>) or, lacking
// one, from a line "TAG=value" or "TAG: value" (tag matched upper-cased);
// the rating from a <RATING> element holding a decimal integer.
SoundMeta parseUSER(std::string_view xml);

// One element value decoded (&lt; &gt; &quot; &apos; then &amp;, so
// "&amp;lt;" gives "&lt;") and trimmed of White_Space.
std::string unescape(std::string_view value);

}  // namespace RIFFMeta

}  // namespace qm
