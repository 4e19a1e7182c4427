#include "app/core/TimeText.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace qm {

std::string timeText(double seconds) {
    // Minutes must fit the integer the format prints.
    constexpr double kLimit = 60.0 * static_cast<double>(std::numeric_limits<int>::max());
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= kLimit) return "0:00.000";
    // Whole milliseconds first: splitting the minutes off before rounding
    // would turn 59.9996 s into "0:60.000".
    const long long ms = std::llround(seconds * 1000.0);
    return fmt::format("{}:{:02}.{:03}", ms / 60000, ms / 1000 % 60, ms % 1000);
}

}  // namespace qm
