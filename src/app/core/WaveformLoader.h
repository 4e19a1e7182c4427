// Computes a file's waveform overview in the background and delivers the
// progressively more complete snapshots on the main thread.
//
// load() returns at once; the work runs on the global thread pool. Every
// snapshot reaches `onUpdate` through the main thread's event loop, in the
// order computed, as long as the loader has not been cancelled and
// `context` still exists. cancel() (main thread) voids the snapshots not yet
// delivered, so an owner that cancels and loads another file never sees the
// old file's overview again. A file that cannot be opened gives no update.
#pragma once

#include <QObject>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

#include "audio/WaveformOverview.h"

namespace qm {

class WaveformLoader {
public:
    using Update = std::function<void(std::shared_ptr<const WaveformData>)>;

    // `context` receives the deliveries (the caller's model; the
    // application object when null).
    static std::shared_ptr<WaveformLoader> load(const std::filesystem::path& url, Update onUpdate,
                                                QObject* context = nullptr);

    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }

private:
    WaveformLoader() = default;
    std::atomic<bool> cancelled_{false};
};

}  // namespace qm
