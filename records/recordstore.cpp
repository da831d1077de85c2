#include "records/recordstore.h"

#include "records/imagearchive.h"
#include "records/nextnumber.h"
#include "records/numberledger.h"
#include "records/runprocess.h"
#include "records/storeconnections.h"
#include "records/storeschema.h"
#include "records/transaction.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

namespace
{
// Held while the schema is created or upgraded, so that two stations starting together agree.
constexpr int SchemaLockKey = 0x4C4D4452;

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QVariant orNull(const QString &text)
{
    return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text);
}

} // namespace

RecordStore::RecordStore(const StoreUrl &url)
    : connections(std::make_unique<StoreConnections>(url, StoreConnections::Access::Write))
{
}

RecordStore::~RecordStore() = default;

const StoreUrl &RecordStore::address() const
{
    return connections->address();
}

bool RecordStore::openThread(QString *error)
{
    return connections->thread(error).isValid();
}

void RecordStore::closeThread()
{
    connections->closeThread();
}

bool RecordStore::open(QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.query();
    if (connections->postgres() &&
        !transaction.exec(query, QString("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLockKey),
                          "lock the schema", error))
        return false;
    if (!transaction.exec(query,
                          "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT "
                          "NULL)",
                          "create its schema", error) ||
        !transaction.exec(query, "SELECT value FROM meta WHERE key = 'schema'", "read its schema",
                          error))
        return false;
    const int version = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    if (version > SchemaVersion)
        return transaction.fail("open",
                                QString("its schema is version %1, newer than this program's %2")
                                    .arg(version)
                                    .arg(SchemaVersion),
                                error);
    if (version < SchemaVersion &&
        !StoreSchema::upgrade(transaction, version, connections->postgres(), error))
        return false;
    return transaction.commit(error);
}

std::optional<qint64> RecordStore::startRun(const Run &run, QVector<Voided> *voided, QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return std::nullopt;
    const QString time = now();
    QSqlQuery query = transaction.query();
    query.prepare("INSERT INTO runs (station, host, pid, version, job, image_sha256, spool, "
                  "serial_fields, pool_fields, started, operator, lot) VALUES (:station, :host, "
                  ":pid, :version, :job, :sha, :spool, :fields, :pools, :now, :operator, :lot) "
                  "RETURNING id");
    query.bindValue(":station", run.station);
    query.bindValue(":host", run.host);
    query.bindValue(":pid", run.pid);
    query.bindValue(":version", run.version);
    query.bindValue(":job", run.job);
    query.bindValue(":sha", run.imageSha256);
    query.bindValue(":spool", orNull(run.notesWentOut ? run.spool : QString()));
    query.bindValue(":fields", orNull(run.serialFields));
    query.bindValue(":pools", orNull(run.poolFields));
    query.bindValue(":now", time);
    query.bindValue(":operator", orNull(run.operatorName));
    query.bindValue(":lot", orNull(run.lot));
    if (!transaction.exec(query, "start a run", error))
        return std::nullopt;
    if (!query.next()) {
        transaction.fail("start a run", "no run id came back", error);
        return std::nullopt;
    }
    const qint64 id = query.value(0).toLongLong();
    if (!run.image.bytes.isEmpty() && !ImageArchive::keep(transaction, run.image, error))
        return std::nullopt;

    // A run is gone when its process on this host has ended, or when its station, which runs
    // once, starts again elsewhere.
    struct Gone {
        qint64 id;
        bool replayed; // its spool is ours, and start() has just written it into the store
    };
    QVector<Gone> gone;
    query.prepare("SELECT id, station, host, pid, spool FROM runs WHERE stopped IS NULL AND id "
                  "<> :id");
    query.bindValue(":id", id);
    if (!transaction.exec(query, "read its runs", error))
        return std::nullopt;
    while (query.next()) {
        const bool here = query.value(2).toString() == run.host;
        if ((here && !RunProcess::alive(query.value(3).toLongLong())) ||
            (!here && query.value(1).toString() == run.station))
            gone << Gone{query.value(0).toLongLong(),
                         here && !run.spool.isEmpty() && query.value(4).toString() == run.spool};
    }
    for (const Gone &held : qAsConst(gone)) {
        struct Number {
            qint64 pool, index;
            QString serial;
            bool out;
        };
        QVector<Number> numbers;
        query.prepare("SELECT pool, idx, serial, went_out FROM numbers WHERE run = :run AND "
                      "state = 'reserved' ORDER BY pool, idx");
        query.bindValue(":run", held.id);
        if (!transaction.exec(query, "read a gone run's numbers", error))
            return std::nullopt;
        while (query.next())
            numbers << Number{query.value(0).toLongLong(), query.value(1).toLongLong(),
                              query.value(2).toString(), !query.value(3).isNull()};
        for (const Number &number : qAsConst(numbers)) {
            // Without the gone run's spool, a note that the number went out may be missing.
            const bool back = held.replayed && !number.out;
            query.prepare("UPDATE numbers SET state = :state WHERE pool = :pool AND idx = :idx");
            query.bindValue(":state", back ? "returned" : "void");
            query.bindValue(":pool", number.pool);
            query.bindValue(":idx", number.index);
            if (!transaction.exec(query, "settle a gone run's numbers", error) ||
                !NumberLedger::note(transaction, number.pool, number.index,
                      back ? "returned_at_start" : "void_at_start", id, 0, time, error))
                return std::nullopt;
            if (!back)
                *voided << Voided{held.id, number.serial};
        }
        query.prepare("UPDATE runs SET stopped = :now, ended = 'gone' WHERE id = :run");
        query.bindValue(":now", time);
        query.bindValue(":run", held.id);
        if (!transaction.exec(query, "close a gone run", error))
            return std::nullopt;
    }
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    return id;
}

bool RecordStore::stopRun(qint64 run, QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return false;
    const QString time = now();
    QSqlQuery query = transaction.query();
    // A number still held has gone on no board: the next run takes it.
    query.prepare("INSERT INTO number_events (pool, idx, time, event, run) SELECT pool, idx, "
                  ":now, 'returned', :stopping FROM numbers WHERE run = :run AND state = "
                  "'reserved'");
    query.bindValue(":now", time);
    query.bindValue(":stopping", run);
    query.bindValue(":run", run);
    if (!transaction.exec(query, "note the run's numbers given back", error))
        return false;
    query.prepare("UPDATE numbers SET state = 'returned' WHERE run = :run AND state = 'reserved'");
    query.bindValue(":run", run);
    if (!transaction.exec(query, "give back the run's numbers", error))
        return false;
    query.prepare("UPDATE runs SET stopped = :now, ended = 'stopped' WHERE id = :run");
    query.bindValue(":now", time);
    query.bindValue(":run", run);
    if (!transaction.exec(query, "stop the run", error))
        return false;
    return transaction.commit(error);
}

std::optional<qint64> RecordStore::pool(const SerialScheme &scheme, QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    query.prepare("INSERT INTO pools (scheme, next_index) VALUES (:scheme, 0) ON CONFLICT "
                  "(scheme) DO NOTHING");
    query.bindValue(":scheme", scheme.key());
    if (!transaction.exec(query, "create the serial pool", error))
        return std::nullopt;
    query.prepare("SELECT id FROM pools WHERE scheme = :scheme");
    query.bindValue(":scheme", scheme.key());
    if (!transaction.exec(query, "find the serial pool", error))
        return std::nullopt;
    if (!query.next()) {
        transaction.fail("find the serial pool", "it is not there", error);
        return std::nullopt;
    }
    const qint64 id = query.value(0).toLongLong();
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    return id;
}

Reserved RecordStore::reserve(qint64 pool, const SerialScheme &scheme, qint64 run,
                              SerialValue *value, QString *error, Upcoming *after)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return Reserved::Unreachable;
    QString detail;
    const std::optional<NextNumber> next =
        NextNumber::read(transaction, pool, scheme.capacity(), connections->postgres(), &detail);
    if (!next) {
        transaction.fail("read the serial pool", detail, error);
        return Reserved::Unreachable;
    }
    if (next->index < 0) {
        transaction.fail("reserve a number", "the serial numbers have run out", error);
        return Reserved::Exhausted;
    }
    *value = scheme.valueAt(next->index);
    QSqlQuery query;
    if (next->returned) {
        query = transaction.prepare("UPDATE numbers SET state = 'reserved', run = :run, board = "
                                    "NULL, went_out = NULL WHERE pool = :pool AND idx = :idx");
    } else {
        query = transaction.prepare("INSERT INTO numbers (pool, idx, serial, number, state, run) "
                                    "VALUES (:pool, :idx, :serial, :number, 'reserved', :run)");
        query.bindValue(":serial", scheme.text(*value));
        query.bindValue(":number", QString::number(value->number));
    }
    query.bindValue(":run", run);
    query.bindValue(":pool", pool);
    query.bindValue(":idx", value->index);
    if (!transaction.exec(query, "reserve a number", error))
        return Reserved::Unreachable;
    if (!next->returned) {
        query = transaction.prepare("UPDATE pools SET next_index = :next WHERE id = :pool");
        query.bindValue(":next", value->index + 1);
        query.bindValue(":pool", pool);
        if (!transaction.exec(query, "advance the serial pool", error))
            return Reserved::Unreachable;
    }
    if (!NumberLedger::note(transaction, pool, value->index, "reserved", run, 0, now(), error))
        return Reserved::Unreachable;
    if (!transaction.commit(error))
        return Reserved::Unreachable;
    if (after)
        *after = next->after < 0 ? Upcoming{} : Upcoming{Reserved::Ok, scheme.valueAt(next->after)};
    return Reserved::Ok;
}

Reserved RecordStore::next(qint64 pool, const SerialScheme &scheme, SerialValue *value,
                           QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!transaction.begin(error))
        return Reserved::Unreachable;
    QString detail;
    const std::optional<NextNumber> next =
        NextNumber::read(transaction, pool, scheme.capacity(), false, &detail);
    if (!next) {
        transaction.fail("read the serial pool", detail, error);
        return Reserved::Unreachable;
    }
    if (!transaction.commit(error))
        return Reserved::Unreachable;
    if (next->index < 0)
        return Reserved::Exhausted;
    *value = scheme.valueAt(next->index);
    return Reserved::Ok;
}

bool RecordStore::giveBack(qint64 pool, qint64 index, qint64 run, QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.prepare("UPDATE numbers SET state = 'returned' WHERE pool = "
                                          ":pool AND idx = :idx AND run = :run AND state = "
                                          "'reserved'");
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    query.bindValue(":run", run);
    if (!transaction.exec(query, "give back a number", error))
        return false;
    if (query.numRowsAffected() > 0 &&
        !NumberLedger::note(transaction, pool, index, "returned", run, 0, now(), error))
        return false;
    return transaction.commit(error);
}

bool RecordStore::wentOut(qint64 pool, qint64 index, qint64 run, const QString &time,
                          QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.prepare("UPDATE numbers SET went_out = :time WHERE pool = :pool "
                                          "AND idx = :idx AND run = :run AND state = 'reserved' "
                                          "AND went_out IS NULL");
    query.bindValue(":time", time);
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    query.bindValue(":run", run);
    if (!transaction.exec(query, "note a number that went out", error))
        return false;
    if (query.numRowsAffected() > 0 &&
        !NumberLedger::note(transaction, pool, index, "went_out", run, 0, time, error))
        return false;
    return transaction.commit(error);
}

bool RecordStore::record(const BoardRecord &r, QString *error)
{
    Transaction transaction(*connections);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.prepare(
        "INSERT INTO boards (run, slot, board, vid, pid, usb_serial, location, serial, "
        "serial_fate, pool, idx, result, reason, attempts, seconds, time, received_sha256, label, "
        "reflash) VALUES (:run, :slot, :board, :vid, :pid, :usb, :location, :serial, :fate, "
        ":pool, :idx, :result, :reason, :attempts, :seconds, :time, :sha, :label, :reflash) ON "
        "CONFLICT (run, board) DO NOTHING");
    query.bindValue(":run", r.run);
    query.bindValue(":slot", r.slot);
    query.bindValue(":board", r.board);
    query.bindValue(":vid", orNull(r.vendorId));
    query.bindValue(":pid", orNull(r.productId));
    query.bindValue(":usb", orNull(r.usbSerial));
    query.bindValue(":location", orNull(r.location));
    query.bindValue(":serial", orNull(r.boardSerial));
    query.bindValue(":fate", orNull(BoardRecord::fateName(r.fate)));
    // A reflashed board's number is kept: its fate says so, and its result settles it no further.
    const bool numbered = r.fate != BoardRecord::Fate::None;
    query.bindValue(":pool", numbered ? QVariant(r.pool) : QVariant(QVariant::LongLong));
    query.bindValue(":idx", numbered ? QVariant(r.index) : QVariant(QVariant::LongLong));
    query.bindValue(":result", r.result);
    query.bindValue(":reason", r.reason);
    query.bindValue(":attempts", r.attempts);
    query.bindValue(":seconds", r.seconds);
    query.bindValue(":time", r.time);
    query.bindValue(":sha", orNull(r.receivedSha256));
    query.bindValue(":label", orNull(r.label));
    query.bindValue(":reflash", r.reflash ? 1 : 0);
    if (!transaction.exec(query, "record a board", error))
        return false;
    // [serial]'s number is the line's own; a named pool's is in its numbers alone.
    if (!NumberLedger::settle(transaction, r, numbered, now(), error))
        return false;
    return transaction.commit(error);
}

std::optional<QMap<QString, SerialValue>> RecordStore::numbersOf(qint64 run, int board,
                                                                QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!transaction.begin(error))
        return std::nullopt;
    std::optional<QMap<QString, SerialValue>> numbers =
        NumberLedger::numbersOf(transaction, run, board, error);
    if (!numbers || !transaction.commit(error))
        return std::nullopt;
    return numbers;
}
