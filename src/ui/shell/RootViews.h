// What the views add to the composition root's platform pieces: the
// floating panel hosting the player in its panel style (its editor button
// opens the editor window through the root), the "Add to Library" folder
// dialog, bringing the application forward (the window used last is
// raised and activated), and the monitor's insert windows.
//
// main() hands this to AppModel::shared() on its first call.
// Threads: the main thread, after QApplication exists.
#pragma once

namespace qm {

struct AppPlatform;

namespace rootViews {

void complete(AppPlatform& platform);

}  // namespace rootViews
}  // namespace qm
