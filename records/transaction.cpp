#include "records/transaction.h"

#include "records/storeconnections.h"

#include <QMutex>
#include <QSqlError>

Transaction::Transaction(StoreConnections &connections, Kind kind)
    : connections(connections), kind(kind)
{
}

Transaction::~Transaction()
{
    end();
}

void Transaction::end()
{
    if (open) {
        QSqlQuery rollback(db);
        rollback.exec("ROLLBACK");
        rollback.finish();
        connections.forgetStatements();
        db.close();
        open = false;
    }
    if (locked)
        locked->unlock();
    locked = nullptr;
}

bool Transaction::begin(QString *error)
{
    db = connections.thread(error);
    if (!db.isValid())
        return false;
    if (kind == Kind::Write)
        locked = connections.writer();
    if (locked)
        locked->lock();
    open = true;
    QSqlQuery query(db);
    // IMMEDIATE takes SQLite's write lock at once: two writers queue on the busy timeout instead
    // of one failing when it upgrades a read lock.
    return exec(query, locked ? "BEGIN IMMEDIATE" : "BEGIN", "begin", error);
}

QSqlQuery Transaction::prepare(const QString &statement)
{
    return connections.prepared(db, statement);
}

bool Transaction::commit(QString *error)
{
    QSqlQuery query(db);
    if (!exec(query, "COMMIT", "commit", error))
        return false;
    open = false;
    end();
    return true;
}

bool Transaction::exec(QSqlQuery &query, const QString &what, QString *error)
{
    if (query.exec())
        return true;
    return fail(what, query.lastError().text(), error);
}

bool Transaction::exec(QSqlQuery &query, const QString &statement, const QString &what,
                       QString *error)
{
    if (query.exec(statement))
        return true;
    return fail(what, query.lastError().text(), error);
}

bool Transaction::fail(const QString &what, const QString &detail, QString *error)
{
    *error = connections.failure(what, detail);
    // At once, before the caller's queries let go of their statements in a transaction the
    // server has aborted.
    end();
    return false;
}
