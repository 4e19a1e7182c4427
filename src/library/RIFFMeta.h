// The sound-library metadata a WAV file carries in its own chunks: the
// USER block of the iXML chunk and the Description of the bext chunk, read
// (read, chunks, parseUSER) and written back (write, userBlock).
//
// The reader runs for every WAV file of a library scan, so it reads only the
// 12-byte file header, 8 bytes per chunk header, at most 1 MiB of iXML and
// at most 256 bytes of bext, and stops walking once it has both chunks. A
// walk lists at most kMaxChunks chunks; a list of that length means the
// walk stopped there, and the rewriter refuses such a file.
//
// Reading never fails: whatever cannot be read gives empty fields. A USER
// block, and every element in it, is markup only: text inside comments,
// CDATA sections and processing instructions is never taken for it.
//
// write() never edits a file in place: it writes a whole new file through a
// FileAccess::TemporaryFile beside it (every chunk but iXML and bext copied
// byte for byte, in blocks of at most kCopyBlock, the new bext and iXML
// before the first data chunk) and then lets it take the file's place, so
// the file under its name is always the complete old one or the complete
// new one, whatever fails, and whoever else saves it at the same moment.
// A link at the name stays a link: the file it leads to is rewritten. Only
// the old iXML and bext are held in memory, each at most kMaxHeldChunk.
// It blocks its caller's thread for a whole copy of the file.
//
// The rewrite owns the first bext chunk's Description and the first iXML
// chunk's USER block, nothing else:
// - a data chunk that declares 0 bytes while bytes follow it (a recording
//   cut before its header was completed), or more bytes than the file
//   holds, runs to the end of the file: it is kept with its header and
//   every byte after it exactly as they are;
// - later iXML and bext chunks are kept;
// - the old iXML's bytes stay as they are outside the USER block, zero
//   bytes and text in any 8-bit encoding included; an iXML the block cannot
//   go into (UTF-16 or UTF-32 text, no BWFXML root, or no place within the
//   first kMaxIXMLBytes, which is all a reader reads) is kept whole, and a
//   new iXML chunk of our own goes before it;
// - what is written is read back: the new block lies within the first
//   kMaxIXMLBytes of the first iXML chunk, the first USER element there. A
//   record whose block cannot (kMetadataTooLong) is refused.
//
// All functions are reentrant and share nothing but the constant tag table
// (and the test observer of write's copy).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "library/SoundMeta.h"

namespace qm {

class ReadOnlyFile;

namespace RIFFMeta {

inline constexpr size_t kMaxChunks = 65536;
inline constexpr uint64_t kMaxIXMLBytes = 1048576;
inline constexpr uint64_t kBextDescriptionBytes = 256;
inline constexpr uint64_t kBextBytes = 602;
inline constexpr uint64_t kCopyBlock = 4194304;
inline constexpr uint64_t kMaxHeldChunk = 64ull << 20;

// Codes of the AppErrors write() throws besides FileAccess's kWriteFailed.
inline constexpr int kNotWritableWav = 71;  // "Not a WAV file Quillmarsh can write"
inline constexpr int kTooLargeForRIFF = 72;  // "File too large for RIFF"
inline constexpr int kMetadataTooLong = 73;  // "Metadata too long to store in the file"

struct Chunk {
    std::string id;           // the four id bytes as UTF-8, broken bytes as U+FFFD
    std::array<char, 4> raw;  // the four id bytes as they stand in the file
    uint64_t offset = 0;      // of the first data byte (header + 8)
    uint64_t size = 0;        // declared, clamped to the bytes the file holds
    uint32_t declared = 0;    // as the header says
    bool operator==(const Chunk&) const = default;
};

// The chunks of a RIFF/WAVE file in file order; nothing when the file is
// not RIFF/WAVE (RF64, BW64 and RIFX included); an empty list when the file
// is shorter than 20 bytes or its length cannot be had. With
// `endAtOpenData`, the walk ends at a data chunk that declares 0 bytes
// while bytes follow it: what follows is its audio, not chunks.
std::optional<std::vector<Chunk>> chunks(const ReadOnlyFile& file, bool endAtOpenData = false);

// Where the exact tag `tag` ("<USER>", "</USER>", "<BWFXML") first begins
// in `xml` at or after `from`, outside comments, CDATA sections, processing
// instructions and declarations; npos when nowhere. `from` must not lie
// inside one of those.
size_t findTag(std::string_view xml, std::string_view tag, size_t from = 0);

// The first USER element of an iXML text: the offset of its "<USER>" and
// the offset just past the first "</USER>" after it; nothing when there is
// no such pair.
std::optional<std::pair<size_t, size_t>> userSpan(std::string_view xml);

// The record the file's iXML USER block says, its description completed
// from the bext Description when the iXML one is empty.
SoundMeta read(const std::filesystem::path& url);
// The same from a file the caller opened.
SoundMeta read(const ReadOnlyFile& file);

// The record of the first USER block of an iXML text: each tag of
// SoundMeta::ixmlTags() from its element (<TAG>value</TAG>) or, lacking
// one, from a line "TAG=value" or "TAG: value" (tag matched upper-cased);
// the rating from a <RATING> element holding a decimal integer.
SoundMeta parseUSER(std::string_view xml);

// One element value decoded (&lt; &gt; &quot; &apos; then &amp;, so
// "&amp;lt;" gives "&lt;") and trimmed of White_Space.
std::string unescape(std::string_view value);

// The USER block that carries `meta`: "<USER>", one element per non-empty
// field in tag-table order, CATEGORYFULL (category and subcategory joined by
// "-") when either is set, RATING when above 0, then
// "<EMBEDDER>Quillmarsh</EMBEDDER></USER>"; values escaped (& < >), no
// white space added.
std::string userBlock(const SoundMeta& meta);

// Rewrites the WAV file at `url` so that its iXML USER block and its bext
// Description carry `meta`; everything else of the old iXML and bext stays
// byte for byte. Throws AppError kNotWritableWav (not RIFF/WAVE, no data
// chunk, more chunks than the walk lists, an old iXML or bext over
// kMaxHeldChunk), kTooLargeForRIFF, or FileAccess::kWriteFailed (a read or
// write failed, or the file changed while it was copied); the file is then
// untouched and no temporary remains. Codes 71 and 72 are found before a
// temporary is made.
void write(const SoundMeta& meta, const std::filesystem::path& url);

// Called after every block write() copies, with the bytes copied so far;
// for tests (the file changing under a copy). An empty function removes it.
void setCopyObserver(std::function<void(uint64_t copied)> observer);

}  // namespace RIFFMeta

}  // namespace qm
