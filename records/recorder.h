#pragma once

#include "records/boardrecord.h"
#include "records/recordspool.h"
#include "records/recordstore.h"
#include "records/serialscheme.h"

#include <QString>

#include <optional>

// What a run's slots tell the record store, from their own threads: a number for each board, and
// each board's line with what became of its number. While the store is out of reach, lines and
// given-back numbers go to the spool and reach the store, in order, once it answers again; a board
// that needs a new number waits for it.
class Recorder
{
public:
    enum class Reserved { Ok, NoScheme, Exhausted, Unreachable };

    Recorder(RecordStore *store, RecordSpool *spool, const std::optional<SerialScheme> &scheme);

    // Writes what an earlier run left in the spool, then starts the run. False: the store is out
    // of reach or unusable, and nothing may start.
    bool start(const RecordStore::Run &run, QVector<RecordStore::Voided> *voided, QString *error);
    void stop();

    Reserved reserve(SerialValue *value, QString *error);
    // The number may reach a board from now on.
    bool wentOut(const SerialValue &value, QString *error);
    // False only when neither the store nor the spool took it.
    bool giveBack(const SerialValue &value, QString *error);
    bool record(BoardRecord record, QString *error);
    void closeThread();

    qint64 run() const { return runId; }
    qint64 pool() const { return poolId; }
    const std::optional<SerialScheme> &scheme() const { return serial; }

private:
    bool flush(QString *error);
    bool apply(const QJsonObject &entry, QString *error);

    RecordStore *const store;
    RecordSpool *const spool;
    const std::optional<SerialScheme> serial;
    qint64 runId = 0;
    qint64 poolId = 0;
};
