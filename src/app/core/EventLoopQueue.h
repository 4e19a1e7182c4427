// The main queue over the Qt event loop of the thread that owns the object
// (the main thread): delayed work runs from single-shot timers; work handed
// in from another thread is first posted to the owner's loop.
//
// cancel() drops work whose timer is waiting; work posted from another
// thread can be cancelled once the owner's loop has taken it in.
#pragma once

#include "platform/MainQueue.h"

#include <QObject>

#include <atomic>
#include <unordered_map>

class QTimer;

namespace qm {

class EventLoopQueue final : public QObject, public MainQueue {
public:
    explicit EventLoopQueue(QObject* parent = nullptr);
    ~EventLoopQueue() override;

    Token after(double seconds, std::function<void()> work) override;
    void cancel(Token token) override;

private:
    void schedule(Token token, double seconds, std::function<void()> work);

    std::atomic<Token> next_{1};
    std::unordered_map<Token, QTimer*> timers_;
};

}  // namespace qm
