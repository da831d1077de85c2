#include "records/labelhistory.h"

#include "records/storeconnections.h"
#include "records/storeschema.h"
#include "records/transaction.h"

#include <QVariant>

namespace
{
constexpr int LabelsSince = 5; // the schema version that keeps boards' labels
}

LabelHistory::LabelHistory(const StoreUrl &url)
    : connections(std::make_unique<StoreConnections>(url, StoreConnections::Access::Read))
{
}

LabelHistory::~LabelHistory() = default;

void LabelHistory::closeThread()
{
    connections->closeThread();
}

std::optional<QVector<LabelHistory::Board>> LabelHistory::of(const QString &label, QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!transaction.begin(error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    QString detail;
    const std::optional<int> version =
        StoreSchema::version(query, connections->postgres(), &detail);
    if (!version) {
        transaction.fail("read its schema", detail, error);
        return std::nullopt;
    }
    QVector<Board> boards;
    // A store from before labels were kept has seen none.
    if (*version < LabelsSince)
        return transaction.commit(error) ? std::optional(boards) : std::nullopt;
    query.prepare("SELECT b.time, r.station, b.run, b.slot, b.board, b.attempts, b.result, "
                  "b.reason, b.serial, b.reflash FROM boards b JOIN runs r ON r.id = b.run WHERE "
                  "b.label = :label ORDER BY b.time, b.id");
    query.bindValue(":label", label);
    if (!transaction.exec(query, "read a label's boards", error))
        return std::nullopt;
    while (query.next()) {
        Board board{.time = QDateTime::fromString(query.value(0).toString(), Qt::ISODate),
                    .station = query.value(1).toString(),
                    .run = query.value(2).toLongLong(),
                    .slot = query.value(3).toInt(),
                    .board = query.value(4).toInt(),
                    .attempts = query.value(5).toInt(),
                    .result = query.value(6).toString(),
                    .reason = query.value(7).toString(),
                    .serial = query.value(8).toString(),
                    .reflash = query.value(9).toInt() != 0};
        board.time.setTimeSpec(Qt::UTC);
        boards << board;
    }
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    return boards;
}
