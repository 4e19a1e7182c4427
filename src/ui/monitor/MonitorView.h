// The monitor window: the source the workstation's bus arrives on, the
// bus's layout and the output profile, Start and Stop; the volume read-out
// and slider with Dim and Mute; the fold-down (Listen); the upmix row; the
// speaker map; the height trim, "Clear solos and mutes" and, in expert
// mode, the first input channel; the inserts with their add menu (the
// plug-ins that can play on the output, by LV2 class, with a search field);
// and the engine's message (the desktop's text size, the warning colour).
//
// It keeps no copy of the monitor's state: every control reads the
// engine's whole state, changes one field and writes it back (or calls the
// engine), and every control is refreshed from the engine's and the
// settings' signals with its own signals blocked, so showing a value never
// writes it and changes made elsewhere (the control protocol) show at once.
// The source list is read each time the window is shown, the plug-in list
// too, both on a worker thread: the window opens at once, the Source picker
// says "Looking for devices…" and the add menu "Looking for plug-ins…"
// until their lists arrive (`listsRead()`).
//
// Controls carry object names: "source", "bus", "output", "startStop",
// "volume", "volumeSlider", "dim", "mute", "listen" (segments "listen.0"...),
// "heightTrim", "heightTrim.value", "clearSolos", "sourceOffset",
// "insertsBox", "addInsert" (its menu's search field "addInsert.search"),
// "message"; the rows and the map as their own
// headers say. Main thread only.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/monitor/MonitorEngine.h"

class QComboBox;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSlider;
class QSpinBox;
class QToolButton;
class QVBoxLayout;

namespace qm {

namespace widgets {
class MessageLine;
class Segments;
}

class InsertRow;
class SpeakerMap;
class UpmixRow;

class MonitorView : public QWidget {
    Q_OBJECT
public:
    MonitorView(MonitorEngine& monitor, SettingsStore& settings, QWidget* parent = nullptr);

    // The labels of the bus layouts and of the fold-downs, in case order.
    static QString busLabel(MonitorSource source);
    static QString listenLabel(MonitorMode mode);
    // "%+.1f dB".
    static QString decibels(double dB);
    // The add menu's heading of an LV2 class.
    static QString categoryLabel(Lv2Category category);

    SpeakerMap* speakerMap() const { return map_; }
    UpmixRow* upmixRow() const { return upmix_; }
    const std::vector<InsertRow*>& insertRows() const { return rows_; }
    const std::vector<AudioOutputDevice>& sources() const { return sources_; }
    const std::vector<Lv2Plugin>& components() const { return components_; }

    // Both lists of the latest showing have arrived.
    bool listsRead() const { return sourcesRead_ && componentsRead_; }

    // Seams for tests: where the source and plug-in lists come from (called
    // on a worker thread).
    void setSourceList(std::function<std::vector<AudioOutputDevice>()> list) { sourceList_ = std::move(list); }
    void setComponentList(std::function<std::vector<Lv2Plugin>()> list) { componentList_ = std::move(list); }

protected:
    void showEvent(QShowEvent* e) override;

private:
    QWidget* makeHeader();
    QWidget* makeVolumeRow();
    QWidget* makeListenRow();
    QWidget* makeTrimRow();
    QWidget* makeInsertsBox();

    void readLists();
    void writeState(const std::function<void(MonitorState&)>& change);
    void startOrStop();

    void showState();
    void showSources();
    void showProfiles();
    void showRunning();
    void showInserts();
    void showComponents();
    void showMessage();
    void showSettings();

    MonitorEngine& monitor_;
    SettingsStore& settings_;
    std::vector<AudioOutputDevice> sources_;
    std::vector<Lv2Plugin> components_;
    uint64_t listGeneration_ = 0;
    bool sourcesRead_ = false;
    bool componentsRead_ = false;
    std::function<std::vector<AudioOutputDevice>()> sourceList_ = &MonitorEngine::inputDevices;
    std::function<std::vector<Lv2Plugin>()> componentList_ = &MonitorEngine::effectComponents;

    QComboBox* source_;
    QComboBox* bus_;
    QComboBox* output_;
    QPushButton* startStop_;
    QLabel* volume_;
    QSlider* volumeSlider_;
    QToolButton* dim_;
    QToolButton* mute_;
    widgets::Segments* listen_;
    UpmixRow* upmix_;
    SpeakerMap* map_;
    QSlider* heightTrim_;
    QLabel* heightTrimText_;
    QPushButton* clearSolos_;
    QSpinBox* sourceOffset_;
    QVBoxLayout* rowsLayout_;
    std::vector<InsertRow*> rows_;
    QToolButton* addInsert_;
    QMenu* addMenu_;
    QLineEdit* search_;
    // The add menu's entries below the search field.
    std::vector<QAction*> componentActions_;
    std::vector<QMenu*> componentMenus_;
    widgets::MessageLine* message_;
};

}  // namespace qm
