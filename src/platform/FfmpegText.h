// What the layer's two FFmpeg users (the file reader and the AAC writer)
// share: FFmpeg's text for an error code, and its console log kept quiet
// (failures reach the caller as errors; the library must not print).
//
// Any thread.
#pragma once

#include <cstddef>
#include <string>

namespace qm::ffmpeg {

std::string errorText(int err);
// The largest single block the library may allocate in this process.
inline constexpr size_t kMaxAllocation = size_t{256} << 20;

// Silences the library's console log and bounds its single allocations to
// kMaxAllocation; the first call does it.
void quietLog();

}  // namespace qm::ffmpeg
