#pragma once

#include "records/boardrecord.h"
#include "records/numberpools.h"
#include "records/recordspool.h"
#include "records/recordstore.h"
#include "records/reserved.h"
#include "records/serialscheme.h"

#include <QMutex>
#include <QString>

#include <chrono>
#include <optional>

// What a run's slots tell the record store, from their own threads: a number for each board, when
// it goes out, and each board's line with what became of its number. While the store is out of
// reach, lines, notes and given-back numbers go to the spool and reach the store, in order, once
// it answers again; a board that needs a new number waits for it.
class Recorder
{
public:
    // What a view shows of the store, kept up to date after each of the recorder's calls on the
    // store and read without touching it.
    struct Status {
        // Since when the store is out of reach; none while it answers.
        std::optional<std::chrono::steady_clock::time_point> lost;
        int spooled = 0; // entries waiting in the spool
        // The number the next board gets: the lowest given back, else the next never given out.
        // Empty without a scheme, before the store first answered, or when none is left.
        QString next;
        bool exhausted = false; // the scheme has no number left
    };

    // `named`: the job's [serial.NAME] pools, each reserved, used, given back and voided as
    // [serial]'s numbers are.
    Recorder(RecordStore *store, RecordSpool *spool, const std::optional<SerialScheme> &scheme,
             const QVector<SerialScheme> &named = {});

    // Writes what an earlier run left in the spool, then starts the run. False: the store is out
    // of reach or unusable, and nothing may start.
    bool start(const RecordStore::Run &run, QVector<RecordStore::Voided> *voided, QString *error);
    void stop();

    // Ok, NoScheme, Exhausted or Unreachable. Without a pool's name, [serial]'s.
    Reserved reserve(SerialValue *value, QString *error);
    Reserved reserve(const QString &pool, SerialValue *value, QString *error);
    // False only when neither the store nor the spool took it.
    bool giveBack(const SerialValue &value, QString *error);
    bool giveBack(const QString &pool, const SerialValue &value, QString *error);
    // The number is on its way to a board: called just before the header frame, when no byte of
    // the image has gone out yet. False only when neither the store nor the spool took it.
    bool wentOut(const SerialValue &value, QString *error);
    bool wentOut(const QString &pool, const SerialValue &value, QString *error);
    bool record(BoardRecord record, QString *error);
    // The last board done under this printed label, on any station. False: the store is out of
    // reach, and nothing can be said.
    bool earlierBoard(const QString &label, std::optional<EarlierBoard> *found, QString *error);
    // Writes the spool into the store and looks at the store again: called every few seconds,
    // from a thread of its own (which calls closeThread() before it ends), while the store is
    // lost or the spool holds entries. True when the store answers and the spool is empty.
    bool heal(QString *error);
    // The calling thread's connection to the store, opened before its first board: a server
    // answers a new connection in tens of milliseconds, and a station's slots all ask at once.
    // One that fails is tried again at the first call.
    void openThread();
    void closeThread();

    Status status() const;
    qint64 run() const { return runId; }
    qint64 pool() const { return poolId; }
    const std::optional<SerialScheme> &scheme() const { return serial; }
    // Every pool, [serial]'s first, and a pool's id in the store by its name.
    const NumberPools &pools() const { return numberPools; }
    qint64 poolOf(const QString &name) const { return poolIds.value(name); }

private:
    bool flush(QString *error);
    bool apply(const QJsonObject &entry, QString *error);
    // The entry into the store, or else into the spool.
    // `nextMoves`: the entry may change which number comes next.
    bool deliver(const QJsonObject &entry, QString *error, bool nextMoves = true);
    // After a call on the store: whether it answered, and, when it may have changed (a call that
    // takes or gives back one of [serial]'s numbers, or a store that is back), what the next
    // number is now. Noting that a number went out, that a board used it, or anything of another
    // pool leaves it as it was: reading it again for each would double the store's work a board.
    // `known`: the next number as the call itself read it (a reserve), which needs no read.
    void settle(bool reached, bool nextMoves = true,
                const std::optional<RecordStore::Upcoming> &known = {});

    RecordStore *const store;
    RecordSpool *const spool;
    const std::optional<SerialScheme> serial;
    const NumberPools numberPools;
    QMap<QString, qint64> poolIds;
    qint64 runId = 0;
    qint64 poolId = 0;
    mutable QMutex statusMutex;
    Status current;
};
