// The observable play position of one player or of the editor, in source
// frames of the loaded file, that moving playheads and time labels draw.
//
// Its owner copies the engine's position cell into it on the main thread
// (up to 30 times a second during playback), on seeks and when playback
// stops. Unlike the other models, every set announces a change, also an
// unchanged one: views that want fewer redraws compare values themselves.
// Main thread only.
#pragma once

#include <QObject>

namespace qm {

class PlayheadModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(double frame READ frame WRITE setFrame NOTIFY frameChanged)

public:
    explicit PlayheadModel(QObject* parent = nullptr) : QObject(parent) {}

    double frame() const { return frame_; }
    void setFrame(double frame) {
        frame_ = frame;
        emit frameChanged(frame_);
    }

signals:
    void frameChanged(double frame);

private:
    double frame_ = 0;
};

}  // namespace qm
