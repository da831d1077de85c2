#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QVector>

// What could not reach the record store, kept in a local file until it can: one JSON object a
// line, each made durable (fsync) before the board's slot goes on. Shared by a run's threads.
class RecordSpool
{
public:
    explicit RecordSpool(const QString &path);

    bool append(const QJsonObject &entry, QString *error);
    // Hands each entry, oldest first, to `apply`; those it took leave the file, the rest stay.
    // One drain at a time, so no entry is applied twice by two threads.
    template <typename Apply> int drain(Apply apply);
    bool empty();
    QString path() const { return file; }

private:
    QVector<QJsonObject> readAll();
    bool rewrite(const QVector<QJsonObject> &entries);

    const QString file;
    QMutex mutex;
    bool holds = true; // an earlier run may have left entries
};

template <typename Apply> int RecordSpool::drain(Apply apply)
{
    QMutexLocker lock(&mutex);
    if (!holds)
        return 0;
    const QVector<QJsonObject> entries = readAll();
    int taken = 0;
    while (taken < entries.size() && apply(entries[taken]))
        ++taken;
    if (taken > 0)
        rewrite(entries.mid(taken));
    holds = taken < entries.size();
    return taken;
}
