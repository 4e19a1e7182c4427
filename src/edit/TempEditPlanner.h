// The temp-edit planner: one analysed piece of music in, the list of
// planned edits out.
//
// The natural pieces of the music (intro, loop, ending, final sting) and
// versions cut to the option's target lengths plus one longer extended
// version. Cuts fall only on the bar lines of the grid: the planner searches
// bar-to-bar jumps scored by the structure analysis's bar similarity matrix
// for the cheapest way to fill a target with whole body bars between the
// intro and the ending; a target the body cannot fill well is backtimed (the
// music's end laid at the target's end).
//
// Pure functions on values, no state; the editor calls them on the main
// thread on every change, the batch from a background task. Nothing is
// reported: a piece or target that cannot be planned is absent.
#pragma once

#include "analysis/MusicGrid.h"
#include "analysis/Structure.h"
#include "edit/EditPlan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::TempEditPlanner {

// Which bar-to-bar jumps sound acceptable, and at what cost.
struct JumpTable {
    std::vector<std::vector<double>> sim;  // sim[i][j] compares bar i with bar j
    Pins pins;
    double threshold = 0.8;  // least mean similarity of an allowed jump

    JumpTable(std::vector<std::vector<double>> similarity, const Pins& pins);

    // The cost of leaving at boundary i and resuming at boundary j; absent
    // when the jump is not allowed.
    std::optional<double> cost(int64_t i, int64_t j) const;
};

std::vector<EditPlan> plans(const MusicGrid& grid, const StructureResult& structure, double sampleRate,
                            int64_t totalFrames, const TempEditOptions& options);

// Short length label: 15s, 59s, 1m00s, 1m30s, 2m05s.
std::string label(double seconds);

namespace detail {

struct SearchResult {
    double cost = 0;
    std::vector<int64_t> path;  // bars in playing order
};

// The cheapest way to play exactly K bars from boundary M0 to boundary M1
// (or, with anyEnd, to stop anywhere in between).
std::optional<SearchResult> search(int64_t K, int64_t M0, int64_t M1, const JumpTable& jumps, bool anyEnd);

}  // namespace detail

}  // namespace qm::TempEditPlanner
