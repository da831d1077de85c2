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
      stationState(targets, settings.station), router(settings.scan)
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
        // The slot told what became of the label it was sent.
        if (event.kind == BoardEvent::Kind::Labelled || event.kind == BoardEvent::Kind::Left ||
            event.kind == BoardEvent::Kind::Result || event.phase == SlotPhase::Refused)
            router.settled(event.target + 1);
        stationState.apply(event);
        emit this->event(event);
    }
}

ScanRouter::Route Session::scan(const QString &text, int slot)
{
    QVector<ScanRouter::Slot> seen;
    for (int i = 0; i < workers.size(); ++i)
        seen << (workers[i].over ? ScanRouter::Slot{}
                                 : ScanRouter::slotOf(stationState.slot(i), settings.scan.mode));
    const ScanRouter::Route route = router.route(text, seen, slot);
    if (route.kind == ScanRouter::Route::Kind::Label) {
        StationSlot *to = workers[route.slot - 1].slot;
        const QString label = route.text;
        QMetaObject::invokeMethod(
            to, [to, label] { to->takeLabel(label); }, Qt::QueuedConnection);
    }
    return route;
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
