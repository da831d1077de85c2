#include "records/numberledger.h"

#include "records/serialscheme.h"
#include "records/transaction.h"

#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

bool NumberLedger::note(Transaction &transaction, qint64 pool, qint64 index, const QString &event,
                        qint64 run, int board, const QString &time, QString *error)
{
    QSqlQuery query = transaction.prepare("INSERT INTO number_events (pool, idx, time, event, run, "
                                          "board) VALUES (:pool, :idx, :time, :event, :run, "
                                          ":board)");
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    query.bindValue(":time", time);
    query.bindValue(":event", event);
    query.bindValue(":run", run);
    query.bindValue(":board", board > 0 ? QVariant(board) : QVariant(QVariant::Int));
    return transaction.exec(query, "note what became of a number", error);
}

bool NumberLedger::settle(Transaction &transaction, const BoardRecord &r, bool numbered,
                          const QString &time, QString *error)
{
    QVector<BoardRecord::Number> settled = r.numbers;
    if (numbered && std::none_of(settled.cbegin(), settled.cend(),
                                 [](const auto &n) { return n.name == SerialScheme::SerialPool; }))
        settled.prepend({SerialScheme::SerialPool, r.pool, r.index, r.boardSerial, r.fate});
    for (const BoardRecord::Number &number : qAsConst(settled)) {
        if (number.fate == BoardRecord::Fate::None)
            continue;
        QSqlQuery query = transaction.prepare(
            "INSERT INTO board_numbers (run, board, name, pool, idx, number, fate) VALUES (:run, "
            ":board, :name, :pool, :idx, :number, :fate) ON CONFLICT (run, board, name) DO "
            "NOTHING");
        query.bindValue(":run", r.run);
        query.bindValue(":board", r.board);
        query.bindValue(":name", number.name);
        query.bindValue(":pool", number.pool);
        query.bindValue(":idx", number.index);
        query.bindValue(":number", number.text);
        query.bindValue(":fate", BoardRecord::fateName(number.fate));
        if (!transaction.exec(query, "record a board's numbers", error))
            return false;
        // A reflash's earlier number stays as its first board left it.
        if (number.fate == BoardRecord::Fate::Kept)
            continue;
        // Only a number this run still holds changes: a void after a crash stays a void.
        query = transaction.prepare("UPDATE numbers SET state = :state, board = :board WHERE "
                                    "pool = :pool AND idx = :idx AND run = :run AND state = "
                                    "'reserved'");
        query.bindValue(":state", BoardRecord::fateName(number.fate));
        query.bindValue(":board", r.board);
        query.bindValue(":pool", number.pool);
        query.bindValue(":idx", number.index);
        query.bindValue(":run", r.run);
        if (!transaction.exec(query, "settle a board's number", error))
            return false;
        if (query.numRowsAffected() > 0 &&
            !note(transaction, number.pool, number.index, BoardRecord::fateName(number.fate), r.run,
                  r.board, time, error))
            return false;
    }
    return true;
}

std::optional<QMap<QString, SerialValue>> NumberLedger::numbersOf(Transaction &transaction,
                                                                 qint64 run, int board,
                                                                 QString *error)
{
    QSqlQuery query = transaction.query();
    query.prepare("SELECT bn.name, bn.idx, n.number FROM board_numbers bn JOIN numbers n ON "
                  "n.pool = bn.pool AND n.idx = bn.idx WHERE bn.run = :run AND bn.board = :board");
    query.bindValue(":run", run);
    query.bindValue(":board", board);
    if (!transaction.exec(query, "read a board's numbers", error))
        return std::nullopt;
    QMap<QString, SerialValue> numbers;
    while (query.next())
        numbers.insert(query.value(0).toString(),
                       {query.value(1).toLongLong(), query.value(2).toString().toULongLong()});
    return numbers;
}
