#include "records/boardbytes.h"

#include "records/imagearchive.h"
#include "records/numberpools.h"
#include "records/transaction.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QVariant>

namespace
{
// A section's fields made to patch one number alone: that number is the start.
QMap<QString, QString> onlyNumber(const QJsonObject &object, const QString &number)
{
    QMap<QString, QString> given;
    for (auto it = object.begin(); it != object.end(); ++it)
        given.insert(it.key(), it.value().toString());
    given.remove("list");
    given.remove("step");
    given.remove("end");
    given.insert("start", number);
    return given;
}
} // namespace

std::optional<QByteArray> BoardBytes::rebuild(Transaction &transaction, const QString &number,
                                              QString *error)
{
    QSqlQuery query = transaction.query();
    // A number given back went on to the next board, and one used or voided to none: the last
    // board that had it holds it.
    query.prepare("SELECT b.run, b.board, b.received_sha256, r.image_sha256, r.serial_fields, "
                  "r.pool_fields, n.number FROM boards b JOIN runs r ON r.id = b.run LEFT JOIN "
                  "numbers n ON n.pool = b.pool AND n.idx = b.idx WHERE b.serial = :serial OR "
                  "EXISTS (SELECT 1 FROM board_numbers bn WHERE bn.run = b.run AND bn.board = "
                  "b.board AND bn.number = :any) ORDER BY b.time DESC, b.id DESC");
    query.bindValue(":serial", number);
    query.bindValue(":any", number);
    if (!transaction.exec(query, "read a number's boards", error))
        return std::nullopt;
    if (!query.next()) {
        *error = QString("the store has never heard of %1").arg(number);
        return std::nullopt;
    }
    const qint64 run = query.value(0).toLongLong();
    const int boardNumber = query.value(1).toInt();
    const QString board = QString("board %1 of run %2 (%3)").arg(boardNumber).arg(run).arg(number);
    const QString received = query.value(2).toString();
    const QString image = query.value(3).toString();
    const QJsonObject serialFields =
        QJsonDocument::fromJson(query.value(4).toString().toUtf8()).object();
    const QJsonObject poolFields =
        QJsonDocument::fromJson(query.value(5).toString().toUtf8()).object();
    // By pool name; a board recorded before pools had names holds [serial]'s alone.
    QMap<QString, QString> numbers;
    if (!query.value(6).isNull())
        numbers.insert(SerialScheme::SerialPool, query.value(6).toString());
    query.prepare("SELECT bn.name, n.number FROM board_numbers bn JOIN numbers n ON n.pool = "
                  "bn.pool AND n.idx = bn.idx WHERE bn.run = :run AND bn.board = :board");
    query.bindValue(":run", run);
    query.bindValue(":board", boardNumber);
    if (!transaction.exec(query, "read a board's numbers", error))
        return std::nullopt;
    bool missing = false; // a number whose value the store did not keep
    while (query.next()) {
        missing = missing || query.value(1).isNull();
        numbers.insert(query.value(0).toString(), query.value(1).toString());
    }
    query.finish();
    if (received.isEmpty() || numbers.isEmpty() || missing) {
        *error =
            QString("the store did not record how %1 was numbered or what it received").arg(board);
        return std::nullopt;
    }
    const std::optional<ImageArchive::Entry> base = ImageArchive::kept(transaction, image, error);
    if (!base || !transaction.commit(error))
        return std::nullopt;
    std::optional<SerialScheme> serial;
    QVector<SerialScheme> named;
    QMap<QString, SerialValue> values;
    for (auto it = numbers.cbegin(); it != numbers.cend(); ++it) {
        const bool own = it.key() == SerialScheme::SerialPool;
        const QJsonObject fields = own ? serialFields : poolFields[it.key()].toObject();
        QString why;
        const std::optional<SerialScheme> scheme =
            fields.isEmpty() ? std::nullopt
                             : SerialScheme::fromFields(onlyNumber(fields, it.value()), QString(),
                                                        &why, it.key());
        if (!scheme) {
            *error = QString("the %1 section kept for %2 is unusable%3")
                         .arg(it.key(), board, why.isEmpty() ? QString() : ": " + why);
            return std::nullopt;
        }
        if (own)
            serial = scheme;
        else
            named << *scheme;
        values.insert(it.key(), scheme->valueAt(0));
    }
    const QByteArray bytes = NumberPools(serial, named).patched(base->bytes, values);
    const QString rebuilt =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    if (rebuilt != received) {
        *error = QString("the rebuilt bytes of %1 have the SHA-256 %2, not the %3 it received")
                     .arg(board, rebuilt, received);
        return std::nullopt;
    }
    return bytes;
}
