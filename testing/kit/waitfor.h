#pragma once

#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs a real event loop until `done` holds or timeoutMs have passed. QTest's qWait and QTRY_*
// sleep 10 ms between turns, which would add that much to every block of a download.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(2);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}
