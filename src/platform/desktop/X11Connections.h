// The desktop services' own X connections. Xlib's default error handler
// ends the process, yet a window can vanish between two requests at any
// time: errors on a registered connection are ignored (every request's own
// result says whether it worked), errors on other connections go to the
// handler that was installed before. Any thread may register or unregister.
#pragma once

#include <X11/Xlib.h>

namespace qm::x11 {

void registerConnection(Display* display);
void unregisterConnection(Display* display);

}  // namespace qm::x11
