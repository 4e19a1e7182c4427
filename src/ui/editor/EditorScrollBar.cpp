#include "ui/editor/EditorScrollBar.h"

#include <QSignalBlocker>

#include <algorithm>
#include <limits>

#include "app/editor/EditorModel.h"

namespace qm {

EditorScrollBar::EditorScrollBar(EditorModel& editor, QWidget* parent)
    : QScrollBar(Qt::Horizontal, parent), editor_(editor) {
    setObjectName(QStringLiteral("viewScroll"));
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QScrollBar::valueChanged, this, [this](int value) {
        editor_.scroll(static_cast<int64_t>(value) * unit_ - editor_.viewStart());
    });
    connect(&editor, &EditorModel::viewChanged, this, &EditorScrollBar::refresh);
    connect(&editor, &EditorModel::docChanged, this, &EditorScrollBar::refresh);
    connect(&editor, &EditorModel::revisionChanged, this, &EditorScrollBar::refresh);
    refresh();
}

void EditorScrollBar::refresh() {
    const auto& doc = editor_.doc();
    const int64_t frames = doc ? doc->frames() : 0;
    const int64_t length = std::max<int64_t>(editor_.viewLength(), 1);
    constexpr int64_t kMost = std::numeric_limits<int>::max() / 2;
    unit_ = std::max<int64_t>(1, (frames + kMost - 1) / kMost);
    const QSignalBlocker quiet(this);
    setRange(0, static_cast<int>(std::max<int64_t>(frames - length, 0) / unit_));
    setPageStep(static_cast<int>(std::max<int64_t>(length / unit_, 1)));
    setSingleStep(static_cast<int>(std::max<int64_t>(length / 20 / unit_, 1)));
    setValue(static_cast<int>(editor_.viewStart() / unit_));
}

}  // namespace qm
