// The time text every view shows for a position or a length: whole minutes,
// a colon and the seconds with three decimals and at least two integer
// digits ("1:05.250", "0:00.000"), locale-free. A negative, non-finite or
// unrepresentably large number of seconds reads "0:00.000". This is the
// audition player's `time(_:)`; the editor, the file list and the player
// all use it. The seconds are rounded to whole milliseconds before the
// minutes are split off. Pure; any thread.
#pragma once

#include <string>

namespace qm {

std::string timeText(double seconds);

}  // namespace qm
