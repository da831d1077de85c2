#include "station/slotloop.h"

#include "station/folderwatch.h"
#include "station/presenceprobe.h"

namespace
{
constexpr int RetryMs = 500;       // after a port that would not open
constexpr int ResetRetryMs = 2000; // after a reset that failed: a relay is not hammered
constexpr int NumbersRetryMs = 1000;
} // namespace

SlotLoop::SlotLoop(int index, const Target &target, const RunSettings &settings, Shared *shared)
    : StationSlot(index, target, settings, shared), lookTimer(this)
{
    lookTimer.setSingleShot(true);
    connect(&lookTimer, &QTimer::timeout, this, &SlotLoop::look);
}

SlotLoop::~SlotLoop()
{
    release();
}

void SlotLoop::start()
{
    waitClock.start();
    // A board is looked for when the slot's folder changes, not on a clock.
    watch = new FolderWatch(target.path, this);
    connect(watch, &FolderWatch::changed, this, &SlotLoop::onFolderChanged);
    look();
}

void SlotLoop::onFolderChanged()
{
    // Busy with a board, or waiting out a port that failed.
    if (ended || job || probe || !path.isEmpty() || lookTimer.isActive())
        return;
    look();
}

void SlotLoop::look()
{
    if (stopping || draining) {
        end();
        return;
    }
    path = shared->claims.claim(target.path);
    if (path.isEmpty()) {
        sendWaiting();
        return;
    }
    startBoard();
}

void SlotLoop::onAnswered()
{
    board = ++shared->boards;
    send({.kind = BoardEvent::Kind::Started, .phase = SlotPhase::Flashing});
}

// The slot flashes nothing until the store has numbers again: another station may give some back.
void SlotLoop::onNumbersOut(const QString &pool, const QString &last)
{
    sendWaiting(QString(), SerialScheme::ranOutText(pool, last));
    QTimer::singleShot(NumbersRetryMs, this, &SlotLoop::startBoard);
}

void SlotLoop::onBoardFinished(const BoardJob::Result &result)
{
    // A port that vanished, would not open or could not be reset before any loader answered
    // held no board to speak of: the slot says why and looks again.
    if (!result.answered) {
        release();
        if (result.outcome == Outcome::OpenFailed || result.outcome == Outcome::ResetFailed)
            sendWaiting(result.reason);
        if (stopping || draining)
            end();
        else
            lookTimer.start(result.outcome == Outcome::ResetFailed ? ResetRetryMs : RetryMs);
        return;
    }
    if (board == 0)
        board = ++shared->boards;
    // The time the slot waited for its board is not the board's; a stopped or lost board has no
    // board left to take away.
    const bool remove = result.outcome != Outcome::Stopped && result.outcome != Outcome::Lost;
    report(result.outcome, result.reason, result.attempts, result.flashingSeconds,
           result.acceptedBytes, remove ? SlotPhase::Remove : SlotPhase::Finished);
    if (stopping || draining) {
        end();
        return;
    }
    if (result.outcome == Outcome::Lost) {
        // The line is gone, and the board with it: the slot is free for the next.
        release();
        board = 0;
        waitClock.start();
        look();
        return;
    }
    awaitLeaving();
}

void SlotLoop::awaitLeaving()
{
    probe = new PresenceProbe(settings, path, device, this);
    connect(probe, &PresenceProbe::left, this, [this] {
        probe->deleteLater();
        probe = nullptr;
        send({.kind = BoardEvent::Kind::Left, .phase = SlotPhase::Looking});
        release();
        board = 0;
        waitClock.start();
        look();
    });
    probe->start();
}

void SlotLoop::release()
{
    lookTimer.stop();
    delete probe;
    probe = nullptr;
    if (!path.isEmpty())
        shared->claims.release(path);
    path.clear();
}
