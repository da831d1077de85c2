#include "records/recordspool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

RecordSpool::RecordSpool(const QString &path) : file(path) {}

bool RecordSpool::append(const QJsonObject &entry, QString *error)
{
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    QMutexLocker lock(&mutex);
    QDir().mkpath(QFileInfo(file).absolutePath());
    const int fd = ::open(QFile::encodeName(file).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    qint64 done = 0;
    while (ok && done < line.size()) {
        const ssize_t written = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        ok = written > 0;
        done += qMax<ssize_t>(written, 0);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        *error = QString("cannot write the spool %1: %2").arg(file, std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    holds = holds || ok;
    if (ok && entries)
        ++*entries;
    return ok;
}

int RecordSpool::count()
{
    QMutexLocker lock(&mutex);
    if (!holds)
        return 0;
    if (!entries)
        entries = int(readAll().size()) - applied;
    return *entries;
}

bool RecordSpool::empty()
{
    QMutexLocker lock(&mutex);
    if (holds)
        holds = QFileInfo(file).size() > 0;
    return !holds;
}

QVector<QJsonObject> RecordSpool::readAll()
{
    QVector<QJsonObject> entries;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return entries;
    // A line cut short by a crash mid-write is no entry.
    for (const QByteArray &line : in.readAll().split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            entries << document.object();
    }
    return entries;
}

bool RecordSpool::rewrite(const QVector<QJsonObject> &entries)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    for (const QJsonObject &entry : entries)
        out.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
    // QSaveFile syncs before it renames.
    return out.commit();
}
