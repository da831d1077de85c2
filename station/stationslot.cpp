#include "station/stationslot.h"

#include "download/units.h"
#include "records/recorder.h"
#include "station/boardoutcome.h"
#include "station/eventqueue.h"
#include "station/plainport.h"
#include "station/slotloop.h"

#include <QFileInfo>
#include <QTimer>

namespace
{
constexpr int StoreRetryMs = 1000; // while the record store is out of reach
}

StationSlot *StationSlot::create(int index, const Target &target, const RunSettings &settings,
                                 Shared *shared)
{
    if (settings.station)
        return new SlotLoop(index, target, settings, shared);
    return new PlainPort(index, target, settings, shared);
}

StationSlot::StationSlot(int index, const Target &target, const RunSettings &settings,
                         Shared *shared)
    : index(index), target(target), settings(settings), shared(shared),
      numbering(shared->recorder, settings.image)
{
}

StationSlot::~StationSlot() = default;

void StationSlot::stop()
{
    stopping = true;
    if (job)
        job->stop(); // its result ends the slot
    else
        end();
}

void StationSlot::drain()
{
    draining = true;
    // A download under way, or a wake-up with an end of its own, finishes.
    if (job && !job->underWay() && waitsForever())
        job->stop();
    else if (!job)
        end();
}

void StationSlot::startBoard()
{
    if (ended)
        return;
    if (stopping || draining) {
        end();
        return;
    }
    // A board's number is reserved before its first attempt, and kept across its attempts and
    // across wake-ups that found no board.
    QString error;
    switch (numbering.take(&error)) {
    case Reserved::Ok:
    case Reserved::NoScheme:
        break;
    case Reserved::Exhausted:
        onNumbersOut(numbering.ranOut(), numbering.lastText());
        return;
    case Reserved::Unreachable:
        sendWaiting(QString(), "waiting for the record store");
        QTimer::singleShot(StoreRetryMs, this, &StationSlot::startBoard);
        return;
    }
    device = QFileInfo(path).canonicalFilePath();
    // Taken now: a board that is lost takes its identity with it.
    usb = UsbIdentity::of(path);
    RunSettings boardSettings = settings;
    if (waitsForever())
        boardSettings.waitMs = 0;
    boardSettings.image = numbering.image();
    job = new BoardJob(boardSettings, path, this);
    connect(job, &BoardJob::waiting, this, [this] { sendWaiting(); });
    connect(job, &BoardJob::answered, this, [this] {
        waitingSent.clear();
        onAnswered();
    });
    connect(job, &BoardJob::attempt, this, [this](int number) {
        send({.kind = BoardEvent::Kind::Attempt, .phase = SlotPhase::Flashing, .attempt = number});
    });
    connect(job, &BoardJob::progress, this, [this](int percent) {
        send(
            {.kind = BoardEvent::Kind::Progress, .phase = SlotPhase::Flashing, .percent = percent});
    });
    connect(job, &BoardJob::finished, this, [this](const BoardJob::Result &result) {
        job->deleteLater();
        job = nullptr;
        onBoardFinished(result);
    });
    onBoardStarting();
    job->start([this] { numbering.goesOut(); });
}

void StationSlot::report(Outcome outcome, const QString &reason, int attempts, double seconds,
                         qint64 acceptedBytes, SlotPhase phase)
{
    BoardOutcome made{.slot = index + 1,
                      .board = board,
                      .port = path,
                      .usb = usb,
                      .image = settings.image,
                      .outcome = outcome,
                      .reason = reason,
                      .attempts = attempts,
                      .seconds = qRound(seconds * MsPerSecond) / double(MsPerSecond),
                      .time = QDateTime::currentDateTimeUtc(),
                      .run = shared->recorder ? shared->recorder->run() : 0,
                      .receivedSha256 = numbering.image().sha256,
                      .label = label,
                      .reflash = reflash};
    // A number that may have reached the loader is never given to another board.
    made.numbers = numbering.settle(outcome == Outcome::Done, acceptedBytes);
    for (const BoardRecord::Number &number : qAsConst(made.numbers))
        if (number.name == SerialScheme::SerialPool) {
            made.boardSerial = number.text;
            made.pool = number.pool;
            made.index = number.index;
            made.fate = number.fate;
        }
    for (OutcomeSink *sink : qAsConst(shared->sinks)) {
        QString error;
        if (!sink->write(made, &error) && !error.isEmpty())
            qWarning("%s", qPrintable(error));
    }
    send({.kind = BoardEvent::Kind::Result,
          .phase = phase,
          .attempt = attempts,
          .seconds = seconds,
          .outcome = outcome,
          .reason = reason,
          .serial = made.boardSerial});
}

void StationSlot::end()
{
    if (ended)
        return;
    ended = true;
    numbering.giveBack();
    // The store's connection belongs to this thread, which ends now.
    if (shared->recorder)
        shared->recorder->closeThread();
    release();
    emit finished();
}

void StationSlot::sendWaiting(const QString &reason, const QString &notice)
{
    const QString said = path + '\n' + reason + '\n' + notice;
    if (said == waitingSent)
        return;
    waitingSent = said;
    send({.kind = BoardEvent::Kind::Waiting,
          .phase = settings.station && path.isEmpty() ? SlotPhase::Looking : SlotPhase::Waiting,
          .seconds = waitClock.nsecsElapsed() / 1e9,
          .reason = reason,
          .notice = notice});
}

void StationSlot::sendPhase(SlotPhase to, const QString &reason, const QString &notice)
{
    waitingSent.clear();
    send({.kind = BoardEvent::Kind::Waiting,
          .phase = to,
          .seconds = waitClock.nsecsElapsed() / 1e9,
          .reason = reason,
          .notice = notice});
}

void StationSlot::send(BoardEvent event)
{
    phase = event.phase;
    event.label = label;
    event.reflash = reflash;
    event.target = index;
    event.board = board;
    event.path = path;
    if (board > 0 && event.serial.isEmpty())
        event.serial = numbering.text();
    shared->events->push(event);
}
