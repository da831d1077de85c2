#pragma once

#include <QElapsedTimer>
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

// Waits for `done` while `progress` keeps growing: each gain grants another stallMs, and mostMs
// bound the whole wait. On a busy machine a run goes slower but still gets somewhere, which a
// fixed deadline cannot tell from a run that has stopped.
inline bool waitForProgress(const std::function<bool()> &done,
                            const std::function<qint64()> &progress, int stallMs, int mostMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 before = progress();
        const int left = int(mostMs - clock.elapsed());
        if (left <= 0 ||
            !waitFor([&] { return done() || progress() > before; }, qMin(stallMs, left)))
            return done();
        if (done())
            return true;
    }
}
