#include "records/recorder.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMutexLocker>

namespace
{
QJsonObject object(const QMap<QString, QString> &fields)
{
    QJsonObject made;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        made.insert(it.key(), it.value());
    return made;
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

Recorder::Recorder(RecordStore *store, RecordSpool *spool,
                   const std::optional<SerialScheme> &scheme, const QVector<SerialScheme> &named)
    : store(store), spool(spool), serial(scheme), numberPools(scheme, named)
{
}

bool Recorder::start(const RecordStore::Run &run, QVector<RecordStore::Voided> *voided,
                     QString *error)
{
    const bool started = [&] {
        // The spool goes first: a gone run's numbers are settled by what it noted.
        if (!store->open(error) || !flush(error))
            return false;
        RecordStore::Run mine = run;
        mine.spool = spool->path();
        // Kept with the run: what rebuilds the bytes each of its boards received.
        QJsonObject named;
        for (const SerialScheme &scheme : numberPools.all()) {
            if (scheme.name() == SerialScheme::SerialPool)
                mine.serialFields = compact(object(scheme.fields()));
            else
                named.insert(scheme.name(), object(scheme.fields()));
        }
        if (!named.isEmpty())
            mine.poolFields = compact(named);
        const std::optional<qint64> id = store->startRun(mine, voided, error);
        if (!id)
            return false;
        runId = *id;
        for (const SerialScheme &scheme : numberPools.all()) {
            const std::optional<qint64> pool = store->pool(scheme, error);
            if (!pool)
                return false;
            poolIds.insert(scheme.name(), *pool);
        }
        poolId = poolIds.value(SerialScheme::SerialPool);
        return true;
    }();
    settle(started);
    return started;
}

void Recorder::stop()
{
    QString error;
    if (flush(&error))
        store->stopRun(runId, &error);
}

bool Recorder::apply(const QJsonObject &entry, QString *error)
{
    const QString op = entry["op"].toString();
    const qint64 pool = entry["pool"].toVariant().toLongLong();
    const qint64 index = entry["index"].toVariant().toLongLong();
    const qint64 run = entry["run"].toVariant().toLongLong();
    if (op == "giveback")
        return store->giveBack(pool, index, run, error);
    if (op == "wentout")
        return store->wentOut(pool, index, run, entry["time"].toString(), error);
    return store->record(BoardRecord::fromJson(entry["board"].toObject()), error);
}

bool Recorder::flush(QString *error)
{
    if (spool->empty())
        return true;
    spool->drain([this, error](const QJsonObject &entry) { return apply(entry, error); });
    return spool->empty();
}

bool Recorder::deliver(const QJsonObject &entry, QString *error, bool nextMoves)
{
    const bool reached = flush(error) && apply(entry, error);
    const bool kept = reached || spool->append(entry, error);
    settle(reached, nextMoves);
    return kept;
}

Reserved Recorder::reserve(SerialValue *value, QString *error)
{
    return reserve(SerialScheme::SerialPool, value, error);
}

Reserved Recorder::reserve(const QString &pool, SerialValue *value, QString *error)
{
    const SerialScheme *scheme = numberPools.find(pool);
    if (!scheme)
        return Reserved::NoScheme;
    // The spool goes first: a number given back while the store was away is the next one out.
    const bool serialPool = pool == SerialScheme::SerialPool;
    RecordStore::Upcoming after;
    const Reserved reserved =
        flush(error) ? store->reserve(poolIds.value(pool), *scheme, runId, value, error, &after)
                     : Reserved::Unreachable;
    std::optional<RecordStore::Upcoming> known;
    if (reserved == Reserved::Ok && serialPool)
        known = after;
    settle(reserved != Reserved::Unreachable, serialPool, known);
    return reserved;
}

bool Recorder::giveBack(const SerialValue &value, QString *error)
{
    return giveBack(SerialScheme::SerialPool, value, error);
}

bool Recorder::giveBack(const QString &pool, const SerialValue &value, QString *error)
{
    return deliver(
        {{"op", "giveback"}, {"pool", poolIds.value(pool)}, {"index", value.index}, {"run", runId}},
        error, pool == SerialScheme::SerialPool);
}

bool Recorder::wentOut(const SerialValue &value, QString *error)
{
    return wentOut(SerialScheme::SerialPool, value, error);
}

bool Recorder::wentOut(const QString &pool, const SerialValue &value, QString *error)
{
    const QJsonObject entry{{"op", "wentout"},
                            {"pool", poolIds.value(pool)},
                            {"index", value.index},
                            {"run", runId},
                            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
    // Told just before the header frame: with the store already lost, the spool takes it at once
    // rather than keep the loader waiting on a server that does not answer. A run's keeper
    // writes it into the store once the store is back.
    if (status().lost) {
        const bool kept = spool->append(entry, error);
        settle(false);
        return kept;
    }
    return deliver(entry, error, false);
}

bool Recorder::record(BoardRecord record, QString *error)
{
    record.run = runId;
    record.pool = poolId;
    // Only a number given back changes which one comes next.
    return deliver({{"op", "board"}, {"board", record.toJson()}}, error,
                   record.fate == BoardRecord::Fate::Returned);
}

bool Recorder::earlierBoard(const QString &label, std::optional<EarlierBoard> *found,
                            QString *error)
{
    // The spool first: a board done while the store was away is the store's before it is asked.
    const bool reached = flush(error) && store->earlierBoard(label, found, error);
    settle(reached, false);
    return reached;
}

bool Recorder::heal(QString *error)
{
    settle(flush(error));
    const Status now = status();
    return !now.lost && now.spooled == 0;
}

void Recorder::settle(bool reached, bool nextMoves,
                      const std::optional<RecordStore::Upcoming> &known)
{
    SerialValue value;
    Reserved next = Reserved::NoScheme;
    QString error;
    bool read = false;
    {
        QMutexLocker lock(&statusMutex);
        // A store that is back, or never read, may have moved on without this station.
        read = nextMoves || current.lost || (current.next.isEmpty() && !current.exhausted);
    }
    if (known) {
        next = known->state;
        value = known->value;
    } else if (reached && serial && read) {
        next = store->next(poolId, *serial, &value, &error);
    }
    const int spooled = spool->count();
    QMutexLocker lock(&statusMutex);
    if (next == Reserved::Unreachable || !reached) {
        if (!current.lost)
            current.lost = std::chrono::steady_clock::now();
    } else {
        current.lost.reset();
    }
    current.spooled = spooled;
    if (next == Reserved::Ok || next == Reserved::Exhausted) {
        current.next = next == Reserved::Ok ? serial->text(value) : QString();
        current.exhausted = next == Reserved::Exhausted;
    }
}

Recorder::Status Recorder::status() const
{
    QMutexLocker lock(&statusMutex);
    return current;
}

void Recorder::openThread()
{
    QString error;
    // Reading the next number on it also readies the server's side for the first reserve.
    settle(store->openThread(&error));
}

void Recorder::closeThread()
{
    store->closeThread();
}
