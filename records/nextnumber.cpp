#include "records/nextnumber.h"

#include "records/transaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

std::optional<NextNumber> NextNumber::read(Transaction &transaction, qint64 pool, qint64 capacity,
                                           bool lock, QString *detail)
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
    // The two lowest given back: the second is the next after the first.
    query = transaction.prepare("SELECT idx FROM numbers WHERE pool = :pool AND state = "
                                "'returned' ORDER BY idx LIMIT 2");
    query.bindValue(":pool", pool);
    if (!query.exec()) {
        *detail = query.lastError().text();
        return std::nullopt;
    }
    const auto left = [capacity](qint64 index) { return index < capacity ? index : -1; };
    if (!query.next())
        return NextNumber{left(fresh), false, left(fresh + 1)};
    const qint64 lowest = query.value(0).toLongLong();
    return NextNumber{lowest, true, query.next() ? query.value(0).toLongLong() : left(fresh)};
}
