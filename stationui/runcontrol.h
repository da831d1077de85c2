#pragma once

#include "download/image.h"
#include "station/runplan.h"

#include <QFutureWatcher>
#include <QObject>

#include <memory>

class Session;
class StationRun;

// A run's start and end for a window, on worker threads: the run is prepared (the store reached,
// the spool written, the log opened) and, once its session has finished, settled with the store,
// both off the window's thread, which never waits on the store. A stop that comes while the run
// is being prepared starts no slot.
class RunControl : public QObject
{
    Q_OBJECT

public:
    explicit RunControl(QObject *parent = nullptr);
    ~RunControl() override; // the slots' threads have ended when it returns

    // `image`: the image read when the job was opened, flashed whatever the file holds now.
    void start(const RunPlan &plan, const Image &image);
    void stop();
    // The last run's store and log let go of, between runs.
    void forget();
    bool isRunning() const { return running; }
    // From prepared() on, until the next start.
    StationRun *run() const { return current.get(); }
    Session *session() const;

signals:
    void failed(const QString &error); // not started, and not running
    void prepared(const StationRun &run);
    void sessionMade(Session &session); // connect to it here: it starts next
    void started();
    void sessionEnded(); // the ports are closed; the run is settled next
    void finished();     // every port closed, the record settled

private:
    struct Prepared {
        std::shared_ptr<StationRun> run;
        QString error;
    };
    void onPrepared();
    void onSessionFinished();
    void settle();
    void onSettled();

    std::shared_ptr<StationRun> current;
    bool running = false;
    bool stopAsked = false;
    QFutureWatcher<Prepared> preparing;
    QFutureWatcher<void> settling;
};
