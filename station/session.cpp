#include "station/session.h"

#include "records/recorder.h"
#include "station/boardlog.h"
#include "station/eventqueue.h"
#include "station/storesink.h"

#include <QJsonArray>
#include <QThread>

Session::Session(const Targets &targets, const RunSettings &settings, BoardLog *log,
                 Recorder *recorder)
    : targets(targets), settings(settings), log(log), events(new EventQueue(this)),
      stationState(targets, settings.station)
{
    shared.recorder = recorder;
    shared.events = events;
    connect(events, &EventQueue::delivered, this, &Session::onEvents);
    // The store first: a board's number is settled before its line is logged.
    if (recorder) {
        storeSink = std::make_unique<StoreSink>(recorder);
        shared.sinks << storeSink.get();
    }
    if (log)
        shared.sinks << log;
    if (log)
        connect(log, &BoardLog::failed, this, [this](const QString &reason) {
            drain();
            emit logLost(reason);
        });
    for (int i = 0; i < targets.size(); ++i) {
        Worker worker;
        worker.thread = new QThread;
        worker.slot = StationSlot::create(i, targets[i], settings, &shared);
        worker.slot->moveToThread(worker.thread);
        connect(worker.thread, &QThread::started, worker.slot, &StationSlot::start);
        connect(worker.slot, &StationSlot::finished, this, [this, i] { onSlotFinished(i); });
        workers << worker;
    }
}

Session::~Session()
{
    // Gone while slots still run (a window closed at once): each ends its board as stopped on
    // its own thread, its port and timers with it, before the thread is joined.
    for (const Worker &worker : qAsConst(workers))
        if (worker.thread && !worker.over && worker.thread->isRunning())
            QMetaObject::invokeMethod(worker.slot, &StationSlot::stop,
                                      Qt::BlockingQueuedConnection);
    joinThreads();
}

void Session::start()
{
    if (settings.station)
        logStationEvent("station_started");
    running = workers.size();
    stationState.startClock();
    for (const Worker &worker : qAsConst(workers))
        worker.thread->start();
}

void Session::stop()
{
    if (running == 0)
        return; // every slot is already over
    interrupted = true;
    // Each slot drops its engine on its own thread, which closes that board's port.
    for (const Worker &worker : qAsConst(workers))
        QMetaObject::invokeMethod(worker.slot, &StationSlot::stop, Qt::QueuedConnection);
}

void Session::drain()
{
    lost = true;
    for (const Worker &worker : qAsConst(workers))
        QMetaObject::invokeMethod(worker.slot, &StationSlot::drain, Qt::QueuedConnection);
}

int Session::exitStatus() const
{
    if (interrupted)
        return InterruptedStatus;
    if (lost)
        return LostStatus;
    for (const SlotState &slot : stationState.slotStates())
        if (slot.outcome != Outcome::Done)
            return FailedStatus;
    return 0;
}

void Session::onEvents(const QVector<BoardEvent> &batch)
{
    for (const BoardEvent &event : batch) {
        stationState.apply(event);
        emit this->event(event);
    }
}

void Session::onSlotFinished(int index)
{
    // The slot's last events are queued before its end: they count first.
    events->flush();
    workers[index].over = true;
    if (--running > 0)
        return;
    joinThreads();
    if (settings.station)
        logStationEvent("station_stopped");
    emit finished();
}

void Session::logStationEvent(const char *name)
{
    if (!log)
        return;
    QJsonArray given;
    for (const Target &target : targets)
        given << target.given;
    QJsonObject fields{{"event", name},
                       {"slots", given},
                       {"image", settings.image.path},
                       {"size", settings.image.bytes.size()},
                       {"checksum", settings.image.checksum},
                       {"sha256", QString::fromLatin1(settings.image.sha256)}};
    if (shared.recorder)
        fields.insert("run", shared.recorder->run());
    if (!settings.job.isEmpty())
        fields.insert("job", settings.job);
    if (QLatin1String(name) == QLatin1String("station_stopped")) {
        const StationTotals totals = stationState.totals();
        fields.insert("done", totals.done);
        fields.insert("failed", totals.failed);
    }
    log->write(fields);
}

void Session::joinThreads()
{
    for (Worker &worker : workers) {
        if (!worker.thread)
            continue;
        worker.thread->quit();
        worker.thread->wait();
        // The thread has ended, so nothing runs the slot's code any more.
        delete worker.slot;
        delete worker.thread;
        worker.thread = nullptr;
        worker.slot = nullptr;
    }
}
