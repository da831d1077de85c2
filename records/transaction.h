#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

class QMutex;
class StoreConnections;

// One transaction on the calling thread's connection, from begin() to commit(). A writing one
// takes SQLite's in-process writer lock before it begins; leaving without a commit (any early
// return) rolls back, closes the connection, which a server that went away leaves unusable, and
// lets the lock go. A reading one sees one state of the store across its queries.
class Transaction
{
public:
    enum class Kind { Write, Read };

    explicit Transaction(StoreConnections &connections, Kind kind = Kind::Write);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool begin(QString *error);
    bool commit(QString *error);

    // A query on the transaction's connection.
    QSqlQuery query() const { return QSqlQuery(db); }
    // `statement` prepared on the transaction's connection; on a server, prepared once and
    // reused. Each text is one query: a caller reads its rows before it runs the same text again.
    QSqlQuery prepare(const QString &statement);
    // Runs a prepared query, or `statement`; a failure is worded as failing to `what`.
    bool exec(QSqlQuery &query, const QString &what, QString *error);
    bool exec(QSqlQuery &query, const QString &statement, const QString &what, QString *error);
    // Words a failure that is no query's; always false.
    bool fail(const QString &what, const QString &detail, QString *error);

private:
    // Rolls back what is open and lets the lock go.
    void end();

    StoreConnections &connections;
    const Kind kind;
    QSqlDatabase db;
    QMutex *locked = nullptr;
    bool open = false;
};
