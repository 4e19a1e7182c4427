// What the layer's two FFmpeg users (the file reader and the AAC writer)
// share: FFmpeg's text for an error code, and its console log kept quiet
// (failures reach the caller as errors; the library must not print).
//
// Any thread.
#pragma once

#include <string>

namespace qm::ffmpeg {

std::string errorText(int err);
// Silences the library's console log; the first call does it.
void quietLog();

}  // namespace qm::ffmpeg
