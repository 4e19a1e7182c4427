#include "app/core/WaveformLoader.h"

#include <QCoreApplication>
#include <QPointer>

#include "app/core/Handoff.h"

namespace qm {

std::shared_ptr<WaveformLoader> WaveformLoader::load(const std::filesystem::path& url,
                                                     Update onUpdate, QObject* context) {
    std::shared_ptr<WaveformLoader> loader(new WaveformLoader());
    // Snapshots are posted to the application object, which lives for the
    // whole run; whether the receiver still exists is asked on the main
    // thread, where it can be asked safely.
    QPointer<QObject> receiver = context ? context : QCoreApplication::instance();
    auto deliver = std::make_shared<const Update>(std::move(onUpdate));
    handoff::toPool([loader, url, receiver, deliver]() mutable {
        WaveformOverview::compute(url, loader->cancelled_, [&](std::shared_ptr<const WaveformData> snapshot) {
            handoff::toThreadOf(nullptr, [loader, receiver, deliver, snapshot = std::move(snapshot)] {
                if (receiver && !loader->isCancelled()) (*deliver)(snapshot);
            });
        });
        // The caller's callback is released on the main thread, where it was
        // made, whatever it captured.
        handoff::toThreadOf(nullptr, [done = std::move(deliver)] {});
    });
    return loader;
}

}  // namespace qm
