#include "ui/editor/EditorWaveBridge.h"

#include <QMetaMethod>

#include <cmath>

#include "audio/Speakers.h"
#include "ui/editor/EditorWaveView.h"

namespace qm {

EditorWaveBridge::EditorWaveBridge(EditorModel& editor, EditorWaveView& view)
    : QObject(&view), editor_(editor), view_(view) {
    // Every announcement of the model without arguments is a change of its
    // published state.
    const QMetaObject* meta = editor.metaObject();
    const QMetaMethod slot = metaObject()->method(metaObject()->indexOfMethod("update()"));
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        if (m.methodType() == QMetaMethod::Signal && m.parameterCount() == 0) connect(&editor, m, this, slot);
    }
    connect(editor.playhead(), &PlayheadModel::frameChanged, this, &EditorWaveBridge::update);
    update();
}

std::vector<QString> EditorWaveBridge::laneLabels(const EditorModel::Doc& doc) {
    const size_t n = doc.channels ? doc.channels->size() : 0;
    std::vector<QString> labels;
    const auto* list = doc.info.detected.speakerList();
    if (list && list->size() == n && *list != std::vector<SpeakerID>{SpeakerID::C}) {
        for (SpeakerID s : *list) labels.push_back(QString::fromStdString(speaker::label(s, *list)));
        return labels;
    }
    for (size_t i = 0; i < n; ++i) labels.push_back(QString::number(i + 1));
    return labels;
}

std::set<int> EditorWaveBridge::mutedLanes(int lanes, const std::set<int>& solo, const std::set<int>& mute) {
    std::set<int> out;
    if (!solo.empty())
        for (int i = 0; i < lanes; ++i)
            if (!solo.count(i)) out.insert(i);
    out.insert(mute.begin(), mute.end());
    return out;
}

std::vector<int64_t> EditorWaveBridge::toFrames(const std::vector<double>& seconds, double sampleRate) {
    std::vector<int64_t> out;
    out.reserve(seconds.size());
    for (double t : seconds) out.push_back(static_cast<int64_t>(std::llround(t * sampleRate)));
    return out;
}

EditorWaveBridge::PinFields EditorWaveBridge::pinFields(const EditorModel& editor) {
    PinFields f;
    const auto& pins = editor.pins();
    if (!pins || !editor.doc()) return f;
    if (pins->loopFile) {
        f.loopRange = FrameRange{0, editor.doc()->frames()};
        return f;
    }
    const int64_t intro = editor.frame(pins->introEnd);
    const int64_t loopStart = editor.frame(pins->loopStart);
    const int64_t loopEnd = editor.frame(pins->loopEnd);
    const int64_t ending = editor.frame(pins->endingStart);
    f.flags = {{PinKind::introEnd, intro}, {PinKind::loopEnd, loopEnd}, {PinKind::endingStart, ending}};
    f.introEnd = intro;
    f.endingStart = ending;
    f.loopRange = loopRange(loopStart, loopEnd);
    return f;
}

std::optional<FrameRange> EditorWaveBridge::loopRange(int64_t start, int64_t end) {
    // An end before its start is no loop at all, never an inverted one.
    if (end < start) return std::nullopt;
    return FrameRange{start, end};
}

void EditorWaveBridge::update() {
    const auto& doc = editor_.doc();
    if (!doc) return;
    EditorWaveView& v = view_;
    bool redraw = false;
    auto set = [&redraw](auto& field, auto value) {
        if (field == value) return;
        field = std::move(value);
        redraw = true;
    };

    v.channels = doc->channels;
    v.peaks = &editor_.peaks();
    v.frames = doc->frames();
    set(v.sampleRate, doc->sampleRate);
    set(v.revision, editor_.revision());
    set(v.viewStart, int64_t(editor_.viewStart()));
    set(v.viewLength, std::max<int64_t>(editor_.viewLength(), 1));
    set(v.selection, editor_.selection());
    set(v.cursor, int64_t(editor_.cursor()));
    v.laneLabels = laneLabels(*doc);
    const int lanes = doc->channels ? static_cast<int>(doc->channels->size()) : 0;
    set(v.muted, mutedLanes(lanes, editor_.solo(), editor_.mute()));
    const auto& analysis = editor_.analysis();
    set(v.downbeats, analysis ? toFrames(analysis->grid.downbeats, doc->sampleRate) : std::vector<int64_t>{});
    set(v.beats, analysis ? toFrames(analysis->grid.beats, doc->sampleRate) : std::vector<int64_t>{});
    PinFields pins = pinFields(editor_);
    set(v.pins, std::move(pins.flags));
    set(v.introEnd, pins.introEnd);
    set(v.endingStart, pins.endingStart);
    set(v.loopRange, pins.loopRange);
    v.showPlayhead = editor_.isPlaying();
    v.playhead = editor_.playhead()->frame();
    connectCallbacks();
    if (redraw) v.redraw();
    // Shows, hides or moves the line; the view compares its place itself, so
    // an unchanged position costs nothing.
    v.updatePlayhead();
}

void EditorWaveBridge::connectCallbacks() {
    if (connected_) return;
    connected_ = true;
    EditorModel* m = &editor_;
    view_.onCursor = [m](int64_t frame) {
        m->setCursor(frame);
        if (m->isPlaying()) m->play(frame);
    };
    view_.onSelect = [m](std::optional<FrameRange> range) { m->setSelection(range); };
    view_.onZoom = [m](double factor, int64_t frame, double fraction) { m->zoom(factor, frame, fraction); };
    view_.onScroll = [m](int64_t frames) { m->scroll(frames); };
    view_.onPin = [m](PinKind kind, int64_t frame) { m->movePin(kind, frame); };
    view_.onDoubleClick = [m](int64_t frame) { m->selectBar(frame); };
    view_.snap = [m](int64_t frame, double ppf) { return m->snapFrame(frame, ppf); };
}

}  // namespace qm
