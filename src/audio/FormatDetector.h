// Deciding how a file's channels are read when it is loaded, from the
// platform's channel layout tag, the per-channel labels, the file extension
// and words in the file name, and finally the menu of choices for the
// channel count. The user may override the result through
// SourceFormat::options.
//
// Labels and tags are the published Core Audio values
// (platform/ChannelLabelValues.h) that the audio file reader reports.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "audio/SourceFormat.h"

namespace qm {

// A file's channel layout as the reader reports it: the layout tag and the
// label of each channel the platform lists for it (for tag 0 these are the
// channel descriptions; for other tags, the tag's expansion where the
// platform knows one).
struct ChannelLayout {
    uint32_t tag = 0;
    std::vector<uint32_t> descriptions;
    bool operator==(const ChannelLayout&) const = default;
};

namespace ChannelLabels {
// The label of each channel of a layout, or empty: no layout, or a tag for
// discrete channels or HOA, which carries no per-channel speaker meaning.
std::vector<uint32_t> labels(const std::optional<ChannelLayout>& layout);
// The labels of the layout's channel descriptions, in order.
std::vector<uint32_t> descriptions(const ChannelLayout& layout);
// The speakers named by the labels, in label order; nil when a label is not
// a speaker this system knows, or two labels name the same speaker.
std::optional<std::vector<SpeakerID>> speakers(const std::vector<uint32_t>& labels);
}  // namespace ChannelLabels

namespace FormatDetector {
// Never fails: the last resort is the first menu option for the count.
SourceFormat detect(const std::filesystem::path& url, int channels,
                    const std::vector<uint32_t>& labels, uint32_t layoutTag);
}  // namespace FormatDetector

}  // namespace qm
