#include "app/core/WaveformLoader.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

namespace qm {

std::shared_ptr<WaveformLoader> WaveformLoader::load(const std::filesystem::path& url,
                                                     Update onUpdate, QObject* context) {
    std::shared_ptr<WaveformLoader> loader(new WaveformLoader());
    // Snapshots are posted to the application object, which lives for the
    // whole run; whether the receiver still exists is asked on the main
    // thread, where it can be asked safely.
    QPointer<QObject> receiver = context ? context : QCoreApplication::instance();
    auto deliver = std::make_shared<const Update>(std::move(onUpdate));
    QThreadPool::globalInstance()->start([loader, url, receiver, deliver]() mutable {
        WaveformOverview::compute(url, loader->cancelled_,
                                  [&](std::shared_ptr<const WaveformData> snapshot) {
                                      // Gone only while the process ends.
                                      QObject* app = QCoreApplication::instance();
                                      if (!app) return;
                                      QMetaObject::invokeMethod(
                                          app,
                                          [loader, receiver, deliver, snapshot = std::move(snapshot)] {
                                              if (receiver && !loader->isCancelled())
                                                  (*deliver)(snapshot);
                                          },
                                          Qt::QueuedConnection);
                                  });
        // The caller's callback is released on the main thread, where it was
        // made, whatever it captured.
        if (QObject* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [done = std::move(deliver)] {}, Qt::QueuedConnection);
    });
    return loader;
}

}  // namespace qm
