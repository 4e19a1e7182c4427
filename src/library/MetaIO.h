// The one road by which a sound file's metadata is read, whatever its
// format: WAV-family files ("wav", "wave", "bwf", "rf64", "amb", any case)
// through their iXML and bext chunks, every other file through its common
// asset metadata (TagLib, waiting at most 2.0 s); then whatever is still
// empty from the UCS file name, and as a last resort the FX name from the
// file's base name.
//
// Writing embeds a record into "wav", "wave" and "bwf" files (any case)
// through RIFFMeta::write; every other file is refused with code 70 and
// left as it is.
//
// read never fails and may run on any thread, several at once (the scanner
// reads on parallel workers); it shares only the read-only UCS and tag
// tables. write blocks its caller for a whole copy of the file.
#pragma once

#include <filesystem>

#include "library/SoundMeta.h"

namespace qm::MetaIO {

inline constexpr int kNotEmbeddable = 70;  // "Embedding is supported for WAV/BWF files"

SoundMeta read(const std::filesystem::path& url);
// Whether read() takes the record from the file's WAV chunks: "wav",
// "wave", "bwf", "rf64" or "amb", any case.
bool readsChunks(const std::filesystem::path& url);
// What read() makes of the record it found in the file: every empty field
// from the UCS file name, and the base name for a missing FX name.
SoundMeta completed(SoundMeta embedded, const std::filesystem::path& url);

// Throws AppError kNotEmbeddable, or RIFFMeta::write's errors unchanged.
void write(const SoundMeta& meta, const std::filesystem::path& url);

// Whether write() takes the file: "wav", "wave" or "bwf", any case. Other
// audio files keep their metadata in the catalog (and the change log) only.
bool isEmbeddable(const std::filesystem::path& url);

}  // namespace qm::MetaIO
