// Mix configurations for playback tests and benchmarks, built with the mix
// builder's own pieces.
#pragma once

#include "audio/MixBuilder.h"

namespace qm::test {

// A stereo source on the speakers of `target`, one device channel per
// speaker in layout order.
MixConfig stereoOnLayout(LayoutID target);

// A speaker bed of `bed` (one input per speaker) rendered binaurally: one
// virtual source per speaker at its direction, ears on device channels 0, 1.
MixConfig bedBinaural(LayoutID bed);

// A stereo source upmixed to `bed` with the music preset, then rendered
// binaurally like bedBinaural.
MixConfig stereoUpmixedBinaural(LayoutID bed);

}  // namespace qm::test
