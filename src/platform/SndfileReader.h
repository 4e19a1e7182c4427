// AudioFileReader over libsndfile: WAV/W64/RF64/BWF/AMB, AIFF/AIFC, CAF,
// FLAC, MP3 and Ogg (Vorbis, Opus).
//
// WAVE_FORMAT_EXTENSIBLE channel masks (and CAF/AIFF layouts that libsndfile
// understands) become Core Audio channel labels; an Ambisonic B-format
// sub-format with four channels becomes the B-format layout tag with the
// W X Y Z labels.
#pragma once

#include <memory>

#include "platform/AudioFileReader.h"

namespace qm {

namespace sndfile {
// Opens the file, or returns nullptr when libsndfile does not understand it
// (the caller then tries the next implementation). Throws AppError only for
// a file that opened but whose facts are unusable.
std::unique_ptr<AudioFileReader> open(const std::filesystem::path& path, std::string* whyNot);
}  // namespace sndfile

}  // namespace qm
