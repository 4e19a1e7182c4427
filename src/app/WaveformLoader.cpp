#include "app/WaveformLoader.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

namespace qm {

std::shared_ptr<WaveformLoader> WaveformLoader::load(const std::filesystem::path& url,
                                                     Update onUpdate, QObject* context) {
    std::shared_ptr<WaveformLoader> loader(new WaveformLoader());
    // Snapshots are posted to the application object, which outlives every
    // worker; whether the receiver still exists is asked on the main thread,
    // where it can be asked safely.
    QPointer<QObject> receiver = context ? context : QCoreApplication::instance();
    auto deliver = std::make_shared<const Update>(std::move(onUpdate));
    QThreadPool::globalInstance()->start([loader, url, receiver, deliver] {
        WaveformOverview::compute(url, loader->cancelled_,
                                  [&](std::shared_ptr<const WaveformData> snapshot) {
                                      QMetaObject::invokeMethod(
                                          QCoreApplication::instance(),
                                          [loader, receiver, deliver, snapshot = std::move(snapshot)] {
                                              if (receiver && !loader->isCancelled())
                                                  (*deliver)(snapshot);
                                          },
                                          Qt::QueuedConnection);
                                  });
    });
    return loader;
}

}  // namespace qm
