// Waiting on the main thread for what models publish through the event loop.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>
#include <thread>

#include "support/Timeouts.h"

namespace qm::test {

// Runs the event loop until `condition` holds or `limit` (stretched in
// sanitizer builds) has passed; says whether it holds.
inline bool untilEventLoop(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + timeout(limit);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

}  // namespace qm::test
