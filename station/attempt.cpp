#include "station/attempt.h"

#include "download/protocol.h"
#include "station/openfailure.h"

#include <QFileInfo>

namespace
{
// How often the line and the loader's first answer are looked at: a hung-up line is reported
// well within a second.
constexpr int WatchMs = 100;

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString unexpected(qint64 bytes)
{
    return QString("%1 unexpected byte%2").arg(bytes).arg(bytes == 1 ? "" : "s");
}

// The first bytes that were no awaited reply: those read, else those still waiting.
QByteArray firstBytes(const dudoZerDownload::Diagnostics &seen)
{
    return seen.mismatched.isEmpty() ? seen.waitingStart : seen.mismatched;
}
} // namespace

Attempt::Attempt(const Image &image, const QString &path, int baud, QObject *parent)
    : QObject(parent), image(image), path(path), baud(baud)
{
    watcher.setInterval(WatchMs);
    connect(&watcher, &QTimer::timeout, this, &Attempt::watch);
}

Attempt::~Attempt() = default;

void Attempt::start(const std::function<bool(QString *reason)> &afterOpen,
                    const std::function<void()> &beforeImage)
{
    engine = std::make_unique<dudoZerDownload>();
    engine->setBeforeHeader(beforeImage);
    // E_REBACK is not a registered meta type: the engine lives on this thread, so these are
    // direct calls.
    connect(engine.get(), &dudoZerDownload::backInfo, this, &Attempt::onResult);
    connect(engine.get(), &dudoZerDownload::sendPercent, this, &Attempt::onPercent);
    if (!engine->startDownload(image.bytes.size(), 0, image.checksum, image.bytes, path, baud))
        return; // the open failure's result is on its way
    QString reason;
    if (afterOpen && !afterOpen(&reason)) {
        finish(Outcome::ResetFailed, reason);
        return;
    }
    watcher.start();
}

void Attempt::abort()
{
    over = true;
    ended = true; // a result still queued is dropped
    watcher.stop();
    engine.reset();
}

bool Attempt::answered() const
{
    return engine && engine->diagnostics().answered;
}

qint64 Attempt::acceptedBytes() const
{
    return engine ? accepted(engine->diagnostics()) : 0;
}

qint64 Attempt::accepted(const dudoZerDownload::Diagnostics &seen) const
{
    // Every block but the last is a full one.
    return qMin<qint64>(qint64(seen.blocksAccepted) * Protocol::MaxBlockLength, image.size());
}

void Attempt::onResult(dudoZerDownload::E_REBACK code)
{
    if (over)
        return;
    over = true;
    Outcome outcome = Outcome::DownloadError;
    QString reason;
    switch (code) {
    case dudoZerDownload::E_DONE:
        outcome = Outcome::Done;
        break;
    case dudoZerDownload::E_OPEN_FAIL:
        outcome = Outcome::OpenFailed;
        reason = describeOpenFailure(path, engine->portError(), engine->portErrorString());
        break;
    case dudoZerDownload::E_TIMEOUT:
        outcome = Outcome::Timeout;
        reason = timeoutReason();
        break;
    case dudoZerDownload::E_DOWNLOAD_ERR:
        reason = rejectReason();
        break;
    }
    // Called from inside the engine: it may only go once its own code has returned.
    QMetaObject::invokeMethod(
        this, [this, outcome, reason] { finish(outcome, reason); }, Qt::QueuedConnection);
}

void Attempt::onPercent(int percent)
{
    if (over)
        return;
    // The first answer is told before the first percent. Only told: the engine is on the stack.
    const dudoZerDownload::Diagnostics seen = engine->diagnostics();
    if (!answeredSeen) {
        answeredSeen = true;
        emit answeredNow(seen.answeredAtMs);
    }
    // The engine repeats a percentage for every block of a large image; once is enough.
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    emit progress(percent);
}

void Attempt::watch()
{
    if (over || !engine)
        return;
    const dudoZerDownload::Diagnostics seen = engine->diagnostics();
    if (seen.answered && !answeredSeen) {
        answeredSeen = true;
        emit answeredNow(seen.answeredAtMs);
    }
    if (seen.hungUp) {
        over = true;
        finish(Outcome::Lost, lostReason());
    }
}

void Attempt::finish(Outcome outcome, const QString &reason)
{
    if (ended)
        return;
    over = true;
    ended = true;
    watcher.stop();
    const dudoZerDownload::Diagnostics seen =
        engine ? engine->diagnostics() : dudoZerDownload::Diagnostics();
    engine.reset(); // closes the port
    emit finished(
        {outcome, reason, answeredSeen || seen.answered, seen.answeredAtMs, accepted(seen)});
}

QString Attempt::where(const dudoZerDownload::Diagnostics &seen) const
{
    if (seen.finishSent)
        return QString("after the last block");
    if (seen.blocksAccepted == 0)
        return QString("before block 1 of %1").arg(seen.blocks);
    return QString("after block %1 of %2").arg(seen.blocksAccepted).arg(seen.blocks);
}

QString Attempt::silence() const
{
    const dudoZerDownload::Diagnostics seen =
        engine ? engine->diagnostics() : dudoZerDownload::Diagnostics();
    const qint64 bytes = seen.bytesReceived + seen.bytesWaiting;
    if (bytes == 0)
        return QString("the loader never answered (no byte received)");
    return QString("the loader answered with %1: %2").arg(unexpected(bytes), hex(firstBytes(seen)));
}

QString Attempt::timeoutReason() const
{
    const dudoZerDownload::Diagnostics seen = engine->diagnostics();
    if (!seen.answered)
        return silence();
    if (seen.headerRefusals > 0 && seen.blocksAccepted == 0)
        return QString("the loader rejected the header (%1 times)").arg(seen.headerRefusals);
    const qint64 odd = seen.mismatchedBytes + seen.bytesWaiting;
    if (odd > 0)
        return QString("the loader answered with %1 %2: %3")
            .arg(unexpected(odd), where(seen), hex(firstBytes(seen)));
    return QString("the loader stopped answering %1").arg(where(seen));
}

QString Attempt::rejectReason() const
{
    const dudoZerDownload::Diagnostics seen = engine->diagnostics();
    if (seen.finishSent)
        return QString("the loader rejected the finish frame (reply %1)").arg(hex(seen.lastReply));
    return QString("the loader rejected block %1 of %2 (reply %3)")
        .arg(seen.blocksAccepted + 1)
        .arg(seen.blocks)
        .arg(hex(seen.lastReply));
}

QString Attempt::lostReason() const
{
    const dudoZerDownload::Diagnostics seen = engine->diagnostics();
    const QString what = QFileInfo::exists(path) ? "the line hung up" : "the device vanished";
    return seen.answered ? QString("%1 %2").arg(what, where(seen))
                         : QString("%1 before the loader answered").arg(what);
}
