// What the view tests share: a real editor model on the silent null output
// with its settings in a temporary folder, a generated piece of music of
// known tempo, waiting on the event loop, the PNG files the tests leave in
// the build tree's test output folder (test-output/ui) for a person to
// look at, and what every such picture is checked for: texts wider or
// taller than their controls, controls laid over their neighbours or out of
// their parent, and another desktop's words.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "support/TempDir.h"

class QWidget;

namespace qm::test {

// Runs the event loop (and `queue`, when given) until `cond` holds or the
// limit passes; answers `cond` at the end.
bool waitFor(const std::function<bool()>& cond, ManualMainQueue* queue = nullptr,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

// The folder the PNG files go to (created on first use).
std::filesystem::path outputFolder();
void savePng(const QImage& image, const QString& name);
// Shows the widget (when hidden), lets it lay out and saves what it paints;
// then expects it to pass the checks below.
void savePng(QWidget& widget, const QString& name);

// Every text a user can read in the widget and its descendants (windows it
// owns, such as its message boxes, too): labels, buttons, titles,
// placeholders, items, headers, tabs, tooltips and the actions of their
// menus (submenus too).
QStringList readableTexts(QWidget& root);
// The texts among them that name another desktop's things ("Finder",
// "Quick Look", its key symbols, "Audio Unit", its settings' names and
// panes such as "System Settings" or "Automation").
QStringList foreignWords(QWidget& root);
QStringList foreignWords(const QStringList& texts);
// The shown controls whose text needs more room than they have, measured
// with their fonts (a wrapped label: the height its lines take at its
// width): "objectName (Class) \"text\": needs W x H, has w x h".
QStringList clippedTexts(QWidget& root);
// Shown widgets that a layout (or a splitter) puts side by side, or that
// one of the views places by hand (a speaker map's tiles), and whose boxes
// meet, or that stick out of the widget that lays them out; and scroll
// areas whose content is cut where they have no scroll bar.
QStringList overlaps(QWidget& root);
// Texts shortened below a readable least: a label cut to fewer than
// `least` characters of its text, and a table cell cut so while another
// column of its table is wider than what it shows.
QStringList elidedTexts(QWidget& root, int least = 8);

// A drum piece (kick, snare, hats, a bass note a bar) at 120 BPM in 4/4 from
// 0.5 s on, a bar every 2 s, written as a WAV file with `channels` equal
// channels (the right one of a stereo file silent, so that lanes differ).
void writePiece(const std::filesystem::path& file, double seconds, double sampleRate = 44100, int channels = 2);

struct EditorFixture {
    TempDir dir;
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()))};
    EditorModel model{engine, settings};

    ~EditorFixture();
    // Opens the file and waits until loading and its analysis are over.
    void open(const std::filesystem::path& file);
    // Waits until the model is neither busy nor analysing.
    void settle();
    bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return test::waitFor(cond, &queue, limit);
    }
    void setExpert(bool on);
};

}  // namespace qm::test
