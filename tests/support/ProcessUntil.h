#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace kelvora::testing {

// Runs the Qt event loop until `condition` holds; false when it has not after 30 s. The limit only keeps a
// broken build from hanging.
inline bool processUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 30000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace kelvora::testing
