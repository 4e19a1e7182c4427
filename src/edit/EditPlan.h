// The temp-edit records: the options the editor publishes and one planned
// edit as a list of source frame ranges played in order.
//
// A plan is made only of whole bars of the source joined at bar lines;
// nothing is stretched or resampled. `TempEditPlanner` makes plans,
// `TempEditRenderer` turns them into samples. Plain values, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/TextTable.h"

namespace qm {

struct TempEditOptions {
    std::vector<double> targets{15, 30, 60, 120};  // seconds, in the order the cutdowns are made
    std::optional<double> extended = 180;          // seconds of the one extended version
    bool exactLength = true;                       // cut cutdowns and backtimed plans to their target
    double crossfadeMs = 30;                       // splice crossfade (read by the renderer only)

    bool operator==(const TempEditOptions&) const = default;
};

struct EditPlan {
    enum class Kind { piece, loop, cutdown, extended, backtimed };

    // Source frames [start, end).
    struct Span {
        int64_t start = 0;
        int64_t end = 0;
        bool operator==(const Span&) const = default;
    };

    std::string name;  // also the plan's identity
    Kind kind = Kind::piece;
    std::vector<Span> spans;
    std::optional<double> targetSec;  // cutdowns, extended and backtimed plans
    std::optional<double> cutAtSec;   // cut the rendered result here, with a short fade
    int64_t fadeInFrames = 0;
    int64_t fadeOutFrames = 0;
    std::string map;     // one-line account of the bars used
    double quality = 1;  // splice quality 0 ... 1
    bool carryLoopTail = false;

    const std::string& id() const { return name; }
    bool operator==(const EditPlan&) const = default;
};

namespace editPlanKind {
inline constexpr auto table =
    textTable<EditPlan::Kind>({{EditPlan::Kind::piece, "piece"},
                               {EditPlan::Kind::loop, "loop"},
                               {EditPlan::Kind::cutdown, "cutdown"},
                               {EditPlan::Kind::extended, "extended"},
                               {EditPlan::Kind::backtimed, "backtimed"}});
inline const std::array<EditPlan::Kind, 5>& allCases() { return table.values(); }
inline std::string_view rawValue(EditPlan::Kind k) { return table.text(k); }
inline std::optional<EditPlan::Kind> fromRawValue(std::string_view raw) { return table.value(raw); }
}  // namespace editPlanKind

}  // namespace qm
