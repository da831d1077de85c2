#include "station/boardrunner.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

BoardRunner::BoardRunner(int target, const QByteArray &image, quint16 checksum, const QString &path,
                         int baud)
    : target(target), image(image), checksum(checksum), path(path), baud(baud)
{
}

BoardRunner::~BoardRunner() = default;

void BoardRunner::start()
{
    clock.start();
    emit event({.kind = BoardEvent::Kind::Started, .target = target});
    engine = std::make_unique<dudoZerDownload>();
    // E_REBACK is not a registered meta type: the engine lives on this thread, so these are
    // direct calls.
    connect(engine.get(), &dudoZerDownload::backInfo, this, &BoardRunner::onResult);
    connect(engine.get(), &dudoZerDownload::sendPercent, this, &BoardRunner::onPercent);
    engine->startDownload(image.size(), 0, checksum, image, path, baud);
}

void BoardRunner::stop()
{
    if (!over)
        finish(Outcome::Stopped, QString());
}

void BoardRunner::onResult(dudoZerDownload::E_REBACK code)
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
        reason = openFailReason();
        break;
    case dudoZerDownload::E_TIMEOUT:
        outcome = Outcome::Timeout;
        reason = "the device stopped answering";
        break;
    case dudoZerDownload::E_DOWNLOAD_ERR:
        reason = "the device rejected a frame";
        break;
    }
    // Called from inside the engine: it may only go once its own code has returned.
    QMetaObject::invokeMethod(
        this, [this, outcome, reason] { finish(outcome, reason); }, Qt::QueuedConnection);
}

void BoardRunner::onPercent(int percent)
{
    // The engine repeats a percentage for every block of a large image; once is enough.
    if (over || percent == lastPercent)
        return;
    lastPercent = percent;
    emit event({.kind = BoardEvent::Kind::Progress, .target = target, .percent = percent});
}

void BoardRunner::finish(Outcome outcome, const QString &reason)
{
    over = true;
    engine.reset(); // closes the port
    emit event({.kind = BoardEvent::Kind::Result,
                .target = target,
                .percent = lastPercent,
                .outcome = outcome,
                .reason = reason,
                .seconds = clock.nsecsElapsed() / 1e9});
}

QString BoardRunner::openFailReason() const
{
    const QSerialPort::SerialPortError error = engine->portError();
    struct stat info {
    };
    if (error == QSerialPort::DeviceNotFoundError || ::stat(qPrintable(path), &info) != 0)
        return QString("%1 does not exist").arg(path);
    // Qt reports a port locked by another program as a permission error too.
    if (error == QSerialPort::PermissionError) {
        if (::access(qPrintable(path), R_OK | W_OK) == 0)
            return QString("%1 is busy: another program holds the port").arg(path);
        if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
            return QString("permission denied: %1 opens for its owner only").arg(path);
        const group *owner = ::getgrgid(info.st_gid);
        const QString name =
            owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(info.st_gid);
        return QString("permission denied: %1 belongs to group %2; join it with "
                       "'sudo usermod -aG %2 $USER', then log in again")
            .arg(path, name);
    }
    return engine->portErrorString();
}
