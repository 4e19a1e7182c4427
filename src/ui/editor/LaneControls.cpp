#include "ui/editor/LaneControls.h"

#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "ui/editor/EditorWaveGeometry.h"
#include "ui/widgets/Controls.h"

namespace qm {

using namespace widgets;

LaneControls::LaneControls(EditorModel& editor, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), editor_(editor), settings_(settings), column_(new QVBoxLayout(this)) {
    setFixedWidth(34);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(0);
    column_->addSpacing(static_cast<int>(editorwave::kRuler));
    for (auto signal : {&EditorModel::docChanged, &EditorModel::soloChanged, &EditorModel::muteChanged})
        connect(&editor, signal, this, &LaneControls::refresh);
    connect(&settings, &SettingsStore::valueChanged, this, &LaneControls::refresh);
    refresh();
}

bool LaneControls::shown(const EditorModel& editor, const SettingsStore& settings) {
    const auto& doc = editor.doc();
    return settings.value().expertMode && doc && doc->channels && doc->channels->size() >= 2;
}

void LaneControls::rebuild(int lanes) {
    if (static_cast<int>(rows_.size()) == lanes) return;
    for (QWidget* row : rows_) delete row;
    rows_.clear();
    switches_.clear();
    EditorModel* m = &editor_;
    for (int i = 0; i < lanes; ++i) {
        auto* row = new QWidget(this);
        auto* pair = new QVBoxLayout(row);
        pair->setContentsMargins(0, 0, 0, 0);
        pair->setSpacing(2);
        pair->addStretch(1);
        auto* solo = named(asSwitch(textButton("S", "", ControlSize::mini, row)), "");
        auto* mute = named(asSwitch(textButton("M", "", ControlSize::mini, row)), "");
        solo->setObjectName(QStringLiteral("solo%1").arg(i));
        mute->setObjectName(QStringLiteral("mute%1").arg(i));
        pair->addWidget(solo, 0, Qt::AlignHCenter);
        pair->addWidget(mute, 0, Qt::AlignHCenter);
        pair->addStretch(1);
        // Each change is one write of the whole set.
        connect(solo, &QToolButton::toggled, this, [m, i](bool on) {
            auto lanes = m->solo();
            if (on) lanes.insert(i); else lanes.erase(i);
            m->setSolo(lanes);
        });
        connect(mute, &QToolButton::toggled, this, [m, i](bool on) {
            auto lanes = m->mute();
            if (on) lanes.insert(i); else lanes.erase(i);
            m->setMute(lanes);
        });
        // Rows stretch alike, so they share the height as the lanes do.
        row->setMinimumHeight(0);
        row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
        column_->addWidget(row, 1);
        rows_.push_back(row);
        switches_.emplace_back(solo, mute);
    }
}

void LaneControls::refresh() {
    const auto& doc = editor_.doc();
    rebuild(doc && doc->channels ? static_cast<int>(doc->channels->size()) : 0);
    for (size_t i = 0; i < switches_.size(); ++i) {
        const int lane = static_cast<int>(i);
        auto [solo, mute] = switches_[i];
        QSignalBlocker a(solo), b(mute);
        solo->setChecked(editor_.solo().count(lane) > 0);
        mute->setChecked(editor_.mute().count(lane) > 0);
    }
    // Hosted in the editor window; alone (a test) it is shown by its owner.
    if (parentWidget()) setVisible(shown(editor_, settings_));
}

}  // namespace qm
