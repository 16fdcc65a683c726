// Runs a window's event loop in a test until a condition holds, bounded.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

namespace tapscope::testing {

// Runs the event loop until |condition| holds; false after |limitMs|.
template <typename Condition>
bool ProcessUntil(Condition condition, int limitMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(2);
    }
    return true;
}

}  // namespace tapscope::testing
