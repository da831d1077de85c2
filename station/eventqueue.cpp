#include "station/eventqueue.h"

#include <QMutexLocker>

EventQueue::EventQueue(QObject *parent) : QObject(parent), timer(this)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &EventQueue::flush);
}

void EventQueue::push(const BoardEvent &event)
{
    QMutexLocker lock(&mutex);
    pending << event;
    if (armed)
        return;
    armed = true;
    QMetaObject::invokeMethod(this, &EventQueue::arm, Qt::QueuedConnection);
}

void EventQueue::arm()
{
    const qint64 since = last.isValid() ? last.elapsed() : BatchMs;
    if (since >= BatchMs)
        flush();
    else if (!timer.isActive())
        timer.start(int(BatchMs - since));
}

void EventQueue::flush()
{
    timer.stop();
    QVector<BoardEvent> events;
    {
        QMutexLocker lock(&mutex);
        events.swap(pending);
        armed = false;
    }
    last.start();
    if (!events.isEmpty())
        emit delivered(events);
}
