// Waiting on a condition while the Qt event loop runs, without sleeping between events
// (QTest::qWaitFor sleeps 10 ms at a time, which slows timers and replies down). For the
// tests and the benchmarks that drive the simulated unit; the programs never wait so.
#pragma once

#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace trm {

// Runs the event loop until `pred` holds or `ms` pass; checks every `pollMs`.
inline bool WaitFor(const std::function<bool()>& pred, int ms, int pollMs = 2) {
    if (pred()) {
        return true;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (pred()) {
            loop.quit();
        }
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return pred();
}

} // namespace trm
