// The one road by which a sound file's metadata is read, whatever its
// format: WAV-family files ("wav", "wave", "bwf", "rf64", "amb", any case)
// through their iXML and bext chunks, every other file through its common
// asset metadata (TagLib, waiting at most 2.0 s); then whatever is still
// empty from the UCS file name, and as a last resort the FX name from the
// file's base name.
//
// read never fails and may run on any thread, several at once (the scanner
// reads on parallel workers); it shares only the read-only UCS and tag
// tables. Writing comes with the WAV rewriter.
#pragma once

#include <filesystem>

#include "library/SoundMeta.h"

namespace qm::MetaIO {

SoundMeta read(const std::filesystem::path& url);

}  // namespace qm::MetaIO
