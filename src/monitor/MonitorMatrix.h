// The monitor's gain matrix: the monitor controls, the output profile and
// the channel counts of the two sides made into one MixConfig, from the
// source device's input channels (or the upmixer's outputs) to the output
// device's channels.
//
// The bus is folded down to the mode's speakers (F, with the height trim on
// its rows above 20 degrees), spread onto the profile's speakers (T), soloed
// and muted per output speaker, scaled by volume, dim and mute, then placed
// through the profile's channels (MixBuilder::speakerRouting: by the
// device's positions, when it says and the profile is not routed by hand)
// and trims. Counts that do not fit are
// absorbed: channels outside either device are dropped, never an error.
//
// Pure; the monitor engine calls it on the main thread, any thread may.
#pragma once

#include <vector>

#include "audio/OutputProfile.h"
#include "monitor/MonitorState.h"
#include "spatial/MixBuilder.h"

namespace qm::MonitorMatrix {

// `inputChannels` is the source side's channel count, `deviceChannels` the
// output side's; negative counts count as 0. With an upmix request the
// matrix reads the upmixer's outputs, and `upmixOffset` is the source
// channel of the upmixer's first input: a `sourceOffset` that does not fit
// 32 bits gives -1, which no render side accepts, instead of wrapping onto
// another channel.
MixConfig build(const MonitorState& state, int inputChannels, const OutputProfile& profile,
                int deviceChannels, const ChannelSpeakers& deviceSpeakers = {});

// The matrix product a × b; empty when either is. Row i of the result has
// as many columns as b's first row, summing over the shorter of a[i] and b.
Matrix multiply(const Matrix& a, const Matrix& b);

// The speakers a mode folds to; `target` for `full`.
std::vector<SpeakerID> foldDownSpeakers(MonitorMode mode, const std::vector<SpeakerID>& target);

}  // namespace qm::MonitorMatrix
