// The windows of the monitor's effect inserts.
//
// InsertPanel is the generic panel of a plug-in's control inputs: a slider
// over each port's range (logarithmic where the port says so, in steps for
// integer ports) with its value, a toggle for a toggled port, a menu for an
// enumeration; and, for each file parameter (a convolver's impulse
// response), the chosen file's name and "Choose…". It writes the unit's
// control values (which the audio thread copies in at its next block) and
// files, and reads them when made. Object names: the port's symbol;
// "file.<n>" and "file.<n>.name" for the n-th file parameter.
//
// installInsertWindows() gives the engine its window factory: a window
// titled with the insert's name holding, on X11, the plug-in's own X11 UI
// when it has one (Lv2X11Ui, idled by a 30 ms timer), else the panel for
// plug-ins that have controls or files (a plug-in without any has no view
// and gets no window). A plug-in window that causes an X error is closed and
// the engine's message says so; one whose UI cannot be made falls back to
// the panel, with a message.
//
// Main thread only.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "app/monitor/MonitorEngine.h"

class QLabel;

namespace qm {

class InsertPanel : public QWidget {
    Q_OBJECT
public:
    explicit InsertPanel(std::shared_ptr<Lv2Unit> unit, QWidget* parent = nullptr);

    // The slider position (0...steps) of a value of control `i`, and back.
    static constexpr int steps = 1000;
    static int position(const Lv2ControlPort& port, float value);
    static float value(const Lv2ControlPort& port, int position);

    // Where "Choose…" asks for a file (its argument is the dialog's title);
    // a file dialog unless set. An empty answer changes nothing.
    void setFileChooser(std::function<QString(const QString&)> chooser) { chooser_ = std::move(chooser); }

private:
    std::shared_ptr<Lv2Unit> unit_;
    std::function<QString(const QString&)> chooser_;
};

void installInsertWindows(MonitorEngine& engine);

}  // namespace qm
