#pragma once

#include "records/boardrecord.h"
#include "records/serialscheme.h"
#include "records/storeurl.h"

#include <QMutex>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <optional>

// The board record and the serial pool in SQLite or PostgreSQL, shared safely by the slots of one
// station and by several stations: each thread has its own connection (a QSqlDatabase belongs to
// the thread that opened it), every change is one transaction, and allocation holds the pool's row
// (BEGIN IMMEDIATE on SQLite, SELECT ... FOR UPDATE on PostgreSQL) so two boards never get one
// number. A connection that failed is dropped and opened again on its thread's next call.
class RecordStore
{
public:
    static constexpr int SchemaVersion = 2;

    struct Run {
        QString station, host, version, job, imageSha256;
        qint64 pid = 0;
    };
    // A number voided because the run that held it is gone (a crash).
    struct Voided {
        qint64 run;
        QString serial;
    };
    enum class Reserved { Ok, Exhausted, Failed };

    explicit RecordStore(const StoreUrl &url);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Reaches the store and creates or upgrades its schema in place.
    bool open(QString *error);
    // Voids what runs that are gone left reserved, then starts this one.
    std::optional<qint64> startRun(const Run &run, QVector<Voided> *voided, QString *error);
    bool stopRun(qint64 run, QString *error);
    // The pool of a scheme's numbers, created on first use.
    std::optional<qint64> pool(const SerialScheme &scheme, QString *error);
    // Numbers given back come first, lowest first; then the next one never given out.
    Reserved reserve(qint64 pool, const SerialScheme &scheme, qint64 run, SerialValue *value,
                     QString *error);
    bool giveBack(qint64 pool, qint64 index, qint64 run, QString *error);
    // The board's line, and its number used, voided or given back, in one transaction. A line
    // already there (the spool written twice) is left as it is.
    bool record(const BoardRecord &record, QString *error);

    // Closes the calling thread's connection (a slot's thread before it ends).
    void closeThread();
    // The calling thread's connection, opened if need be; invalid when the store is out of reach.
    QSqlDatabase connection(QString *error);
    bool postgres() const { return url.kind == StoreUrl::Kind::Postgres; }
    const StoreUrl &address() const { return url; }

private:
    bool begin(QSqlDatabase &db, QString *error);
    bool commit(QSqlDatabase &db, QString *error);
    bool failed(QSqlDatabase &db, const QString &what, const QString &detail, QString *error);
    bool upgrade(QSqlDatabase &db, int from, QString *error);

    const StoreUrl url;
    QMutex mutex;
    // SQLite's own wait for a busy database sleeps in growing steps of up to 100 ms: the threads
    // of one process queue here instead, and only other processes meet the busy timeout.
    QMutex writer;
    QSet<QString> names; // the connections opened, one a thread
};
