// The editor's waveform: every lane of the document at sample resolution
// (from the peak cache at 256 frames a pixel or more), the tints of intro,
// loop and ending, beat and bar lines, the selection, the cursor, a 24 px
// ruler with the time at every zoom, bar numbers once the music is
// analysed and draggable pin flags, and the playhead.
//
// The view owns no model. `EditorWaveBridge` writes its public fields and
// calls `redraw()` when something it draws changed and `updatePlayhead()`
// when the play position or the visible range moved; the gestures leave
// through the callbacks (an unset callback makes its gesture do nothing).
//
// Drawing: everything but the playhead is rendered into a cached image (at
// the screen's device pixel ratio) only after `redraw()` or a change of size;
// each paint event copies the exposed part of that image and draws the
// 1.5 px red playhead over it. Moving the playhead repaints two thin strips
// and never re-renders the lanes; `renderCount()` tells the tests so.
//
// Gestures: a press in the ruler within 9 px of a flag drags that pin; any
// other press becomes a click, or a selection once the pointer moved more
// than 3 px sideways (its ends snapped through `snap`); a double click
// selects a bar; the wheel scrolls, with Ctrl it zooms around the pointer
// (a quarter a notch), and so does a pinch. The view takes the focus on a
// press and handles no keys (the window's shortcuts do).
//
// Main thread only. The samples are the document's shared immutable buffer
// and the peaks the model's cache: the view keeps references, never copies.
#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "app/editor/EditorModel.h"
#include "edit/PeakCache.h"

namespace qm {

class EditorWaveView : public QWidget {
    Q_OBJECT

public:
    // The zoom of one wheel notch with Ctrl held.
    static constexpr double kZoomPerNotch = 1.25;

    explicit EditorWaveView(QWidget* parent = nullptr);

    // --- Fields set by the bridge ---
    std::shared_ptr<const EditorModel::Channels> channels;  // one array per lane
    const PeakCache* peaks = nullptr;
    int64_t frames = 0;
    double sampleRate = 0;  // for the ruler's times; none drawn while 0
    int revision = -1;  // so that the first revision received always differs
    int64_t viewStart = 0;
    int64_t viewLength = 1;
    std::optional<FrameRange> selection;
    int64_t cursor = 0;
    std::vector<int64_t> downbeats;  // frames; the first is bar 1
    std::vector<int64_t> beats;      // frames
    std::map<PinKind, int64_t> pins;
    std::optional<FrameRange> loopRange;
    std::optional<int64_t> introEnd;
    std::optional<int64_t> endingStart;
    std::vector<QString> laneLabels;
    std::set<int> muted;
    double playhead = 0;
    bool showPlayhead = false;

    // --- Callbacks ---
    std::function<void(int64_t)> onCursor;
    std::function<void(std::optional<FrameRange>)> onSelect;
    std::function<void(double factor, int64_t frame, double fraction)> onZoom;
    std::function<void(int64_t)> onScroll;
    std::function<void(PinKind, int64_t)> onPin;
    std::function<void(int64_t)> onDoubleClick;
    std::function<int64_t(int64_t frame, double pixelsPerFrame)> snap;

    // Marks the picture for rendering again at the next paint.
    void redraw();
    // Places the playhead line for `playhead`, `showPlayhead` and the view.
    void updatePlayhead();

    // How often the picture has been rendered (tests, benchmarks).
    int renderCount() const { return renderCount_; }
    // The selection being dragged, drawn in place of `selection`.
    const std::optional<FrameRange>& liveSelection() const { return liveSelection_; }
    // Renders the whole view (picture and playhead) into `target` at its
    // device pixel ratio, as a paint would.
    void renderTo(QImage& target);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Pending {
        QPointF start;
    };
    struct Selecting {
        int64_t anchor;
    };
    struct DraggingPin {
        PinKind kind;
    };
    struct Idle {};
    using Gesture = std::variant<Pending, Selecting, DraggingPin, Idle>;

    void render(QPainter& p, double w, double h) const;
    void drawRuler(QPainter& p, double w, double rh) const;
    int64_t frameAt(double x) const;
    int64_t snapped(int64_t frame) const;
    void dragTo(double x);
    QRect playheadArea() const;

    Gesture gesture_ = Idle{};
    std::optional<FrameRange> liveSelection_;
    QImage cache_;
    bool dirty_ = true;
    int renderCount_ = 0;
    QRect shownPlayhead_;   // where the line was last painted, empty when hidden
    double scrollCarry_ = 0;  // frames of scrolling not yet asked for
    int64_t scrollCarryLength_ = 0;  // the view length the carry was made at
};

}  // namespace qm
