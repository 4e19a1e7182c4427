#include "ui/widgets/FileDrag.h"

#include <QDrag>
#include <QMimeData>
#include <QWidget>

namespace qm::widgets {

std::function<void(const FileDrag&)>& fileDragHook() {
    static std::function<void(const FileDrag&)> hook;
    return hook;
}

void startFileDrag(const FileDrag& drag) {
    if (auto& hook = fileDragHook()) {
        hook(drag);
        return;
    }
    auto* mime = new QMimeData;
    mime->setUrls(drag.urls);
    auto* qdrag = new QDrag(drag.source);
    qdrag->setMimeData(mime);
    if (!drag.image.isNull()) {
        qdrag->setPixmap(drag.image);
        qdrag->setHotSpot(drag.hotSpot);
    }
    qdrag->exec(Qt::CopyAction, Qt::CopyAction);
}

QUrl fileUrl(const std::filesystem::path& file) { return QUrl::fromLocalFile(QString::fromStdString(file.string())); }

}  // namespace qm::widgets
