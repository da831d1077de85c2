#include "station/stationslot.h"

#include "download/units.h"
#include "records/recorder.h"
#include "station/boardlog.h"
#include "station/presenceprobe.h"
#include "station/usbidentity.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonValue>

namespace
{
constexpr int LookMs = 100;        // a slot's pattern is matched again this often
constexpr int RetryMs = 500;       // after a port that would not open
constexpr int ResetRetryMs = 2000; // after a reset that failed: a relay is not hammered
constexpr int StoreRetryMs = 1000; // while the record store is out of reach

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}
} // namespace

StationSlot::StationSlot(int index, const Target &target, const RunSettings &settings,
                         Shared *shared)
    : index(index), target(target), settings(settings), shared(shared), lookTimer(this)
{
    lookTimer.setSingleShot(true);
    connect(&lookTimer, &QTimer::timeout, this, &StationSlot::look);
}

StationSlot::~StationSlot()
{
    release();
}

void StationSlot::start()
{
    waitClock.start();
    if (settings.station) {
        look();
        return;
    }
    path = target.path;
    board = index + 1;
    send({.kind = BoardEvent::Kind::Started, .phase = SlotPhase::Flashing});
    startJob();
}

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
    // A slot that would wait for its board until stopped starts none now; a download under
    // way, or a wake-up with an end of its own, finishes.
    const bool waitsForever = settings.station || settings.waitMs == 0;
    if (job && !job->underWay() && waitsForever)
        job->stop();
    else if (!job)
        end();
}

void StationSlot::look()
{
    if (stopping || draining) {
        end();
        return;
    }
    path = shared->claims.claim(target.path);
    if (path.isEmpty()) {
        sendWaiting();
        lookTimer.start(LookMs);
        return;
    }
    startJob();
}

// A board's number is reserved before its first attempt, and kept across its attempts and across
// wake-ups that found no board.
bool StationSlot::takeNumber()
{
    if (!settings.serial || !shared->recorder || number)
        return true;
    SerialValue value;
    QString error;
    switch (shared->recorder->reserve(&value, &error)) {
    case Reserved::Ok:
        number = value;
        serialText = settings.serial->text(value);
        numbered = Image::fromBytes(settings.serial->patched(settings.image.bytes, value),
                                    settings.image.path);
        return true;
    case Reserved::NoScheme:
        return true;
    case Reserved::Exhausted:
        sendWaiting(QString(), "the serial numbers have run out");
        return false;
    case Reserved::Unreachable:
        break;
    }
    sendWaiting(QString(), "waiting for the record store");
    return false;
}

void StationSlot::startJob()
{
    if (ended)
        return;
    if (stopping || draining) {
        end();
        return;
    }
    if (!takeNumber()) {
        QTimer::singleShot(StoreRetryMs, this, &StationSlot::startJob);
        return;
    }
    device = QFileInfo(path).canonicalFilePath();
    // Taken now: a board that is lost takes its identity with it.
    usb = UsbIdentity::of(path);
    RunSettings jobSettings = settings;
    if (settings.station)
        jobSettings.waitMs = 0; // a slot waits for its next board until the run stops
    if (number)
        jobSettings.image = numbered;
    job = new BoardJob(jobSettings, path, this);
    connect(job, &BoardJob::waiting, this, [this] { sendWaiting(); });
    connect(job, &BoardJob::answered, this, [this] {
        waitingSent.clear();
        if (!settings.station)
            return;
        board = ++shared->boards;
        send({.kind = BoardEvent::Kind::Started, .phase = SlotPhase::Flashing});
    });
    connect(job, &BoardJob::attempt, this,
            [this](int number) { send({.kind = BoardEvent::Kind::Attempt, .phase = SlotPhase::Flashing, .attempt = number}); });
    connect(job, &BoardJob::progress, this, [this](int percent) {
        send({.kind = BoardEvent::Kind::Progress, .phase = SlotPhase::Flashing, .percent = percent});
    });
    connect(job, &BoardJob::finished, this, &StationSlot::onJobFinished);
    if (settings.station)
        sendWaiting();
    job->start();
}

void StationSlot::onJobFinished(const BoardJob::Result &result)
{
    job->deleteLater();
    job = nullptr;
    // On a station, a port that vanished, would not open or could not be reset before any
    // loader answered held no board to speak of: the slot says why and looks again.
    if (settings.station && !result.answered) {
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
    // On a station the time a slot waited for its board is not the board's.
    const double seconds =
        settings.station && result.answered ? result.flashingSeconds : result.seconds;
    // A number that may have reached the loader is never given to another board.
    BoardRecord::Fate fate = BoardRecord::Fate::None;
    if (number)
        fate = result.outcome == Outcome::Done ? BoardRecord::Fate::Used
               : result.acceptedBytes > settings.serial->offset() ? BoardRecord::Fate::Voided
                                                                  : BoardRecord::Fate::Returned;
    record(result, seconds, fate);
    number.reset();
    // A station's board stays until it is taken away, unless it was stopped or is gone already.
    const bool remove = settings.station && result.outcome != Outcome::Stopped &&
                        result.outcome != Outcome::Lost;
    send({.kind = BoardEvent::Kind::Result,
          .phase = remove ? SlotPhase::Remove : SlotPhase::Finished,
          .attempt = result.attempts,
          .seconds = seconds,
          .outcome = result.outcome,
          .reason = result.reason});
    if (!settings.station || stopping || draining) {
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

void StationSlot::record(const BoardJob::Result &result, double seconds, BoardRecord::Fate fate)
{
    const double rounded = qRound(seconds * MsPerSecond) / double(MsPerSecond);
    if (shared->recorder) {
        BoardRecord line{.slot = index + 1,
                         .board = board,
                         .vendorId = usb.vendorId,
                         .productId = usb.productId,
                         .usbSerial = usb.serial,
                         .location = usb.location,
                         .serial = fate == BoardRecord::Fate::None ? QString() : serialText,
                         .index = number ? number->index : -1,
                         .fate = fate,
                         .result = outcomeName(result.outcome),
                         .reason = result.reason,
                         .attempts = result.attempts,
                         .seconds = rounded,
                         .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                         .receivedSha256 = QString::fromLatin1(
                             number ? numbered.sha256 : settings.image.sha256)};
        QString error;
        if (!shared->recorder->record(line, &error))
            qWarning("%s", qPrintable(error));
    }
    if (!shared->log)
        return;
    QJsonObject fields{
        {"event", "board"},
         {"slot", index + 1},
         {"board", board},
         {"port", path},
         {"vid", orNull(usb.vendorId)},
         {"pid", orNull(usb.productId)},
         {"serial", orNull(usb.serial)},
         {"location", orNull(usb.location)},
         {"image", settings.image.path},
         {"size", settings.image.bytes.size()},
         {"checksum", settings.image.checksum},
         {"sha256", QString::fromLatin1(settings.image.sha256)},
         {"result", outcomeName(result.outcome)},
         {"reason", result.reason},
         {"seconds", rounded},
         {"attempts", result.attempts}};
    // "serial" is the adapter's USB serial number: the board's own has a key of its own.
    if (shared->recorder)
        fields.insert("run", shared->recorder->run());
    if (fate != BoardRecord::Fate::None) {
        fields.insert("board_serial", serialText);
        fields.insert("received_sha256", QString::fromLatin1(numbered.sha256));
    }
    shared->log->write(fields);
}

void StationSlot::awaitLeaving()
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

void StationSlot::release()
{
    if (settings.station && !path.isEmpty())
        shared->claims.release(path);
    if (settings.station)
        path.clear();
}

void StationSlot::end()
{
    if (ended)
        return;
    ended = true;
    lookTimer.stop();
    if (shared->recorder) {
        QString error;
        if (number)
            shared->recorder->giveBack(*number, &error);
        number.reset();
        // The connection belongs to this thread, which ends now.
        shared->recorder->closeThread();
    }
    delete probe;
    probe = nullptr;
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

void StationSlot::send(BoardEvent event)
{
    event.target = index;
    event.board = board;
    event.path = path;
    if (board > 0)
        event.serial = serialText;
    emit this->event(event);
}
