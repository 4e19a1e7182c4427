#include "ui/UiTestSupport.h"

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <thread>

#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"

namespace qm::test {

bool waitFor(const std::function<bool()>& cond, ManualMainQueue* queue, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents();
        if (queue) queue->runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

std::filesystem::path outputFolder() {
    const std::filesystem::path folder = std::filesystem::path(QM_TEST_OUTPUT) / "ui";
    std::filesystem::create_directories(folder);
    return folder;
}

void savePng(const QImage& image, const QString& name) {
    const auto file = outputFolder() / (name.toStdString() + ".png");
    EXPECT_TRUE(image.save(QString::fromStdString(file.string()))) << file;
}

void savePng(QWidget& widget, const QString& name) {
    if (!widget.isVisible()) widget.show();
    QApplication::processEvents();
    savePng(widget.grab().toImage(), name);
}

void writePiece(const std::filesystem::path& file, double seconds, double sampleRate, int channels) {
    const auto piece = drumPattern({.seconds = seconds, .sampleRate = sampleRate});
    Planar planar(static_cast<size_t>(channels), piece.samples);
    if (channels == 2) std::fill(planar[1].begin(), planar[1].end(), 0.f);
    writeAudioFile(file, planar, sampleRate);
}

EditorFixture::~EditorFixture() {
    model.stop();
    // Lets the thread pool's work for this model finish before it goes.
    test::waitFor([&] { return !model.busy() && !model.analyzing(); }, &queue, std::chrono::seconds(20));
}

void EditorFixture::open(const std::filesystem::path& file) {
    model.open(file);
    settle();
}

void EditorFixture::settle() {
    ASSERT_TRUE(waitFor([&] { return !model.busy() && !model.analyzing(); }));
}

void EditorFixture::setExpert(bool on) {
    settings.update([on](AppSettings& s) { s.expertMode = on; });
}

}  // namespace qm::test
