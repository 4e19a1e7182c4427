// What the scanner reads of one file: its facts (AudioFileInfo) and its
// metadata record (SoundMeta), exactly as AudioFileInfo::load and
// MetaIO::read give them, from one open where the file allows.
//
// A RIFF, RF64/BW64 or Wave64 WAVE file or an AIFF/AIFC file of integer or
// float PCM whose header the audio reader provably reads as
// AudioFileInfo::fromHeader does is read through its head: one open, one
// read of the file's first 64 KiB (where the format, bext and iXML chunks of
// a library's files stand; a chunk beyond it costs a read of its own), one
// close. The facts come from the format chunk and the size of the audio;
// the record of a WAVE-named file from the same chunk walk, and that of an
// AIFF file without a tag chunk or of a Wave64 file (which carry no record
// the metadata reader finds) from the file's name. Anything else the readers
// might take otherwise (another format or compression, a chunk the audio
// reader parses and might refuse, sizes that do not add up, an AIFF channel
// layout, an AIFF tag chunk, a Wave64 head the tag reader might take for
// another format) is read by AudioFileInfo::load and MetaIO::read, as is
// every other format; where only the record is in doubt, MetaIO::read
// alone.
//
// Reentrant: the scanner's workers call it at once on many files.
#pragma once

#include <filesystem>
#include <optional>

#include "audio/AudioFileInfo.h"
#include "library/SoundMeta.h"

namespace qm::ScanRead {

struct Result {
    std::optional<AudioFileInfo> info;  // none when the file cannot be read as audio
    SoundMeta meta;
};

Result read(const std::filesystem::path& url);

}  // namespace qm::ScanRead
