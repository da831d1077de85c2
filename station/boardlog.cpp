#include "station/boardlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

BoardLog::~BoardLog()
{
    if (fd >= 0)
        ::close(fd);
}

bool BoardLog::open(const QString &path, QString *error)
{
    // Non-blocking: a FIFO without a reader fails here instead of holding the run forever.
    fd = ::open(QFile::encodeName(path).constData(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = QString("cannot open the log %1: %2").arg(path, std::strerror(errno));
        return false;
    }
    // Open, a slow reader is waited for like a slow disk.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

void BoardLog::close()
{
    QMutexLocker lock(&mutex);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool BoardLog::write(QJsonObject fields)
{
    fields.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert("host", QSysInfo::machineHostName());
    fields.insert("version", QCoreApplication::applicationVersion());
    if (!stationId.isEmpty())
        fields.insert("station", stationId);
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';

    QMutexLocker lock(&mutex);
    if (broken || fd < 0)
        return false;
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        done += written;
    }
    // A pipe or a terminal has nothing to sync; only a file's failure counts.
    if (done == line.size() && (::fsync(fd) == 0 || errno == EINVAL))
        return true;
    broken = true;
    emit failed(QString("the log could not be written: %1").arg(std::strerror(errno)));
    return false;
}
