#include "stationui/runcontrol.h"

#include "station/session.h"
#include "station/stationrun.h"

#include <QThread>
#include <QtConcurrent>

RunControl::RunControl(QObject *parent) : QObject(parent)
{
    connect(&preparing, &QFutureWatcher<Prepared>::finished, this, &RunControl::onPrepared);
    connect(&settling, &QFutureWatcher<void>::finished, this, &RunControl::onSettled);
}

RunControl::~RunControl()
{
    preparing.waitForFinished();
    settling.waitForFinished();
    // The run stops the slots' threads, then settles its record.
    current.reset();
}

Session *RunControl::session() const
{
    return current ? current->session() : nullptr;
}

void RunControl::start(const RunPlan &plan, const Image &image)
{
    if (running)
        return;
    running = true;
    stopAsked = false;
    current.reset();
    QThread *home = thread();
    preparing.setFuture(QtConcurrent::run([plan, image, home] {
        Prepared prepared;
        prepared.run = StationRun::prepare(plan, home, &prepared.error, image);
        return prepared;
    }));
}

void RunControl::stop()
{
    if (!running)
        return;
    if (session())
        session()->stop();
    else
        stopAsked = true;
}

void RunControl::forget()
{
    if (!running)
        current.reset();
}

void RunControl::onPrepared()
{
    Prepared result = preparing.result();
    current = std::move(result.run);
    if (!current) {
        running = false;
        emit failed(result.error);
        return;
    }
    emit prepared(*current);
    if (stopAsked) {
        settle();
        return;
    }
    Session &session = current->createSession();
    connect(&session, &Session::finished, this, &RunControl::onSessionFinished,
            Qt::QueuedConnection);
    emit sessionMade(session);
    session.start();
    emit started();
}

void RunControl::onSessionFinished()
{
    emit sessionEnded();
    settle();
}

void RunControl::settle()
{
    // The recorder settles what the slots left with the store, and the log closes. The worker
    // borrows the run: were it to hold the last reference, the session and its timers would be
    // destroyed on the worker's thread. This object keeps the run until the worker is done.
    StationRun *run = current.get();
    settling.setFuture(QtConcurrent::run([run] { run->finish(); }));
}

void RunControl::onSettled()
{
    running = false;
    emit finished();
}
