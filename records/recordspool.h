#pragma once

#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QVector>

#include <optional>

// What could not reach the record store, kept in a local file until it can: one JSON object a
// line, each made durable (fsync) before the board's slot goes on. Shared by a run's threads.
class RecordSpool
{
public:
    explicit RecordSpool(const QString &path);

    bool append(const QJsonObject &entry, QString *error);
    // Hands each entry, oldest first, to `apply` until it refuses one; those it took leave the
    // file, the rest stay. One drain at a time, so no entry is applied twice by two threads.
    template <typename Apply> int drain(Apply apply);
    bool empty();
    int count(); // the entries waiting
    QString path() const { return file; }

private:
    QVector<QJsonObject> readAll();
    bool rewrite(const QVector<QJsonObject> &entries);

    const QString file;
    QMutex mutex;
    bool holds = true; // an earlier run may have left entries
    std::optional<int> entries; // how many wait, once known
    // Entries applied whose rewrite failed: they are still in the file, and must not be applied
    // again (a give-back replayed would hand out a number held by another board).
    int applied = 0;
};

template <typename Apply> int RecordSpool::drain(Apply apply)
{
    QMutexLocker lock(&mutex);
    if (!holds)
        return 0;
    const QVector<QJsonObject> waiting = readAll();
    int taken = qMin(applied, int(waiting.size()));
    const int before = taken;
    while (taken < waiting.size() && apply(waiting[taken]))
        ++taken;
    applied = taken > 0 && !rewrite(waiting.mid(taken)) ? taken : 0;
    entries = int(waiting.size()) - taken;
    holds = taken < waiting.size() || applied > 0;
    return taken - before;
}
