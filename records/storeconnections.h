#pragma once

#include "records/storeurl.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSqlQuery>
#include <QString>

class QSqlDatabase;

// The connections to one store, one a thread: a QSqlDatabase belongs to the thread that opened it.
// Each is named once, opened on its thread's first call and removed with this object. A connection
// that failed is closed by its user and opened again on its thread's next call.
class StoreConnections
{
public:
    // Write: a missing SQLite file and its folder are created. Read: nothing is created, SQLite is
    // opened read-only and a PostgreSQL session refuses to write.
    enum class Access { Write, Read };

    StoreConnections(const StoreUrl &url, Access access);
    ~StoreConnections();
    StoreConnections(const StoreConnections &) = delete;
    StoreConnections &operator=(const StoreConnections &) = delete;

    // The calling thread's connection, opened if need be; invalid when the store is out of reach.
    QSqlDatabase thread(QString *error);
    void closeThread();
    // `statement` prepared on `db`, the calling thread's connection. On PostgreSQL it is prepared
    // once and kept: each prepare and its release would otherwise cost two more round trips to the
    // server, and a reservation holds its pool's row across them. Kept until the connection closes.
    QSqlQuery prepared(const QSqlDatabase &db, const QString &statement);
    // Drops what was kept for the calling thread's connection, before it closes.
    void forgetStatements();
    // SQLite's own wait for a busy database sleeps in growing steps of up to 100 ms: the writers
    // of one process queue here instead, and only other processes meet the busy timeout. Null on
    // PostgreSQL, whose rows lock on the server.
    QMutex *writer();
    // "the record store URL failed to WHAT: DETAIL"
    QString failure(const QString &what, const QString &detail) const;
    // The database's own name: the SQLite file, or the PostgreSQL database.
    QString database() const;
    bool postgres() const { return url.kind == StoreUrl::Kind::Postgres; }
    const StoreUrl &address() const { return url; }

private:
    QString name() const;
    bool prepare(QSqlDatabase &db, QString *error);

    const StoreUrl url;
    const Access access;
    QMutex mutex;
    QMutex writerMutex;
    QSet<QString> names; // the connections opened, one a thread
    QHash<QString, QHash<QString, QSqlQuery>> statements; // by connection, then by text
};
