// The temp-edit renderer: one plan in, planar samples out.
//
// It plays the plan's spans of the source one after the other and hides
// each splice under a short equal-power crossfade whose incoming side is
// the source audio just before the new span, so the result is always
// exactly as long as the spans together; then the plan's fade-in, fade-out
// and, for exact-length plans, the cut at the target with a short fade.
// Loop plans are made seamless by `EditOps::seamlessLoop`.
//
// Pure: the source is not changed; any thread (the editor renders an
// audition on the main thread, exports and batches in background tasks).
#pragma once

#include "edit/EditOps.h"
#include "edit/EditPlan.h"

namespace qm::TempEditRenderer {

// Reads only `options.crossfadeMs`. Spans are clamped to the source, so a
// plan that reaches outside it renders what lies inside.
EditOps::Channels render(const EditPlan& plan, const EditOps::Channels& channels, double sampleRate,
                         const TempEditOptions& options);

}  // namespace qm::TempEditRenderer
