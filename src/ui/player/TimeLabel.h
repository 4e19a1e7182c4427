// The player's position and length under the strip: "0:01.250 / 0:04.000"
// in the player's time text, small fixed-pitch digits in the secondary
// colour. It follows the playhead on every move (the 30 Hz tick while
// playing, and seeks), not only the player's announcements.
//
// Main thread only.
#pragma once

#include <QLabel>

namespace qm {

class PlayheadModel;

class TimeLabel : public QLabel {
    Q_OBJECT

public:
    explicit TimeLabel(PlayheadModel& playhead, QWidget* parent = nullptr);

    void setSampleRate(double rate);
    // The length in seconds.
    void setDuration(double seconds);

    // The position of `frame` at `rate` (taken as at least 1), " / ", the length.
    static QString text(double frame, double rate, double duration);

private:
    void refresh();

    PlayheadModel& playhead_;
    double rate_ = 0;
    double duration_ = 0;
};

}  // namespace qm
