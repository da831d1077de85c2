#pragma once

#include "records/boardnumbering.h"
#include "station/boardevent.h"
#include "station/boardjob.h"
#include "station/portclaims.h"
#include "station/runsettings.h"
#include "station/target.h"
#include "station/usbidentity.h"

#include <QElapsedTimer>
#include <QObject>
#include <QVector>

#include <atomic>

class EventQueue;
class OutcomeSink;
class Recorder;

// One target of a run, on a thread of its own: what a plain run's port (PlainPort) and a
// station's slot (SlotLoop) share. It flashes one board at a time with the board's own number in
// its image, writes each board's outcome to the run's sinks and tells its events; what comes
// before a board and after it is the subclass's.
class StationSlot : public QObject
{
    Q_OBJECT

public:
    // What the slots of a run share across their threads.
    struct Shared {
        PortClaims claims;
        QVector<OutcomeSink *> sinks; // every board's outcome goes to each, in order
        Recorder *recorder = nullptr; // the record store; none without one
        std::atomic<int> boards{0};   // numbers given out so far
        EventQueue *events = nullptr; // to the main thread, in order
    };

    // A station's slot, or a plain run's port.
    static StationSlot *create(int index, const Target &target, const RunSettings &settings,
                               Shared *shared);
    ~StationSlot() override;

public slots:
    virtual void start() = 0;
    void stop();  // a board under way ends as stopped; then the slot ends
    void drain(); // a board under way finishes; no new one starts; then the slot ends
    // The printed label of the board in the slot, scanned; a slot with no board for it lets it go.
    virtual void takeLabel(const QString &) {}

signals:
    void finished(); // once, the port closed, after the slot's last event

protected:
    StationSlot(int index, const Target &target, const RunSettings &settings, Shared *shared);

    // Flashes the board on `path`, once its number is in: onBoardFinished tells the result.
    void startBoard();
    virtual void onBoardStarting() {}
    virtual void onAnswered() {}
    // A pool's numbers have run out ("serial" for [serial]'s): no board can be numbered.
    virtual void onNumbersOut(const QString &pool, const QString &last) = 0;
    virtual void onBoardFinished(const BoardJob::Result &result) = 0;
    // A slot that would wait for its board until stopped starts none when drained.
    virtual bool waitsForever() const = 0;
    // The board's outcome to every sink, then its Result event.
    void report(Outcome outcome, const QString &reason, int attempts, double seconds,
                qint64 acceptedBytes, SlotPhase phase);
    void end();
    void send(BoardEvent event);
    void sendWaiting(const QString &reason = QString(), const QString &notice = QString());
    // The slot is in `phase` while no board is under way (a label awaited or refused).
    void sendPhase(SlotPhase phase, const QString &reason = QString(),
                   const QString &notice = QString());

    const int index;
    const Target target;
    const RunSettings settings;
    Shared *const shared;
    QElapsedTimer waitClock; // since the slot began waiting for its next board
    BoardJob *job = nullptr;
    QString path;   // the port the slot holds now
    QString device; // what it named when the board came
    UsbIdentity usb;
    int board = 0;
    BoardNumbering numbering;
    bool stopping = false;
    bool draining = false;
    bool ended = false;
    QString label;        // the board's printed label; empty: none yet
    bool reflash = false; // the label was done before: the board keeps its earlier numbers
    SlotPhase phase = SlotPhase::Idle; // as last sent

private:
    virtual void release() {}

    QString waitingSent; // what the last waiting event said, so that it is said once
};
