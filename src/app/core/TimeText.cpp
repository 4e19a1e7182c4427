#include "app/core/TimeText.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace qm {

std::string timeText(double seconds) {
    // Minutes must fit the integer the format prints.
    constexpr double kLimit = 60.0 * static_cast<double>(std::numeric_limits<int>::max());
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= kLimit) return "0:00.000";
    const double whole = std::trunc(seconds);
    const int minutes = static_cast<int>(whole / 60);
    return fmt::format("{}:{:06.3f}", minutes, seconds - 60.0 * minutes);
}

}  // namespace qm
