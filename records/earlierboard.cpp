#include "records/earlierboard.h"

#include "records/numberledger.h"
#include "records/transaction.h"

#include <QVariant>

QString EarlierBoard::refusal(const QString &label) const
{
    return QString("label %1 was flashed as board %2 at %3 on station %4; remove it")
        .arg(label)
        .arg(board)
        .arg(time.toString("yyyy-MM-dd HH:mm:ss 'UTC'"), station);
}

bool EarlierBoard::find(StoreConnections &connections, const QString &label,
                        std::optional<EarlierBoard> *found, QString *error)
{
    Transaction transaction(connections, Transaction::Kind::Read);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.prepare(
        "SELECT b.run, b.board, b.time, r.station, b.serial, b.idx, n.number FROM boards b JOIN "
        "runs r ON r.id = b.run LEFT JOIN numbers n ON n.pool = b.pool AND n.idx = b.idx WHERE "
        "b.label = :label AND b.result = 'done' ORDER BY b.time DESC, b.id DESC LIMIT 1");
    query.bindValue(":label", label);
    if (!transaction.exec(query, "look up a board's label", error))
        return false;
    found->reset();
    if (query.next()) {
        EarlierBoard board{.run = query.value(0).toLongLong(),
                           .board = query.value(1).toInt(),
                           .time = QDateTime::fromString(query.value(2).toString(), Qt::ISODate),
                           .station = query.value(3).toString(),
                           .serial = query.value(4).toString(),
                           .numbers = {}};
        board.time.setTimeSpec(Qt::UTC);
        if (!query.value(5).isNull() && !query.value(6).isNull())
            board.numbers.insert("serial", SerialValue{query.value(5).toLongLong(),
                                                       query.value(6).toString().toULongLong()});
        *found = board;
    }
    query.finish();
    // Every pool's number, the MAC address's too: a reflash keeps them all.
    if (*found) {
        const std::optional<QMap<QString, SerialValue>> numbers =
            NumberLedger::numbersOf(transaction, (*found)->run, (*found)->board, error);
        if (!numbers)
            return false;
        for (auto it = numbers->cbegin(); it != numbers->cend(); ++it)
            (*found)->numbers.insert(it.key(), it.value());
    }
    return transaction.commit(error);
}
