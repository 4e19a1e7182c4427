// The file managers the program follows, told apart by their windows'
// WM_CLASS (instance or class, in any letter case), with what the user
// reads about each: its name, and the command that quits its running
// instance (every window and a background one), where it has one. A file
// manager started before the desktop's accessibility was on stays off the
// accessibility bus until it is started again.
//
// Threads: any.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm {

struct DesktopWindowIdentity;

namespace fileManagers {

enum class Kind { thunar, nautilus, nemo, caja, dolphin, pcmanfm, pcmanfmQt };

const std::vector<Kind>& all();
// The file manager a window belongs to; none for any other program.
std::optional<Kind> of(const DesktopWindowIdentity& identity);
// "Thunar", "GNOME Files", "Nemo", "Caja", "Dolphin", "PCManFM", "PCManFM-Qt".
const char* name(Kind kind);
// The command line that quits it ("thunar -q"); none for Dolphin and
// PCManFM, which quit when their last window closes and have no such option.
std::optional<std::string> quitCommand(Kind kind);

}  // namespace fileManagers
}  // namespace qm
