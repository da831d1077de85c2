#include "records/recordstore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <cerrno>

#include <signal.h>

namespace
{
// SQLite waits this long for another writer instead of failing at once.
constexpr int BusyTimeoutMs = 10000;
// A server that does not answer is given up on in this time, not libpq's forever.
constexpr int ConnectTimeoutSeconds = 5;
// Held while the schema is created or upgraded, so that two stations starting together agree.
constexpr int SchemaLockKey = 0x4C4D4452;

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Each step takes the schema from one version to the next; a new store runs them all.
QStringList steps(int to, bool postgres)
{
    const QString id = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
    if (to == 1)
        return {"CREATE TABLE runs (id " + id +
                    ", station TEXT NOT NULL, host TEXT NOT NULL, version TEXT, job TEXT, "
                    "image_sha256 TEXT, started TEXT NOT NULL, stopped TEXT)",
                "CREATE TABLE boards (id " + id +
                    ", run BIGINT NOT NULL REFERENCES runs(id), slot INTEGER, board INTEGER NOT "
                    "NULL, vid TEXT, pid TEXT, usb_serial TEXT, location TEXT, result TEXT NOT "
                    "NULL, reason TEXT, attempts INTEGER, seconds DOUBLE PRECISION, time TEXT NOT "
                    "NULL, UNIQUE (run, board))"};
    return {"ALTER TABLE runs ADD COLUMN pid BIGINT",
            "ALTER TABLE runs ADD COLUMN ended TEXT",
            "ALTER TABLE boards ADD COLUMN serial TEXT",
            "ALTER TABLE boards ADD COLUMN serial_fate TEXT",
            "ALTER TABLE boards ADD COLUMN received_sha256 TEXT",
            "CREATE INDEX boards_serial ON boards (serial)",
            "CREATE TABLE pools (id " + id + ", scheme TEXT NOT NULL UNIQUE, next_index BIGINT NOT NULL)",
            // state: reserved, returned, used or void; run and board: who holds, used or voided it.
            "CREATE TABLE numbers (pool BIGINT NOT NULL REFERENCES pools(id), idx BIGINT NOT NULL, "
            "serial TEXT NOT NULL, state TEXT NOT NULL, run BIGINT, board INTEGER, PRIMARY KEY "
            "(pool, idx))",
            "CREATE INDEX numbers_state ON numbers (pool, state, idx)"};
}

bool alive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}
} // namespace

RecordStore::RecordStore(const StoreUrl &url) : url(url) {}

RecordStore::~RecordStore()
{
    for (const QString &name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
}

QSqlDatabase RecordStore::connection(QString *error)
{
    const QString name = QString("lumedra-store-%1-%2")
                             .arg(quintptr(this), 0, 16)
                             .arg(quintptr(QThread::currentThread()), 0, 16);
    QSqlDatabase db;
    if (QSqlDatabase::contains(name)) {
        db = QSqlDatabase::database(name, false);
    } else {
        {
            QMutexLocker lock(&mutex);
            names.insert(name);
        }
        db = QSqlDatabase::addDatabase(postgres() ? "QPSQL" : "QSQLITE", name);
        if (postgres()) {
            db.setDatabaseName(url.database);
            if (!url.host.isEmpty())
                db.setHostName(url.host);
            if (url.port > 0)
                db.setPort(url.port);
            if (!url.user.isEmpty())
                db.setUserName(url.user);
            QString options = QString("connect_timeout=%1").arg(ConnectTimeoutSeconds);
            if (!url.options.isEmpty())
                options += ';' + url.options;
            db.setConnectOptions(options);
        } else {
            db.setDatabaseName(url.path);
            db.setConnectOptions(QString("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
        }
    }
    if (db.isOpen())
        return db;
    if (!db.isValid()) {
        *error = QString("the Qt driver for %1 is not installed")
                     .arg(postgres() ? "PostgreSQL (libqt5sql5-psql)" : "SQLite (libqt5sql5-sqlite)");
        return QSqlDatabase();
    }
    if (!postgres() && !QDir().mkpath(QFileInfo(url.path).absolutePath())) {
        *error = QString("cannot create the folder of %1").arg(url.path);
        return QSqlDatabase();
    }
    // Opening SQLite sets its journal mode, which takes the file's lock like a write.
    std::optional<QMutexLocker> opening;
    if (!postgres())
        opening.emplace(&writer);
    if (!db.open()) {
        *error = QString("cannot reach the record store %1: %2")
                     .arg(url.display(), db.lastError().text().trimmed());
        return QSqlDatabase();
    }
    if (postgres()) {
        // "already exists, skipping" and the like are no news to the user.
        QSqlQuery quiet(db);
        quiet.exec("SET client_min_messages = warning");
    } else {
        // WAL lets readers (a report) go on beside the writers; FULL makes each commit durable.
        QSqlQuery pragma(db);
        pragma.exec("PRAGMA journal_mode=WAL");
        pragma.exec("PRAGMA synchronous=FULL");
        pragma.exec("PRAGMA foreign_keys=ON");
    }
    return db;
}

void RecordStore::closeThread()
{
    const QString name = QString("lumedra-store-%1-%2")
                             .arg(quintptr(this), 0, 16)
                             .arg(quintptr(QThread::currentThread()), 0, 16);
    {
        QMutexLocker lock(&mutex);
        if (!names.remove(name))
            return;
    }
    QSqlDatabase::removeDatabase(name);
}

bool RecordStore::begin(QSqlDatabase &db, QString *error)
{
    if (!postgres())
        writer.lock();
    QSqlQuery query(db);
    // IMMEDIATE takes SQLite's write lock at once: two writers queue on the busy timeout
    // instead of one failing when it upgrades a read lock.
    if (query.exec(postgres() ? "BEGIN" : "BEGIN IMMEDIATE"))
        return true;
    return failed(db, "begin", query.lastError().text(), error);
}

bool RecordStore::commit(QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec("COMMIT"))
        return failed(db, "commit", query.lastError().text(), error);
    if (!postgres())
        writer.unlock();
    return true;
}

bool RecordStore::failed(QSqlDatabase &db, const QString &what, const QString &detail,
                         QString *error)
{
    *error = QString("the record store %1 failed to %2: %3")
                 .arg(url.display(), what, detail.trimmed());
    {
        QSqlQuery rollback(db);
        rollback.exec("ROLLBACK");
    }
    // A server that went away leaves a connection that never works again.
    db.close();
    if (!postgres())
        writer.unlock();
    return false;
}

bool RecordStore::open(QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid())
        return false;
    if (!begin(db, error))
        return false;
    QSqlQuery query(db);
    if (postgres() && !query.exec(QString("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLockKey)))
        return failed(db, "lock the schema", query.lastError().text(), error);
    if (!query.exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"))
        return failed(db, "create its schema", query.lastError().text(), error);
    if (!query.exec("SELECT value FROM meta WHERE key = 'schema'"))
        return failed(db, "read its schema", query.lastError().text(), error);
    const int version = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    if (version > SchemaVersion) {
        failed(db, "open", QString("its schema is version %1, newer than this program's %2")
                               .arg(version)
                               .arg(SchemaVersion),
               error);
        return false;
    }
    if (version < SchemaVersion && !upgrade(db, version, error))
        return false;
    return commit(db, error);
}

bool RecordStore::upgrade(QSqlDatabase &db, int from, QString *error)
{
    QSqlQuery query(db);
    for (int to = from + 1; to <= SchemaVersion; ++to)
        for (const QString &statement : steps(to, postgres()))
            if (!query.exec(statement))
                return failed(db, QString("upgrade its schema to version %1").arg(to),
                              query.lastError().text(), error);
    query.prepare(from == 0 ? "INSERT INTO meta (key, value) VALUES ('schema', :v)"
                            : "UPDATE meta SET value = :v WHERE key = 'schema'");
    query.bindValue(":v", QString::number(SchemaVersion));
    if (!query.exec())
        return failed(db, "record its schema version", query.lastError().text(), error);
    return true;
}

std::optional<qint64> RecordStore::startRun(const Run &run, QVector<Voided> *voided,
                                            QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return std::nullopt;
    QSqlQuery open(db);
    if (!open.exec("SELECT id, station, host, pid FROM runs WHERE stopped IS NULL"))
        return failed(db, "read its runs", open.lastError().text(), error), std::nullopt;
    // A run is gone when its process on this host has ended, or when its station, which runs
    // once, starts again elsewhere.
    QVector<qint64> gone;
    while (open.next()) {
        const QString station = open.value(1).toString();
        const QString host = open.value(2).toString();
        const bool here = host == run.host;
        if ((here && !alive(open.value(3).toLongLong())) || (!here && station == run.station))
            gone << open.value(0).toLongLong();
    }
    QSqlQuery query(db);
    for (const qint64 id : qAsConst(gone)) {
        query.prepare("UPDATE numbers SET state = 'void' WHERE run = :run AND state = "
                      "'reserved' RETURNING serial");
        query.bindValue(":run", id);
        if (!query.exec())
            return failed(db, "void a gone run's numbers", query.lastError().text(), error),
                   std::nullopt;
        while (query.next())
            *voided << Voided{id, query.value(0).toString()};
        query.prepare("UPDATE runs SET stopped = :now, ended = 'gone' WHERE id = :run");
        query.bindValue(":now", now());
        query.bindValue(":run", id);
        if (!query.exec())
            return failed(db, "close a gone run", query.lastError().text(), error), std::nullopt;
    }
    query.prepare("INSERT INTO runs (station, host, pid, version, job, image_sha256, started) "
                  "VALUES (:station, :host, :pid, :version, :job, :sha, :now) RETURNING id");
    query.bindValue(":station", run.station);
    query.bindValue(":host", run.host);
    query.bindValue(":pid", run.pid);
    query.bindValue(":version", run.version);
    query.bindValue(":job", run.job);
    query.bindValue(":sha", run.imageSha256);
    query.bindValue(":now", now());
    if (!query.exec() || !query.next())
        return failed(db, "start a run", query.lastError().text(), error), std::nullopt;
    const qint64 id = query.value(0).toLongLong();
    query.finish();
    if (!commit(db, error))
        return std::nullopt;
    return id;
}

bool RecordStore::stopRun(qint64 run, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return false;
    QSqlQuery query(db);
    // A number still held has gone on no board: the next run takes it.
    query.prepare("UPDATE numbers SET state = 'returned' WHERE run = :run AND state = 'reserved'");
    query.bindValue(":run", run);
    if (!query.exec())
        return failed(db, "give back the run's numbers", query.lastError().text(), error);
    query.prepare("UPDATE runs SET stopped = :now, ended = 'stopped' WHERE id = :run");
    query.bindValue(":now", now());
    query.bindValue(":run", run);
    if (!query.exec())
        return failed(db, "stop the run", query.lastError().text(), error);
    return commit(db, error);
}

std::optional<qint64> RecordStore::pool(const SerialScheme &scheme, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return std::nullopt;
    QSqlQuery query(db);
    query.prepare("INSERT INTO pools (scheme, next_index) VALUES (:scheme, 0) ON CONFLICT "
                  "(scheme) DO NOTHING");
    query.bindValue(":scheme", scheme.key());
    if (!query.exec())
        return failed(db, "create the serial pool", query.lastError().text(), error),
               std::nullopt;
    query.prepare("SELECT id FROM pools WHERE scheme = :scheme");
    query.bindValue(":scheme", scheme.key());
    if (!query.exec() || !query.next())
        return failed(db, "find the serial pool", query.lastError().text(), error), std::nullopt;
    const qint64 id = query.value(0).toLongLong();
    query.finish();
    if (!commit(db, error))
        return std::nullopt;
    return id;
}

RecordStore::Reserved RecordStore::reserve(qint64 pool, const SerialScheme &scheme, qint64 run,
                                           SerialValue *value, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return Reserved::Failed;
    QSqlQuery query(db);
    // The pool's row is the lock every allocation of this pool queues on.
    query.prepare(QString("SELECT next_index FROM pools WHERE id = :pool%1")
                      .arg(postgres() ? " FOR UPDATE" : ""));
    query.bindValue(":pool", pool);
    if (!query.exec() || !query.next())
        return failed(db, "read the serial pool", query.lastError().text(), error),
               Reserved::Failed;
    const qint64 next = query.value(0).toLongLong();
    query.finish();
    query.prepare("SELECT idx FROM numbers WHERE pool = :pool AND state = 'returned' ORDER BY "
                  "idx LIMIT 1");
    query.bindValue(":pool", pool);
    if (!query.exec())
        return failed(db, "read the returned numbers", query.lastError().text(), error),
               Reserved::Failed;
    if (query.next()) {
        *value = scheme.valueAt(query.value(0).toLongLong());
        query.finish();
        query.prepare("UPDATE numbers SET state = 'reserved', run = :run, board = NULL WHERE "
                      "pool = :pool AND idx = :idx");
        query.bindValue(":run", run);
        query.bindValue(":pool", pool);
        query.bindValue(":idx", value->index);
        if (!query.exec())
            return failed(db, "reserve a number", query.lastError().text(), error),
                   Reserved::Failed;
    } else {
        if (next >= scheme.capacity()) {
            failed(db, "reserve a number", "the serial numbers have run out", error);
            return Reserved::Exhausted;
        }
        *value = scheme.valueAt(next);
        query.prepare("INSERT INTO numbers (pool, idx, serial, state, run) VALUES (:pool, :idx, "
                      ":serial, 'reserved', :run)");
        query.bindValue(":pool", pool);
        query.bindValue(":idx", next);
        query.bindValue(":serial", scheme.text(*value));
        query.bindValue(":run", run);
        if (!query.exec())
            return failed(db, "reserve a number", query.lastError().text(), error),
                   Reserved::Failed;
        query.prepare("UPDATE pools SET next_index = :next WHERE id = :pool");
        query.bindValue(":next", next + 1);
        query.bindValue(":pool", pool);
        if (!query.exec())
            return failed(db, "advance the serial pool", query.lastError().text(), error),
                   Reserved::Failed;
    }
    return commit(db, error) ? Reserved::Ok : Reserved::Failed;
}

bool RecordStore::giveBack(qint64 pool, qint64 index, qint64 run, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return false;
    QSqlQuery query(db);
    query.prepare("UPDATE numbers SET state = 'returned' WHERE pool = :pool AND idx = :idx AND "
                  "run = :run AND state = 'reserved'");
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    query.bindValue(":run", run);
    if (!query.exec())
        return failed(db, "give back a number", query.lastError().text(), error);
    return commit(db, error);
}

bool RecordStore::record(const BoardRecord &r, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isValid() || !begin(db, error))
        return false;
    QSqlQuery query(db);
    query.prepare(
        "INSERT INTO boards (run, slot, board, vid, pid, usb_serial, location, serial, "
        "serial_fate, result, reason, attempts, seconds, time, received_sha256) VALUES (:run, "
        ":slot, :board, :vid, :pid, :usb, :location, :serial, :fate, :result, :reason, "
        ":attempts, :seconds, :time, :sha) ON CONFLICT (run, board) DO NOTHING");
    const auto text = [](const QString &value) {
        return value.isEmpty() ? QVariant(QVariant::String) : QVariant(value);
    };
    query.bindValue(":run", r.run);
    query.bindValue(":slot", r.slot);
    query.bindValue(":board", r.board);
    query.bindValue(":vid", text(r.vendorId));
    query.bindValue(":pid", text(r.productId));
    query.bindValue(":usb", text(r.usbSerial));
    query.bindValue(":location", text(r.location));
    query.bindValue(":serial", text(r.boardSerial));
    query.bindValue(":fate", text(BoardRecord::fateName(r.fate)));
    query.bindValue(":result", r.result);
    query.bindValue(":reason", r.reason);
    query.bindValue(":attempts", r.attempts);
    query.bindValue(":seconds", r.seconds);
    query.bindValue(":time", r.time);
    query.bindValue(":sha", text(r.receivedSha256));
    if (!query.exec())
        return failed(db, "record a board", query.lastError().text(), error);
    if (r.fate != BoardRecord::Fate::None) {
        // Only a number this run still holds changes: a void after a crash stays a void.
        query.prepare("UPDATE numbers SET state = :state, board = :board WHERE pool = :pool AND "
                      "idx = :idx AND run = :run AND state = 'reserved'");
        query.bindValue(":state", BoardRecord::fateName(r.fate));
        query.bindValue(":board", r.board);
        query.bindValue(":pool", r.pool);
        query.bindValue(":idx", r.index);
        query.bindValue(":run", r.run);
        if (!query.exec())
            return failed(db, "settle a board's number", query.lastError().text(), error);
    }
    return commit(db, error);
}
