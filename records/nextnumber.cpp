#include "records/nextnumber.h"

#include "records/transaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

std::optional<NextNumber> NextNumber::read(Transaction &transaction, qint64 pool,
                                           qint64 capacity, bool lock, QString *detail)
{
    // The pool's row is the lock every allocation of this pool queues on.
    QSqlQuery query = transaction.prepare(
        QString("SELECT next_index FROM pools WHERE id = :pool%1").arg(lock ? " FOR UPDATE" : ""));
    query.bindValue(":pool", pool);
    if (!query.exec() || !query.next()) {
        *detail = query.isActive() ? QString("no pool %1").arg(pool) : query.lastError().text();
        return std::nullopt;
    }
    const qint64 fresh = query.value(0).toLongLong();
    query.finish();
    query = transaction.prepare("SELECT idx FROM numbers WHERE pool = :pool AND state = "
                                "'returned' ORDER BY idx LIMIT 1");
    query.bindValue(":pool", pool);
    if (!query.exec()) {
        *detail = query.lastError().text();
        return std::nullopt;
    }
    if (query.next())
        return NextNumber{query.value(0).toLongLong(), true};
    return NextNumber{fresh < capacity ? fresh : -1, false};
}
