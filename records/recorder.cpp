#include "records/recorder.h"

Recorder::Recorder(RecordStore *store, RecordSpool *spool,
                   const std::optional<SerialScheme> &scheme)
    : store(store), spool(spool), serial(scheme)
{
}

bool Recorder::start(const RecordStore::Run &run, QVector<RecordStore::Voided> *voided,
                     QString *error)
{
    if (!store->open(error) || !flush(error))
        return false;
    const std::optional<qint64> id = store->startRun(run, voided, error);
    if (!id)
        return false;
    runId = *id;
    if (serial) {
        const std::optional<qint64> pool = store->pool(*serial, error);
        if (!pool)
            return false;
        poolId = *pool;
    }
    return true;
}

void Recorder::stop()
{
    QString error;
    if (flush(&error))
        store->stopRun(runId, &error);
}

bool Recorder::apply(const QJsonObject &entry, QString *error)
{
    if (entry["op"].toString() == "giveback")
        return store->giveBack(entry["pool"].toVariant().toLongLong(),
                               entry["index"].toVariant().toLongLong(),
                               entry["run"].toVariant().toLongLong(), error);
    return store->record(BoardRecord::fromJson(entry["board"].toObject()), error);
}

bool Recorder::flush(QString *error)
{
    if (spool->empty())
        return true;
    spool->drain([this, error](const QJsonObject &entry) { return apply(entry, error); });
    return spool->empty();
}

Recorder::Reserved Recorder::reserve(SerialValue *value, QString *error)
{
    if (!serial)
        return Reserved::NoScheme;
    // The spool goes first: a number given back while the store was away is the next one out.
    if (!flush(error))
        return Reserved::Unreachable;
    switch (store->reserve(poolId, *serial, runId, value, error)) {
    case RecordStore::Reserved::Ok:
        return Reserved::Ok;
    case RecordStore::Reserved::Exhausted:
        return Reserved::Exhausted;
    case RecordStore::Reserved::Failed:
        break;
    }
    return Reserved::Unreachable;
}

bool Recorder::wentOut(const SerialValue &, QString *)
{
    return true;
}

bool Recorder::giveBack(const SerialValue &value, QString *error)
{
    const QJsonObject entry{{"op", "giveback"}, {"pool", poolId}, {"index", value.index},
                            {"run", runId}};
    if (flush(error) && apply(entry, error))
        return true;
    return spool->append(entry, error);
}

bool Recorder::record(BoardRecord record, QString *error)
{
    record.run = runId;
    record.pool = poolId;
    const QJsonObject entry{{"op", "board"}, {"board", record.toJson()}};
    if (flush(error) && apply(entry, error))
        return true;
    return spool->append(entry, error);
}

void Recorder::closeThread()
{
    store->closeThread();
}
