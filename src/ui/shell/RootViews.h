// What the views add to the composition root's platform pieces: the
// floating panel hosting the player in its panel style (its editor button
// opens the editor window through the root), the "Add to Library" folder
// dialog, bringing the application forward (the window used last is
// raised and activated: the one the user last gave the focus to, or the one
// the application last brought forward itself, whichever came later), and
// the monitor's insert windows.
//
// main() hands this to AppModel::shared() on its first call.
// Threads: the main thread, after QApplication exists.
#pragma once

class QWidget;

namespace qm {

struct AppPlatform;

namespace rootViews {

void complete(AppPlatform& platform);

// The application brought `window` forward: it is the window used last,
// before the focus reaches it (the window manager hands it over later).
void broughtForward(QWidget* window);

}  // namespace rootViews
}  // namespace qm
