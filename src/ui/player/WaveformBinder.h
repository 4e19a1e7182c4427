// Joins the audition player to its waveform strip: every change the player
// announces runs one update that copies its state into the view, each move
// of the playhead only moves the line, and the view's gestures call the
// player (a click seeks, a drag selects, a drag-out renders the file).
//
// The update, in order: the style; the overview; the length (0 without a
// file); the lane labels; the selection, unless the user is dragging one
// (the view keeps its own meanwhile); the playhead; the callbacks. The
// view's setters compare, so a change costs at most one new picture and a
// playhead move none.
//
// Main thread only. A child object of the view, so it lives as long as it.
#pragma once

#include <QObject>

#include "ui/player/WaveformView.h"

namespace qm {

class PlayerModel;

class WaveformBinder : public QObject {
    Q_OBJECT

public:
    WaveformBinder(WaveformView::Style style, PlayerModel& player, WaveformView& view);

public slots:
    void update();
    void updatePlayhead();

private:
    WaveformView::Style style_;
    PlayerModel& player_;
    WaveformView& view_;
};

}  // namespace qm
