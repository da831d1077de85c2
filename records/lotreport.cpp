#include "records/lotreport.h"

#include "records/report.h"
#include "records/storeconnections.h"
#include "records/transaction.h"

#include <QSqlQuery>
#include <QVariant>

namespace
{
// ISO 8601 UTC text sorts as its time does; "" and "~" lie before and after every time.
QString bound(const QDateTime &time, const char *open)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString(open);
}

QDateTime timeOf(const QVariant &value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    if (time.isValid())
        time.setTimeSpec(Qt::UTC);
    return time;
}

// The boards every query counts: a lot's (or every lot's) in the range, none a stop ended.
// COALESCE keeps the boards of runs without a lot together under "".
QString boards(const std::optional<QString> &lot)
{
    return QStringLiteral("FROM boards b JOIN runs r ON r.id = b.run WHERE b.result <> 'stopped' "
                          "AND b.time >= :from AND b.time < :to") +
           (lot ? QStringLiteral(" AND r.lot = :lot") : QString());
}

void bind(QSqlQuery &query, const std::optional<QString> &lot, const QDateTime &from,
          const QDateTime &to)
{
    query.bindValue(":from", bound(from, ""));
    query.bindValue(":to", bound(to, "~"));
    if (lot)
        query.bindValue(":lot", *lot);
}
} // namespace

LotReport::LotReport(const StoreUrl &url)
    : connections(std::make_unique<StoreConnections>(url, StoreConnections::Access::Read))
{
}

LotReport::~LotReport() = default;

void LotReport::closeThread()
{
    connections->closeThread();
}

std::optional<QVector<LotReport::Lot>> LotReport::lots(const QDateTime &from, const QDateTime &to,
                                                       QString *error)
{
    return read(std::nullopt, from, to, error);
}

std::optional<QVector<LotReport::Lot>> LotReport::lot(const QString &name, const QDateTime &from,
                                                      const QDateTime &to, QString *error)
{
    return read(name, from, to, error);
}

std::optional<QVector<LotReport::Lot>> LotReport::read(const std::optional<QString> &lot,
                                                       const QDateTime &from, const QDateTime &to,
                                                       QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!Report::beginReading(transaction, *connections, error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    query.prepare("SELECT COALESCE(r.lot, ''), COUNT(*), "
                  "SUM(CASE WHEN b.result = 'done' THEN 1 ELSE 0 END), "
                  "SUM(CASE WHEN b.result = 'done' AND b.attempts <= 1 THEN 1 ELSE 0 END), "
                  "MIN(b.time), MAX(b.time) " +
                  boards(lot) + " GROUP BY COALESCE(r.lot, '') ORDER BY MIN(b.time)");
    bind(query, lot, from, to);
    if (!transaction.exec(query, "count its boards by lot", error))
        return std::nullopt;
    QVector<Lot> lots;
    QHash<QString, int> at;
    while (query.next()) {
        Lot each;
        each.lot = query.value(0).toString();
        each.boards = query.value(1).toLongLong();
        each.done = query.value(2).toLongLong();
        each.failed = each.boards - each.done;
        each.firstPass = query.value(3).toLongLong();
        each.yield = each.boards > 0 ? double(each.done) / each.boards : 0;
        each.firstPassYield = each.boards > 0 ? double(each.firstPass) / each.boards : 0;
        each.first = timeOf(query.value(4));
        each.last = timeOf(query.value(5));
        at.insert(each.lot, int(lots.size()));
        lots << each;
    }
    query.prepare("SELECT COALESCE(r.lot, ''), r.operator, MIN(b.time) " + boards(lot) +
                  " AND r.operator IS NOT NULL GROUP BY COALESCE(r.lot, ''), r.operator ORDER "
                  "BY MIN(b.time)");
    bind(query, lot, from, to);
    if (!transaction.exec(query, "read its lots' operators", error))
        return std::nullopt;
    while (query.next())
        lots[at.value(query.value(0).toString())].operators << query.value(1).toString();
    query.prepare("SELECT COALESCE(r.lot, ''), b.serial, b.pool, b.idx " + boards(lot) +
                  " AND b.serial_fate = 'used' ORDER BY b.pool, b.idx, b.time");
    bind(query, lot, from, to);
    if (!transaction.exec(query, "read its lots' serial numbers", error))
        return std::nullopt;
    while (query.next())
        lots[at.value(query.value(0).toString())].serials
            << Used{query.value(1).toString(), query.value(2).toLongLong(),
                    query.value(3).isNull() ? -1 : query.value(3).toLongLong()};
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    return lots;
}

QStringList LotReport::ranges(const QVector<Used> &used)
{
    QStringList said;
    for (int i = 0; i < used.size();) {
        int end = i;
        while (end + 1 < used.size() && used[end].index >= 0 &&
               used[end + 1].pool == used[i].pool && used[end + 1].index == used[end].index + 1)
            ++end;
        said << (end > i ? used[i].serial + ".." + used[end].serial : used[i].serial);
        i = end + 1;
    }
    return said;
}
