// Edit operations on planar audio: the buffer edits behind cut, copy, paste,
// delete, trim and silence; the editor's one-click tools (tops and tails,
// seamless loop, reverb tail, texture, 200 Hz high-pass, mono fold, swap);
// the table of named effects of the Effects menu; and the editor's
// in-process clipboard.
//
// Every function takes the channels by value and returns new channels;
// undo, selection and playback belong to the editor model. Frame ranges are
// half-open [a, b) absolute indices into every channel; a range reaching
// outside the channels is cut to the part inside (so a stale selection
// edits less, never out of bounds). An empty range leaves the audio
// unchanged.
//
// Threads: all functions are pure and may run on any thread (the reverb tail
// and the texture run in background tasks). The clipboard is touched by the
// editor on the main thread only. `hallIR`, `verbTail` and `texture` draw
// from a random source seeded per thread, so two runs differ.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm {

namespace EditOps {

using Channels = std::vector<std::vector<float>>;
using Lanes = std::optional<std::vector<int>>;

// The in-process clipboard: cut and copy store `slice` results, paste reads
// them. Separate from the desktop clipboard; gone when the process ends.
inline std::optional<Channels> clipboard;

// One named effect of the Effects menu. `apply` changes [start, end) of the
// chosen lanes (all channels when `lanes` is absent) and returns the result.
struct Effect {
    std::string id;
    std::string name;
    std::string blurb;
    std::function<Channels(Channels, double sampleRate, int64_t start, int64_t end, Lanes lanes)> apply;
};

// The eleven effects in menu order.
const std::vector<Effect>& effects();

// A loop body that repeats end to start without a click.
struct SeamlessLoop {
    Channels channels;      // the loop body, exactly end - start frames
    int64_t crossfade = 0;  // frames of the seam crossfade
    int64_t carried = 0;    // frames of the tail after `end` folded into the start

    bool operator==(const SeamlessLoop&) const = default;
};

// --- Buffer operations ---
Channels slice(const Channels& ch, int64_t a, int64_t b);
Channels splice(Channels ch, int64_t a, int64_t b);
// The clip channel for channel c is clip[c] when the clip has that many
// channels, else silence as long as the clip's first channel.
Channels insert(Channels ch, int64_t at, const Channels& clip);
Channels silence(Channels ch, int64_t a, int64_t b);
Channels replaceRegion(Channels ch, int64_t a, int64_t b, const Channels& clip);

// --- One-click tools ---
// 50 ms sine fade-in and 1 s cosine fade-out over the whole file.
Channels topAndTails(Channels ch, double sr);
// Absent when the range is shorter than 20 crossfade frames' worth (an 8 ms
// crossfade of fewer than 10 frames) or there are no channels.
std::optional<SeamlessLoop> seamlessLoop(const Channels& ch, double sr, int64_t start, int64_t end,
                                         bool carryTail);
// Full linear convolution, len(x) + len(h) - 1 samples; empty when either is.
std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h);
// A synthetic hall response of Int(sr * seconds) samples; different each call.
std::vector<float> hallIR(double sr, double seconds);
// The selection through an 8 s hall, plus 4 s of ring-out; only that region.
Channels verbTail(const Channels& ch, double sr, int64_t start, int64_t end);
Channels hiPass200(Channels ch, double sr);
// A granular dissolve of the selection, up to eight times as long (at most
// 90 s); only the new region.
Channels texture(const Channels& ch, double sr, int64_t start, int64_t end);
Channels monoFold(Channels ch, int64_t a, int64_t b);
Channels swapLR(Channels ch, int64_t a, int64_t b);

}  // namespace EditOps

}  // namespace qm
