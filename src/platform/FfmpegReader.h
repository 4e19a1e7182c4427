// AudioFileReader over FFmpeg (libavformat/libavcodec) for what libsndfile
// cannot open: M4A/MP4/AAC, ALAC in M4A, and other containers.
//
// Positions are exact sample frames of the decoded stream: encoder priming
// that the container declares (the stream's start skip) is not part of the
// file, and a read at any position gives the same samples as a sequential
// decode. Seeks go back far enough for the decoder to settle (its own
// pre-roll plus a margin) and decode forward to the frame asked for; where
// the container has no trustworthy timestamps, a seek decodes from the
// start.
#pragma once

#include <memory>

#include "platform/AudioFileReader.h"

namespace qm::ffmpeg {

// Opens the file, or returns nullptr with a reason when FFmpeg finds no
// decodable audio stream in it.
std::unique_ptr<AudioFileReader> open(const std::filesystem::path& path, std::string* whyNot);

}  // namespace qm::ffmpeg
