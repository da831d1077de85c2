#pragma once

#include "station/boardevent.h"
#include "records/boardrecord.h"
#include "records/serialvalue.h"
#include "station/boardjob.h"
#include "station/portclaims.h"
#include "station/runsettings.h"
#include "station/target.h"
#include "station/usbidentity.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <optional>

class BoardLog;
class Recorder;
class PresenceProbe;

// One target of a run, on a thread of its own. On a plain run it flashes the board on its port
// once. On a station it is a slot that boards come and go on: it waits for a board (the port to
// appear and the loader to answer), flashes it, records the result, waits until the board has
// left, and starts over; a board that stays is never flashed twice.
class StationSlot : public QObject
{
    Q_OBJECT

public:
    // What the slots of a run share across their threads.
    struct Shared {
        PortClaims claims;
        BoardLog *log = nullptr;
        Recorder *recorder = nullptr; // the record store; none without one
        std::atomic<int> boards{0}; // numbers given out so far
    };

    StationSlot(int index, const Target &target, const RunSettings &settings, Shared *shared);
    ~StationSlot() override;

public slots:
    void start();
    void stop();  // a board under way ends as stopped; then the slot ends
    void drain(); // a board under way finishes; no new one starts; then the slot ends

signals:
    void event(const BoardEvent &event);
    void finished(); // once, the port closed

private:
    void look();
    void startJob();
    void onJobFinished(const BoardJob::Result &result);
    bool takeNumber();
    void record(const BoardJob::Result &result, double seconds, BoardRecord::Fate fate);
    void awaitLeaving();
    void release();
    void end();
    void send(BoardEvent event);
    void sendWaiting(const QString &reason = QString(), const QString &notice = QString());

    const int index;
    const Target target;
    const RunSettings settings;
    Shared *const shared;
    QTimer lookTimer;
    QElapsedTimer waitClock; // since the slot began waiting for its next board
    BoardJob *job = nullptr;
    PresenceProbe *probe = nullptr;
    QString path;   // the port the slot holds now
    QString device; // what it named when the board came
    UsbIdentity usb;
    int board = 0;
    std::optional<SerialValue> number; // reserved for the next board, or held by this one
    QString serialText;
    Image numbered; // the image with that number in it
    QString waitingSent; // what the last waiting event said, so that it is said once
    bool stopping = false;
    bool draining = false;
    bool ended = false;
};
