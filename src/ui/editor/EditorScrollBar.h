// The scroll bar under the editor's waveform: its handle is the visible
// part of the document, so its place and length show where the view is and
// how far it is zoomed; dragging it (or paging along it) scrolls the view.
// It follows every change of the editor model's view and document.
//
// A document longer than a scroll bar can count is counted in steps of
// several frames. Main thread only.
#pragma once

#include <QScrollBar>

#include <cstdint>

namespace qm {

class EditorModel;

class EditorScrollBar : public QScrollBar {
    Q_OBJECT

public:
    explicit EditorScrollBar(EditorModel& editor, QWidget* parent = nullptr);

public slots:
    void refresh();

private:
    EditorModel& editor_;
    // Frames per step of the bar (1 unless the document is very long).
    int64_t unit_ = 1;
};

}  // namespace qm
