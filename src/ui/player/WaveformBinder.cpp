#include "ui/player/WaveformBinder.h"

#include "app/player/PlayerModel.h"

namespace qm {

WaveformBinder::WaveformBinder(WaveformView::Style style, PlayerModel& player, WaveformView& view)
    : QObject(&view), style_(style), player_(player), view_(view) {
    for (auto signal : {&PlayerModel::infoChanged, &PlayerModel::waveformChanged, &PlayerModel::selectionChanged,
                        &PlayerModel::formatOverrideChanged})
        connect(&player, signal, this, &WaveformBinder::update);
    connect(player.playhead(), &PlayheadModel::frameChanged, this, &WaveformBinder::updatePlayhead);
    update();
}

void WaveformBinder::update() {
    view_.setStyle(style_);
    view_.setData(player_.waveform());
    const auto& info = player_.info();
    view_.setTotalFrames(info ? info->frames : 0);
    std::vector<QString> labels;
    for (const auto& label : player_.laneLabels()) labels.push_back(QString::fromStdString(label));
    view_.setLaneLabels(std::move(labels));
    if (!view_.isSelecting()) view_.setSelection(player_.selection());
    updatePlayhead();
    if (!view_.onSeek) {
        PlayerModel* player = &player_;
        view_.onSeek = [player](int64_t frame) { player->seek(frame); };
        view_.onSelect = [player](std::optional<FrameRange> range) { player->select(range); };
        view_.exportForDrag = [player](bool selectionOnly) { return player->exportForDrag(selectionOnly); };
    }
}

void WaveformBinder::updatePlayhead() { view_.setPlayhead(player_.playhead()->frame()); }

}  // namespace qm
