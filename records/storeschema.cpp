#include "records/storeschema.h"

#include "records/transaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace
{
// Each step takes the schema from one version to the next; a new store runs them all.
QStringList steps(int to, bool postgres)
{
    const QString id = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
    switch (to) {
    case 1:
        return {"CREATE TABLE runs (id " + id +
                    ", station TEXT NOT NULL, host TEXT NOT NULL, version TEXT, job TEXT, "
                    "image_sha256 TEXT, started TEXT NOT NULL, stopped TEXT)",
                "CREATE TABLE boards (id " + id +
                    ", run BIGINT NOT NULL REFERENCES runs(id), slot INTEGER, board INTEGER NOT "
                    "NULL, vid TEXT, pid TEXT, usb_serial TEXT, location TEXT, result TEXT NOT "
                    "NULL, reason TEXT, attempts INTEGER, seconds DOUBLE PRECISION, time TEXT NOT "
                    "NULL, UNIQUE (run, board))"};
    case 2:
        return {"ALTER TABLE runs ADD COLUMN pid BIGINT", "ALTER TABLE runs ADD COLUMN ended TEXT",
                "ALTER TABLE boards ADD COLUMN serial TEXT",
                "ALTER TABLE boards ADD COLUMN serial_fate TEXT",
                "ALTER TABLE boards ADD COLUMN received_sha256 TEXT",
                "CREATE INDEX boards_serial ON boards (serial)",
                "CREATE TABLE pools (id " + id +
                    ", scheme TEXT NOT NULL UNIQUE, next_index BIGINT NOT NULL)",
                // state: reserved, returned, used or void; run and board: who holds, used or
                // voided it.
                "CREATE TABLE numbers (pool BIGINT NOT NULL REFERENCES pools(id), idx BIGINT NOT "
                "NULL, serial TEXT NOT NULL, state TEXT NOT NULL, run BIGINT, board INTEGER, "
                "PRIMARY KEY (pool, idx))",
                "CREATE INDEX numbers_state ON numbers (pool, state, idx)"};
    case 3:
        // went_out: when the holder first sent the number towards a board. spool: where a run that
        // notes its numbers going out keeps what the store missed, which its successor replays
        // before it looks at gone runs; NULL for a run that notes none. Each number's events
        // (reserved, went_out, used, void, returned, void_at_start, returned_at_start); those a
        // store held before this version are carried over without a time.
        return {
            "ALTER TABLE numbers ADD COLUMN went_out TEXT",
            "ALTER TABLE runs ADD COLUMN spool TEXT",
            "CREATE INDEX numbers_serial ON numbers (serial)",
            "CREATE TABLE number_events (id " + id +
                ", pool BIGINT NOT NULL, idx BIGINT NOT NULL, time TEXT, event TEXT NOT NULL, run "
                "BIGINT, board INTEGER, FOREIGN KEY (pool, idx) REFERENCES numbers (pool, idx))",
            "CREATE INDEX number_events_number ON number_events (pool, idx)",
            "INSERT INTO number_events (pool, idx, event, run, board) SELECT pool, idx, state, "
            "run, board FROM numbers"};
    case 4:
        break;
    case 5:
        // Every number a board got, by its pool's name ("serial" for [serial]), so that a board is
        // found by any of them; fate: used, void, returned or kept (a reflash's earlier number).
        // pool_fields: a run's [serial.NAME] sections, as serial_fields keeps [serial]. A board's
        // own printed label, and whether it was flashed again under a label done before. Who
        // flashed a run's boards and for which lot; the report looks a lot up.
        return {"CREATE TABLE board_numbers (run BIGINT NOT NULL, board INTEGER NOT NULL, name "
                "TEXT NOT NULL, pool BIGINT NOT NULL, idx BIGINT NOT NULL, number TEXT NOT NULL, "
                "fate TEXT NOT NULL, PRIMARY KEY (run, board, name))",
                "CREATE INDEX board_numbers_number ON board_numbers (number)",
                "ALTER TABLE runs ADD COLUMN pool_fields TEXT",
                "ALTER TABLE boards ADD COLUMN label TEXT",
                "ALTER TABLE boards ADD COLUMN reflash INTEGER NOT NULL DEFAULT 0",
                "CREATE INDEX boards_label ON boards (label)",
                "ALTER TABLE runs ADD COLUMN operator TEXT", "ALTER TABLE runs ADD COLUMN lot TEXT",
                "CREATE INDEX runs_lot ON runs (lot)"};
    default:
        break;
    }
    // Each run's base image, kept once under its SHA-256 with what it was made from; bytes
    // NULL: too big to keep, recorded by its hash alone. A run keeps its serial section, a
    // number the value that went into the image and a board its number's place, so that the
    // bytes a board received can be rebuilt.
    return {"CREATE TABLE images (sha256 TEXT PRIMARY KEY, format TEXT NOT NULL, base BIGINT "
            "NOT NULL, fill INTEGER NOT NULL, size BIGINT NOT NULL, bytes " +
                QString(postgres ? "BYTEA" : "BLOB") + ", kept TEXT NOT NULL)",
            "ALTER TABLE runs ADD COLUMN serial_fields TEXT",
            "ALTER TABLE numbers ADD COLUMN number TEXT",
            "ALTER TABLE boards ADD COLUMN pool BIGINT",
            "ALTER TABLE boards ADD COLUMN idx BIGINT"};
}
} // namespace

bool StoreSchema::upgrade(Transaction &transaction, int from, bool postgres, QString *error)
{
    QSqlQuery query = transaction.query();
    for (int to = from + 1; to <= Version; ++to)
        for (const QString &statement : steps(to, postgres))
            if (!transaction.exec(query, statement,
                                  QString("upgrade its schema to version %1").arg(to), error))
                return false;
    query.prepare(from == 0 ? "INSERT INTO meta (key, value) VALUES ('schema', :v)"
                            : "UPDATE meta SET value = :v WHERE key = 'schema'");
    query.bindValue(":v", QString::number(Version));
    return transaction.exec(query, "record its schema version", error);
}

std::optional<int> StoreSchema::version(QSqlQuery &query, bool postgres, QString *detail)
{
    if (!query.exec(postgres ? "SELECT 1 FROM pg_tables WHERE tablename = 'meta' AND schemaname "
                               "= current_schema()"
                             : "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
                               "'meta'")) {
        *detail = query.lastError().text();
        return std::nullopt;
    }
    if (!query.next())
        return 0;
    if (!query.exec("SELECT value FROM meta WHERE key = 'schema'")) {
        *detail = query.lastError().text();
        return std::nullopt;
    }
    return query.next() ? query.value(0).toInt() : 0;
}
