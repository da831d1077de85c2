#include "records/storelook.h"

#include "records/nextnumber.h"
#include "records/storeconnections.h"
#include "records/storeschema.h"
#include "records/transaction.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

namespace
{
// Fills the pool's counts and next number from a store that has pools.
bool pool(Transaction &transaction, const SerialScheme &scheme, StoreLook *look, QString *error)
{
    QSqlQuery query = transaction.query();
    query.prepare("SELECT id FROM pools WHERE scheme = :scheme");
    query.bindValue(":scheme", scheme.key());
    if (!transaction.exec(query, "find the serial pool", error))
        return false;
    if (!query.next())
        return true; // the scheme's first run makes it
    const qint64 id = query.value(0).toLongLong();
    query.prepare("SELECT state, COUNT(*) FROM numbers WHERE pool = :pool GROUP BY state");
    query.bindValue(":pool", id);
    if (!transaction.exec(query, "count the serial numbers", error))
        return false;
    while (query.next()) {
        const QString state = query.value(0).toString();
        qint64 *count = state == "reserved" ? &look->reserved
                        : state == "used"   ? &look->used
                        : state == "void"   ? &look->voided
                                            : &look->returned;
        *count += query.value(1).toLongLong();
    }
    QString detail;
    const std::optional<NextNumber> next =
        NextNumber::read(transaction, id, scheme.capacity(), false, &detail);
    if (!next)
        return transaction.fail("read the serial pool", detail, error);
    look->exhausted = next->index < 0;
    look->next = look->exhausted ? QString() : scheme.text(scheme.valueAt(next->index));
    look->nextIndex = qMax<qint64>(next->index, 0);
    return true;
}
} // namespace

std::optional<StoreLook> StoreLook::of(const StoreUrl &url,
                                       const std::optional<SerialScheme> &scheme, QString *error,
                                       const QVector<SerialScheme> &pools)
{
    StoreLook look;
    if (scheme)
        look.next = scheme->text(scheme->valueAt(0));
    for (const SerialScheme &named : pools)
        look.named << Pool{named.name(), named.text(named.valueAt(0))};
    if (url.kind == StoreUrl::Kind::Sqlite && !QFileInfo::exists(url.path))
        return look;
    StoreConnections connections(url, StoreConnections::Access::Read);
    Transaction transaction(connections, Transaction::Kind::Read);
    if (!transaction.begin(error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    QString detail;
    const std::optional<int> version = StoreSchema::version(query, connections.postgres(), &detail);
    if (!version) {
        transaction.fail("read its schema", detail, error);
        return std::nullopt;
    }
    look.created = *version > 0;
    look.schemaVersion = *version;
    // Pools came with the second version; a newer one than this program's is read no further.
    if (scheme && *version >= 2 && *version <= StoreSchema::Version &&
        !pool(transaction, *scheme, &look, error))
        return std::nullopt;
    for (int i = 0; i < pools.size() && *version >= 2 && *version <= StoreSchema::Version; ++i) {
        StoreLook one;
        one.next = look.named[i].next;
        if (!pool(transaction, pools[i], &one, error))
            return std::nullopt;
        look.named[i] = Pool{pools[i].name(), one.next, one.nextIndex, one.exhausted};
    }
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    return look;
}
