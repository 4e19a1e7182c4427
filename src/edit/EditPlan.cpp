#include "edit/EditPlan.h"

namespace qm {

namespace editPlanKind {

const std::array<EditPlan::Kind, 5>& allCases() {
    static const std::array<EditPlan::Kind, 5> cases{EditPlan::Kind::piece, EditPlan::Kind::loop,
                                                     EditPlan::Kind::cutdown, EditPlan::Kind::extended,
                                                     EditPlan::Kind::backtimed};
    return cases;
}

std::string_view rawValue(EditPlan::Kind k) {
    switch (k) {
        case EditPlan::Kind::piece: return "piece";
        case EditPlan::Kind::loop: return "loop";
        case EditPlan::Kind::cutdown: return "cutdown";
        case EditPlan::Kind::extended: return "extended";
        case EditPlan::Kind::backtimed: return "backtimed";
    }
    return "piece";
}

std::optional<EditPlan::Kind> fromRawValue(std::string_view raw) {
    for (auto k : allCases())
        if (rawValue(k) == raw) return k;
    return std::nullopt;
}

}  // namespace editPlanKind

}  // namespace qm
