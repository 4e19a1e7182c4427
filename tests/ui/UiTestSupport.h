// What the view tests share: a real editor model on the silent null output
// with its settings in a temporary folder, a generated piece of music of
// known tempo, waiting on the event loop, and the PNG files the tests leave
// in the build tree's test output folder (test-output/ui) for a person to
// look at.
#pragma once

#include <QImage>
#include <QString>

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
// Shows the widget (when hidden), lets it lay out and saves what it paints.
void savePng(QWidget& widget, const QString& name);

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
