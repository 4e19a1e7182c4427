#include "ui/player/TimeLabel.h"

#include <algorithm>

#include "app/core/PlayheadModel.h"
#include "app/player/PlayerModel.h"
#include "ui/widgets/Style.h"

namespace qm {

TimeLabel::TimeLabel(PlayheadModel& playhead, QWidget* parent) : QLabel(parent), playhead_(playhead) {
    setFont(style::font(11, QFont::Normal, true));
    style::setTextColour(this, style::secondaryLabel(palette()));
    connect(&playhead, &PlayheadModel::frameChanged, this, &TimeLabel::refresh);
    refresh();
}

void TimeLabel::setSampleRate(double rate) {
    rate_ = rate;
    refresh();
}

void TimeLabel::setDuration(double seconds) {
    duration_ = seconds;
    refresh();
}

QString TimeLabel::text(double frame, double rate, double duration) {
    return QString::fromStdString(PlayerModel::time(frame / std::max(rate, 1.0)) + " / " +
                                  PlayerModel::time(duration));
}

void TimeLabel::refresh() {
    const QString t = text(playhead_.frame(), rate_, duration_);
    if (t != QLabel::text()) setText(t);
}

}  // namespace qm
