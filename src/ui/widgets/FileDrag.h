// Dragging files out of the application: one copy drag carrying file URLs
// (text/uri-list) with a picture under the pointer.
//
// Every view starts its file drags here. QDrag::exec runs a nested event
// loop until the drop, so tests set `fileDragHook()` to receive the drag
// instead and return at once. Main thread only.
#pragma once

#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QUrl>

#include <filesystem>
#include <functional>

class QWidget;

namespace qm::widgets {

struct FileDrag {
    QWidget* source = nullptr;
    QList<QUrl> urls;
    QPixmap image;
    QPoint hotSpot;  // in the image's logical pixels
};

// When set, receives every file drag in place of the toolkit.
std::function<void(const FileDrag&)>& fileDragHook();

// Starts the drag (returns once it ended, or at once through the hook).
void startFileDrag(const FileDrag& drag);
// The URL of a file on disk.
QUrl fileUrl(const std::filesystem::path& file);

}  // namespace qm::widgets
