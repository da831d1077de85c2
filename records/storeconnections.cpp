#include "records/storeconnections.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <optional>

namespace
{
// SQLite waits this long for another writer instead of failing at once.
constexpr int BusyTimeoutMs = 10000;
// A server that does not answer is given up on in this time, not libpq's forever.
constexpr int ConnectTimeoutSeconds = 5;
} // namespace

StoreConnections::StoreConnections(const StoreUrl &url, Access access) : url(url), access(access) {}

StoreConnections::~StoreConnections()
{
    statements.clear(); // before their connections go
    for (const QString &name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
}

QString StoreConnections::name() const
{
    return QString("lumedra-store-%1-%2")
        .arg(quintptr(this), 0, 16)
        .arg(quintptr(QThread::currentThread()), 0, 16);
}

QMutex *StoreConnections::writer()
{
    return postgres() ? nullptr : &writerMutex;
}

QString StoreConnections::failure(const QString &what, const QString &detail) const
{
    return QString("the record store %1 failed to %2: %3")
        .arg(url.display(), what, detail.trimmed());
}

QString StoreConnections::database() const
{
    return postgres() ? url.database : url.path;
}

QSqlDatabase StoreConnections::thread(QString *error)
{
    const QString connection = name();
    QSqlDatabase db;
    if (QSqlDatabase::contains(connection)) {
        db = QSqlDatabase::database(connection, false);
    } else {
        {
            QMutexLocker lock(&mutex);
            names.insert(connection);
        }
        db = QSqlDatabase::addDatabase(postgres() ? "QPSQL" : "QSQLITE", connection);
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
            QString options = QString("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs);
            if (access == Access::Read)
                options += ";QSQLITE_OPEN_READONLY";
            db.setConnectOptions(options);
        }
    }
    if (db.isOpen())
        return db;
    if (!prepare(db, error))
        return QSqlDatabase();
    // Opening SQLite for writing sets its journal mode, which takes the file's lock like a write.
    std::optional<QMutexLocker> opening;
    if (!postgres() && access == Access::Write)
        opening.emplace(&writerMutex);
    if (!db.open()) {
        *error = QString("cannot reach the record store %1: %2")
                     .arg(url.display(), db.lastError().text().trimmed());
        return QSqlDatabase();
    }
    QSqlQuery setup(db);
    if (postgres()) {
        // "already exists, skipping" and the like are no news to the user.
        setup.exec("SET client_min_messages = warning");
        if (access == Access::Read)
            setup.exec("SET default_transaction_read_only = on");
    } else if (access == Access::Write) {
        // WAL lets readers (a report) go on beside the writers; FULL makes each commit durable.
        setup.exec("PRAGMA journal_mode=WAL");
        setup.exec("PRAGMA synchronous=FULL");
        setup.exec("PRAGMA foreign_keys=ON");
    }
    return db;
}

bool StoreConnections::prepare(QSqlDatabase &db, QString *error)
{
    if (!db.isValid()) {
        *error =
            QString("the Qt driver for %1 is not installed")
                .arg(postgres() ? "PostgreSQL (libqt5sql5-psql)" : "SQLite (libqt5sql5-sqlite)");
        return false;
    }
    if (postgres())
        return true;
    // A reader creates nothing: SQLite would make an empty file, and a typo would read as a store
    // without boards.
    if (access == Access::Read && !QFileInfo::exists(url.path)) {
        *error = QString("no such store: %1").arg(url.path);
        return false;
    }
    if (access == Access::Write && !QDir().mkpath(QFileInfo(url.path).absolutePath())) {
        *error = QString("cannot create the folder of %1").arg(url.path);
        return false;
    }
    return true;
}

QSqlQuery StoreConnections::prepared(const QSqlDatabase &db, const QString &statement)
{
    const QString connection = db.connectionName();
    if (postgres()) {
        QMutexLocker lock(&mutex);
        const auto mine = statements.constFind(connection);
        if (mine != statements.cend()) {
            const auto kept = mine->constFind(statement);
            if (kept != mine->cend())
                return *kept;
        }
    }
    QSqlQuery query(db);
    // One that fails is not kept: running it reports why.
    if (query.prepare(statement) && postgres()) {
        QMutexLocker lock(&mutex);
        statements[connection].insert(statement, query);
    }
    return query;
}

void StoreConnections::forgetStatements()
{
    QHash<QString, QSqlQuery> mine;
    {
        QMutexLocker lock(&mutex);
        mine = statements.take(name());
    }
    // Released here, on their own thread and connection.
}

void StoreConnections::closeThread()
{
    forgetStatements();
    const QString connection = name();
    {
        QMutexLocker lock(&mutex);
        if (!names.remove(connection))
            return;
    }
    QSqlDatabase::removeDatabase(connection);
}
