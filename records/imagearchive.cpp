#include "records/imagearchive.h"

#include "records/transaction.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

bool ImageArchive::keep(Transaction &transaction, const Image &image, QString *error)
{
    QSqlQuery query = transaction.query();
    // Asked first, so that an image the store holds is not sent to it again.
    query.prepare("SELECT 1 FROM images WHERE sha256 = :sha");
    query.bindValue(":sha", QString::fromLatin1(image.sha256));
    if (!transaction.exec(query, "look for the run's image", error))
        return false;
    if (query.next())
        return true;
    query.prepare("INSERT INTO images (sha256, format, base, fill, size, bytes, kept) VALUES "
                  "(:sha, :format, :base, :fill, :size, :bytes, :kept) ON CONFLICT (sha256) DO "
                  "NOTHING");
    query.bindValue(":sha", QString::fromLatin1(image.sha256));
    query.bindValue(":format", ImageSpec::word(image.format));
    // Stored as its 64 bits: an address above 2^63 comes back as it went in.
    query.bindValue(":base", qint64(image.base));
    query.bindValue(":fill", int(image.fill));
    query.bindValue(":size", image.size());
    query.bindValue(":bytes",
                    tooBig(image.size()) ? QVariant(QVariant::ByteArray) : QVariant(image.bytes));
    query.bindValue(":kept", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    return transaction.exec(query, "keep the run's image", error);
}

std::optional<ImageArchive::Entry> ImageArchive::kept(Transaction &transaction,
                                                      const QString &sha256, QString *error)
{
    QSqlQuery query = transaction.query();
    query.prepare("SELECT format, base, fill, size, bytes FROM images WHERE sha256 = :sha");
    query.bindValue(":sha", sha256.toLower());
    if (!transaction.exec(query, "read a kept image", error))
        return std::nullopt;
    if (!query.next()) {
        *error = QString("the store holds no image %1").arg(sha256);
        return std::nullopt;
    }
    Entry entry{sha256.toLower(), query.value(0).toString(), quint64(query.value(1).toLongLong()),
                quint8(query.value(2).toInt()), query.value(4).toByteArray()};
    if (query.value(4).isNull()) {
        *error = QString("image %1 was not kept: at %2 bytes it is over the %3 MiB the store "
                         "keeps, and only its hash was recorded")
                     .arg(sha256)
                     .arg(query.value(3).toLongLong())
                     .arg(KeptLimit >> 20);
        return std::nullopt;
    }
    const QString found = QString::fromLatin1(
        QCryptographicHash::hash(entry.bytes, QCryptographicHash::Sha256).toHex());
    if (found != entry.sha256) {
        *error = QString("the bytes kept as image %1 have the SHA-256 %2").arg(sha256, found);
        return std::nullopt;
    }
    return entry;
}
