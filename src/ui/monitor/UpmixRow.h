// The monitor's upmix row: the "Upmix" switch, the six presets, "Reset"
// while the parameters differ from the preset's, and in expert mode the
// grid of parameter sliders with their value texts and the bass management.
// It is offered (enabled) only when the bus can be spread over more
// speakers of the output profile: never on headphones.
//
// Every control reads the engine's whole state, changes one field and
// writes it back; refresh() shows the state with the controls' signals
// blocked, so showing a value never writes it. Slider positions are
// integers mapped so that a grid position gives exactly the grid value
// (sevenths of the centre width, half decibels, thousandths of the
// continuous parameters); a stored value off the grid (a preset's -80 dB
// heights, its centre width of 0.2) stays as stored while shown.
//
// Controls carry object names: "upmix", "upmixPreset" (segments
// "upmixPreset.0"...), "upmixReset", "upmixGrid", the sliders "strength",
// "centerWidth", "stage", "frontAmbience", "ambienceDB", "heightDB",
// "surroundDelayMs" with their texts "<name>.value", "lfe", "lfeHz".
// Main thread only.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "app/monitor/MonitorEngine.h"

class QComboBox;
class QFrame;
class QLabel;
class QSlider;
class QToolButton;

namespace qm {

namespace widgets {
class Segments;
}

class UpmixRow : public QWidget {
    Q_OBJECT
public:
    explicit UpmixRow(MonitorEngine& monitor, QWidget* parent = nullptr);

    // Whether an upmix is offered for the current source and output profile.
    bool can() const;
    // Shows or hides the expert grid (the expert-mode setting).
    void setExpert(bool on);

    // The value text of a grid slider's field.
    static QString valueText(double UpmixParams::*field, double value);

public slots:
    void refresh();

private:
    struct Slider {
        double UpmixParams::*field;
        int minimum, maximum;
        double (*value)(int position);
        int (*position)(double value);
        QSlider* slider = nullptr;
        QLabel* text = nullptr;
    };

    void write(const std::function<void(UpmixSettings&)>& change);
    QFrame* makeGrid();

    MonitorEngine& monitor_;
    bool expert_ = false;
    QWidget* controls_;
    QToolButton* toggle_;
    widgets::Segments* presets_;
    QToolButton* reset_;
    QFrame* grid_;
    std::vector<Slider> sliders_;
    QComboBox* lfe_ = nullptr;
    QComboBox* lfeHz_ = nullptr;
};

}  // namespace qm
