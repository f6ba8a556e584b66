#pragma once

// Waiting in window tests: the event loop keeps running while a condition is
// awaited, with a generous limit for loaded machines.

#include <QElapsedTimer>
#include <QTest>

#include "engine/engine.h"

namespace vidmill::test {

template <typename Predicate>
bool waitFor(Predicate done, int ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

// Short poll periods, so that the window's tests run quickly.
inline EngineTiming quickWindowTiming() {
    EngineTiming timing;
    timing.admissionPollMs = 10;
    timing.progressPollMs = 20;
    timing.probePollMs = 2;
    return timing;
}

}  // namespace vidmill::test
