#include "station/boardjob.h"

#include "download/units.h"
#include "station/openfailure.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{
// How long the port of a board whose reset command switched its power may take to come back.
constexpr int SettleMs = 5000;
constexpr int SettleRetryMs = 100;
} // namespace

BoardJob::BoardJob(const RunSettings &settings, const QString &path, QObject *parent)
    : QObject(parent), settings(settings), path(path)
{
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer); // a coarse timer may end the wait early
    connect(&deadline, &QTimer::timeout, this, &BoardJob::onDeadline);
    connect(&command, &ResetCommand::finished, this, [this](bool ok, const QString &reason) {
        if (!ok) {
            finish(Outcome::ResetFailed, reason);
            return;
        }
        settling.start();
        runAttempt();
    });
}

BoardJob::~BoardJob()
{
    if (lineFd >= 0)
        ::close(lineFd);
}

void BoardJob::start(const std::function<void()> &hook)
{
    beforeImage = hook;
    clock.start();
    if (settings.waitMs.value_or(0) > 0)
        deadline.start(*settings.waitMs);
    nextAttempt();
}

void BoardJob::stop()
{
    if (!over)
        finish(Outcome::Stopped, QString());
}

bool BoardJob::underWay() const
{
    return everAnswered || (current && current->answered());
}

void BoardJob::nextAttempt()
{
    settling.invalidate();
    if (settings.resetCommand.isEmpty())
        runAttempt();
    else
        command.start(settings.resetCommand, path);
}

void BoardJob::runAttempt()
{
    if (over)
        return;
    // A reset command that switched the board's power takes its port away for a while.
    if (settling.isValid() && settling.elapsed() < SettleMs && !QFileInfo::exists(path)) {
        QTimer::singleShot(SettleRetryMs, this, &BoardJob::runAttempt);
        return;
    }
    if (settings.reset && lineFd < 0) {
        // Opened before the engine's own open, which takes the port for itself, and kept open
        // across attempts, so that no close in between drops the lines.
        lineFd =
            ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (lineFd < 0) {
            finish(Outcome::OpenFailed, describeOpenFailure(path, errno));
            return;
        }
        if (!ResetSequence::hasModemLines(lineFd)) {
            finish(Outcome::ResetFailed,
                   QString("%1 has no modem lines (DTR, RTS) to reset the board with; use "
                           "--reset-cmd instead")
                       .arg(path));
            return;
        }
    }
    current = new Attempt(settings.image, path, settings.baud, this);
    connect(current, &Attempt::answeredNow, this, [this](qint64 atMs) {
        if (!everAnswered) {
            everAnswered = true;
            answeredAtMs = atMs;
            emit answered();
        }
    });
    connect(current, &Attempt::progress, this, [this](int percent) {
        lastPercent = percent;
        emit progress(percent);
    });
    connect(current, &Attempt::finished, this, &BoardJob::onAttemptFinished);
    if (settings.reset)
        current->start([this](QString *reason) { return resetLines(reason); }, beforeImage);
    else
        current->start({}, beforeImage);
}

// Runs as soon as the engine has opened the port. The kernel asserts DTR and RTS on every open,
// so the sequence comes after it and its lines stay for the whole conversation. The handshake the
// engine wrote on opening met a board about to be reset: an answer to it is stale, and dropped.
bool BoardJob::resetLines(QString *reason)
{
    if (!settings.reset->run(lineFd, reason))
        return false;
    ::tcflush(lineFd, TCIFLUSH);
    return true;
}

void BoardJob::onAttemptFinished(const Attempt::Result &result)
{
    current->deleteLater();
    current = nullptr;
    if (settling.isValid() && settling.elapsed() < SettleMs &&
        result.outcome == Outcome::OpenFailed) {
        QTimer::singleShot(SettleRetryMs, this, &BoardJob::runAttempt);
        return; // the port is coming back after the reset command
    }
    if (!everAnswered && result.answered)
        answeredAtMs = result.answeredAtMs;
    everAnswered = everAnswered || result.answered;
    acceptedBytes = qMax(acceptedBytes, result.acceptedBytes);
    const bool failed =
        result.outcome == Outcome::DownloadError || result.outcome == Outcome::Timeout;
    if (result.outcome == Outcome::Timeout && !result.answered && keepWaking()) {
        emit waiting(clock.nsecsElapsed() / 1e9);
        nextAttempt();
        return;
    }
    if (failed && attempts < settings.attempts) {
        ++attempts;
        emit attempt(attempts);
        nextAttempt();
        return;
    }
    finish(result.outcome, result.reason);
}

void BoardJob::onDeadline()
{
    if (over || (current && current->answered()))
        return; // a download under way runs to its end
    const QString silence = current ? current->silence() : QString("the loader never answered");
    finish(Outcome::Timeout,
           QString("%1, waited %2 s").arg(silence).arg(*settings.waitMs / double(MsPerSecond)));
}

bool BoardJob::keepWaking() const
{
    return settings.waitMs && (*settings.waitMs == 0 || deadline.isActive());
}

void BoardJob::finish(Outcome outcome, const QString &reason)
{
    over = true;
    deadline.stop();
    command.stop();
    if (current) {
        if (!everAnswered && current->answered()) {
            everAnswered = true;
            answeredAtMs = steadyMs();
        }
        acceptedBytes = qMax(acceptedBytes, current->acceptedBytes());
        current->disconnect(this);
        current->abort();
        current->deleteLater();
        current = nullptr;
    }
    if (lineFd >= 0) {
        ::close(lineFd);
        lineFd = -1;
    }
    // The engine reports each accepted block before cutting it off, so a finished image may
    // last have said less than 100.
    if (outcome == Outcome::Done && lastPercent < FullPercent)
        emit progress(FullPercent);
    const double sinceAnswer = everAnswered ? (steadyMs() - answeredAtMs) / 1e3 : 0;
    emit finished({outcome, reason, clock.nsecsElapsed() / 1e9, sinceAnswer, attempts, everAnswered,
                   acceptedBytes});
}
