#pragma once

#include "download/image.h"
#include "records/boardrecord.h"
#include "records/earlierboard.h"
#include "records/reserved.h"
#include "records/serialscheme.h"
#include "records/storeurl.h"

#include <QString>
#include <QVector>

#include <memory>
#include <optional>

class StoreConnections;

// The board record and the serial pool in SQLite or PostgreSQL, shared safely by the slots of one
// station and by several stations: each thread has its own connection, every change is one
// transaction, and allocation holds the pool's row (BEGIN IMMEDIATE on SQLite, SELECT ... FOR
// UPDATE on PostgreSQL) so two boards never get one number. Every change to a number is kept as
// one of its events, so that its history can be told.
class RecordStore
{
public:
    static constexpr int SchemaVersion = 5;

    struct Run {
        QString station, host, version, job, imageSha256;
        qint64 pid = 0;
        // The run notes each number as it goes out (wentOut), so that one it leaves reserved and
        // never sent can be given back after a crash; one that does not has them all voided.
        bool notesWentOut = false;
        QString spool = {}; // where the run keeps what the store missed (the Recorder's)
        // The serial section as the job gave it, as a JSON object; empty without numbers.
        QString serialFields = {};
        // Who flashed the run's boards and for which lot; empty: none.
        QString operatorName = {}, lot = {};
        // The base image, kept once under its SHA-256; none without bytes.
        Image image = {};
        // The [serial.NAME] sections as the job gave them: a JSON object of each one's fields by
        // name; empty without them.
        QString poolFields = {};
    };
    // A number voided because the run that held it is gone (a crash) and it may be on a board.
    struct Voided {
        qint64 run;
        QString serial;
    };

    explicit RecordStore(const StoreUrl &url);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Reaches the store and creates or upgrades its schema in place.
    bool open(QString *error);
    // Starts this run, then settles what runs that are gone left reserved: a number that went out
    // to a board is voided; one that never did is given back, where the gone run noted its
    // numbers going out and this run has just replayed its spool (the same host and spool), so
    // that no note can be missing.
    std::optional<qint64> startRun(const Run &run, QVector<Voided> *voided, QString *error);
    bool stopRun(qint64 run, QString *error);
    // The pool of a scheme's numbers, created on first use.
    std::optional<qint64> pool(const SerialScheme &scheme, QString *error);
    // What a pool gives out next: Ok and its value, or Exhausted.
    struct Upcoming {
        Reserved state = Reserved::Exhausted;
        SerialValue value;
    };
    // Numbers given back come first, lowest first; then the next one never given out. Ok,
    // Exhausted or Unreachable. `after`, when given: what the pool gives out once this one is
    // taken, read in the same transaction, which spares a view a read of its own.
    Reserved reserve(qint64 pool, const SerialScheme &scheme, qint64 run, SerialValue *value,
                     QString *error, Upcoming *after = nullptr);
    // The number reserve() would give now, without taking it.
    Reserved next(qint64 pool, const SerialScheme &scheme, SerialValue *value, QString *error);
    bool giveBack(qint64 pool, qint64 index, qint64 run, QString *error);
    // Notes the first time (UTC, ISO 8601) a number this run holds went out towards a board.
    bool wentOut(qint64 pool, qint64 index, qint64 run, const QString &time, QString *error);
    // The board's line, and its number used, voided or given back, in one transaction. A line
    // already there (the spool written twice) is left as it is.
    bool record(const BoardRecord &record, QString *error);
    // The last board done with this printed label, on any station; none when there is none.
    // False: the store could not be read.
    bool earlierBoard(const QString &label, std::optional<EarlierBoard> *found, QString *error)
    {
        return EarlierBoard::find(*connections, label, found, error);
    }

    // The numbers board `board` of run `run` got, by pool name: what its reflash keeps.
    std::optional<QMap<QString, SerialValue>> numbersOf(qint64 run, int board, QString *error);

    // Opens the calling thread's connection ahead of its first call; false: the store is out of
    // reach. Closes it (a slot's thread before it ends).
    bool openThread(QString *error);
    void closeThread();
    const StoreUrl &address() const;

private:
    std::unique_ptr<StoreConnections> connections;
};
