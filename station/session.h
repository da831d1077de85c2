#pragma once

#include "station/boardevent.h"
#include "station/runsettings.h"
#include "station/scanrouter.h"
#include "station/stationslot.h"
#include "station/stationstate.h"
#include "station/target.h"

#include <QObject>
#include <QVector>

#include <memory>

class BoardLog;
class Recorder;
class EventQueue;
class StoreSink;
class QThread;

// One run: a thread and a slot per target, all at once. A board that fails or hangs touches no
// other. A plain run ends when every board has its result; a station runs until it is stopped.
// Either way it ends once every slot is over and its thread gone.
class Session : public QObject
{
    Q_OBJECT

public:
    static constexpr int FailedStatus = 1;
    static constexpr int LostStatus = 3; // the output or the log could not be written
    static constexpr int InterruptedStatus = 130;

    Session(const Targets &targets, const RunSettings &settings, BoardLog *log = nullptr,
            Recorder *recorder = nullptr);
    ~Session() override;

    void start();
    void stop();  // for a stop signal: a board under way ends as stopped
    void drain(); // for a lost output: a board under way finishes, no new one starts
    int exitStatus() const;
    // Every slot's state and the totals, as of the events told so far.
    const StationState &state() const { return stationState; }
    // One scan of the station's scanner, routed to the slot it is for; `slot` (from 1) when the
    // scan names it. A label goes on to that slot's thread; what became of it comes as events.
    ScanRouter::Route scan(const QString &text, int slot = 0);
    const ScanRules &scanRules() const { return settings.scan; }

signals:
    void event(const BoardEvent &event); // on the main thread, in the order they happened
    void logLost(const QString &reason); // the boards under way finish, no new one starts
    void finished();

private:
    struct Worker {
        QThread *thread = nullptr;
        StationSlot *slot = nullptr;
        bool over = false;
    };

    void onEvents(const QVector<BoardEvent> &events);
    void onSlotFinished(int index);
    void logStationEvent(const char *name);
    void joinThreads();

    const Targets targets;
    const RunSettings settings;
    BoardLog *const log;
    std::unique_ptr<StoreSink> storeSink;
    EventQueue *events;
    StationSlot::Shared shared;
    StationState stationState;
    ScanRouter router;
    QVector<Worker> workers;
    int running = 0;
    bool interrupted = false;
    bool lost = false;
};
