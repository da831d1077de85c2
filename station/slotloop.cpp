#include "station/slotloop.h"

#include "records/recorder.h"
#include "station/folderwatch.h"
#include "station/presenceprobe.h"

#include <QFileInfo>

namespace
{
constexpr int RetryMs = 500;       // after a port that would not open
constexpr int ResetRetryMs = 2000; // after a reset that failed: a relay is not hammered
constexpr int NumbersRetryMs = 1000;
constexpr int LabelRetryMs = 1000; // while the record store cannot say whether a label is new
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
    if (shared->recorder)
        shared->recorder->openThread();
    waitClock.start();
    // A board is looked for when the slot's folder changes, not on a clock.
    watch = new FolderWatch(target.path, this);
    connect(watch, &FolderWatch::changed, this, &SlotLoop::onFolderChanged);
    look();
}

void SlotLoop::onFolderChanged()
{
    // A board taken away before its label came.
    if (awaitingLabel && !QFileInfo::exists(path)) {
        forgetBoard();
        release();
        waitClock.start();
        look();
        return;
    }
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
    boardIn();
}

void SlotLoop::boardIn()
{
    if (settings.scan.mode != ScanRules::Mode::Required || !label.isEmpty()) {
        startBoard();
        return;
    }
    device = QFileInfo(path).canonicalFilePath();
    awaitingLabel = true;
    sendPhase(SlotPhase::Label);
}

void SlotLoop::takeLabel(const QString &text)
{
    // With labels optional, a board under way takes one until its result.
    const bool underWay = settings.scan.mode == ScanRules::Mode::Optional && job;
    if (ended || stopping || draining || !label.isEmpty() || (!awaitingLabel && !underWay))
        return;
    std::optional<EarlierBoard> earlier;
    QString error;
    if (shared->recorder && !shared->recorder->earlierBoard(text, &earlier, &error)) {
        if (awaitingLabel)
            sendPhase(SlotPhase::Label, QString(), "waiting for the record store");
        QTimer::singleShot(LabelRetryMs, this, [this, text] { takeLabel(text); });
        return;
    }
    if (earlier && !settings.scan.reflash) {
        refusal = earlier->refusal(text);
        label = text;
        if (underWay) {
            job->stop(); // its result tells the refusal
            return;
        }
        awaitingLabel = false;
        sendPhase(SlotPhase::Refused, refusal);
        awaitLeaving();
        return;
    }
    label = text;
    reflash = earlier.has_value();
    if (reflash)
        numbering.adopt(earlier->numbers);
    send({.kind = BoardEvent::Kind::Labelled, .phase = awaitingLabel ? SlotPhase::Waiting : phase});
    if (awaitingLabel) {
        awaitingLabel = false;
        startBoard();
    }
}

void SlotLoop::forgetBoard()
{
    awaitingLabel = false;
    label.clear();
    reflash = false;
    refusal.clear();
    // Kept numbers are the board's: the next board is numbered as usual.
    if (numbering.adopted())
        numbering.giveBack();
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
        // A label refused before the loader answered: the board goes unflashed all the same.
        if (!refusal.isEmpty() && !stopping && !draining) {
            sendPhase(SlotPhase::Refused, refusal);
            awaitLeaving();
            return;
        }
        forgetBoard();
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
    const SlotPhase after = !refusal.isEmpty() ? SlotPhase::Refused
                            : remove           ? SlotPhase::Remove
                                               : SlotPhase::Finished;
    report(result.outcome, refusal.isEmpty() ? result.reason : refusal, result.attempts,
           result.flashingSeconds, result.acceptedBytes, after);
    if (stopping || draining) {
        end();
        return;
    }
    if (result.outcome == Outcome::Lost) {
        // The line is gone, and the board with it: the slot is free for the next.
        forgetBoard();
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
        forgetBoard();
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
