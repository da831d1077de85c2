#pragma once

#include "station/boardevent.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <QVector>

// The slots' events on their way to the main thread, handed over in batches: a slot only adds
// to the queue, and the main thread wakes at most every 50 ms while events come, and not at all
// while none do. Events keep their order.
class EventQueue : public QObject
{
    Q_OBJECT

public:
    static constexpr int BatchMs = 50;

    explicit EventQueue(QObject *parent = nullptr);

    // From any thread.
    void push(const BoardEvent &event);
    // On the queue's thread: hands over at once whatever waits (before a slot's end is told).
    void flush();

signals:
    void delivered(const QVector<BoardEvent> &events);

private:
    void arm();

    QMutex mutex;
    QVector<BoardEvent> pending;
    bool armed = false; // a hand-over is on its way
    QTimer timer;
    QElapsedTimer last; // since the last hand-over
};
