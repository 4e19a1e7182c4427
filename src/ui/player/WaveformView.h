// The audition player's waveform strip: one lane per channel of the peak
// overview, the selection, a playhead line and, when the peaks are quiet, a
// note of how much the picture is magnified ("view +30 dB"). Two looks:
// `hud` for the dark floating panel, `window` for the library window.
//
// The view owns no model. `WaveformBinder` writes its fields through the
// setters (each asks for a new picture only when what it draws changed) and
// moves the playhead; the gestures leave through the callbacks, and an unset
// callback makes its gesture end without effect.
//
// Drawing: everything but the playhead is rendered into a cached image (at
// the screen's device pixel ratio) when the style, data, length, labels,
// selection or size change; each paint copies the exposed part of it and
// draws the playhead over it. Moving the playhead repaints two thin strips
// and never renders the lanes again; `renderCount()` tells the tests so.
//
// Gestures: a press that moves no more than 3 px either way before its
// release is a click and seeks. Moving further selects from the press; but
// starting inside the selection drags the rendered selection out as a file,
// and with Ctrl held the whole file, wherever the press was. The strip
// takes its mouse events, so a press on it never moves a window.
//
// Main thread only.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "app/core/FrameRange.h"
#include "audio/WaveformOverview.h"

namespace qm {

class WaveformView : public QWidget {
    Q_OBJECT

public:
    enum class Style { hud, window };

    // The largest magnification of quiet material (about +30 dB), and the
    // smallest one that is noted (about 1 dB).
    static constexpr double kMaxGain = 31.6;
    static constexpr double kNotedGain = 1.12;
    // How far a press may move and still be a click.
    static constexpr double kClickSlop = 3;
    // The narrowest picture a selection drag carries.
    static constexpr double kMinDragWidth = 8;

    explicit WaveformView(QWidget* parent = nullptr);

    // --- Fields ---
    Style style() const { return style_; }
    void setStyle(Style style);
    const std::shared_ptr<const WaveformData>& data() const { return data_; }
    // Asks for a new picture when `data` is another object, or appears or goes.
    void setData(std::shared_ptr<const WaveformData> data);
    int64_t totalFrames() const { return totalFrames_; }
    void setTotalFrames(int64_t frames);
    const std::vector<QString>& laneLabels() const { return laneLabels_; }
    void setLaneLabels(std::vector<QString> labels);
    const std::optional<FrameRange>& selection() const { return selection_; }
    void setSelection(const std::optional<FrameRange>& selection);
    double playhead() const { return playhead_; }
    // Moves the playhead line (no new picture).
    void setPlayhead(double frame);
    // A rounded clip of the strip's corners (0: square).
    void setCornerRadius(double radius);

    // --- Callbacks ---
    std::function<void(int64_t)> onSeek;
    std::function<void(std::optional<FrameRange>)> onSelect;
    // Renders the file (false) or the selection (true) for a drag-out.
    std::function<std::optional<std::filesystem::path>(bool selectionOnly)> exportForDrag;

    // The frame under x: 0 without frames or width; else x limited to
    // 0 ... width, times frames / width, cut towards zero.
    int64_t frameAt(double x) const;
    // Places the playhead line for the playhead, the length and the width.
    void updatePlayhead();
    // The playhead line: 1.5 px wide around x = playhead / frames * width
    // rounded; none while the length is 0.
    std::optional<QRectF> playheadRect() const;
    // True while the user drags a selection (the view then keeps its own).
    bool isSelecting() const { return std::holds_alternative<Selecting>(gesture_); }

    // How often the picture has been rendered (tests, benchmarks).
    int renderCount() const { return renderCount_; }
    // Renders the whole strip (picture and playhead) into `target` at its
    // device pixel ratio, as a paint would.
    void renderTo(QImage& target) const;

    // The magnification of the loaded peaks: 0.95 over the largest finite
    // |peak|, at most kMaxGain; 1 for silence (peaks of 1e-6 and below).
    // Non-finite peaks are left out, so a damaged float file still draws.
    static double displayGain(const WaveformData& data);
    // "view +30 dB" for a gain above kNotedGain, else empty.
    static QString gainNote(double gain);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    struct Pending {
        QPointF start;
        bool inSelection = false;
        bool whole = false;
    };
    struct Selecting {
        int64_t anchor = 0;
    };
    struct Idle {};
    struct Dragging {};
    using Gesture = std::variant<Pending, Selecting, Idle, Dragging>;

    void redraw();
    void renderContent(QPainter& p, double w, double h) const;
    void drawPlayhead(QPainter& p, double w, double h) const;
    std::optional<QRectF> playheadRect(double w, double h) const;
    QRect playheadArea() const;
    void exportDrag(bool selectionOnly, QPointF start);

    Style style_ = Style::window;
    std::shared_ptr<const WaveformData> data_;
    int64_t totalFrames_ = 0;
    std::vector<QString> laneLabels_;
    double playhead_ = 0;
    std::optional<FrameRange> selection_;
    double cornerRadius_ = 0;
    Gesture gesture_ = Idle{};

    QImage cache_;
    bool dirty_ = true;
    int renderCount_ = 0;
    QRect shownPlayhead_;  // where the line was last painted, empty when hidden
};

}  // namespace qm
