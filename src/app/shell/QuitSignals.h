// SIGTERM and SIGINT as a request to quit: the handler writes one byte to a
// pipe, a socket notifier on the main thread reads it and calls `onQuit`
// (the event loop's quit), so the process ends through its normal tear-down.
// One instance per process; the previous handlers come back when it goes.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace qm {

class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(std::function<void(int signal)> onQuit, QObject* parent = nullptr);
    ~QuitSignals() override;

    // False when the pipe or the handlers could not be installed.
    bool installed() const { return installed_; }

private:
    std::function<void(int)> onQuit_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool installed_ = false;
};

}  // namespace qm
