#include "records/report.h"

#include "records/boardbytes.h"
#include "records/recordstore.h"
#include "records/serialscheme.h"
#include "records/storeconnections.h"
#include "records/storeschema.h"
#include "records/transaction.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace
{
constexpr int SecondsPerHour = 3600;

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

struct Span {
    QString station, image;
    QDateTime from, to; // to: now for a run still up
};

// How long the spans were up within [from, to), counting a time two of them share once.
double upSeconds(QVector<Span> spans, const QDateTime &from, const QDateTime &to)
{
    std::sort(spans.begin(), spans.end(),
              [](const Span &a, const Span &b) { return a.from < b.from; });
    qint64 ms = 0;
    QDateTime covered = from;
    for (const Span &span : qAsConst(spans)) {
        const QDateTime start = qMax(qMax(span.from, covered), from);
        const QDateTime end = qMin(span.to, to);
        if (start < end) {
            ms += start.msecsTo(end);
            covered = end;
        }
    }
    return ms / 1e3;
}

void fill(Report::Totals *totals, qint64 boards, qint64 done, qint64 firstPass, double upSeconds)
{
    totals->boards = boards;
    totals->done = done;
    totals->failed = boards - done;
    totals->firstPass = firstPass;
    totals->yield = boards > 0 ? double(done) / boards : 0;
    totals->firstPassYield = boards > 0 ? double(firstPass) / boards : 0;
    totals->boardsPerHour = upSeconds > 0 ? boards * SecondsPerHour / upSeconds : 0;
}

// Begins a read of a store of this program's schema.
bool reading(Transaction &transaction, StoreConnections &connections, QString *error)
{
    if (!transaction.begin(error))
        return false;
    QSqlQuery query = transaction.query();
    QString detail;
    const std::optional<int> version = StoreSchema::version(query, connections.postgres(), &detail);
    if (!version)
        return transaction.fail("read its schema", detail, error);
    if (*version == 0) {
        *error = QString("no Lumedra store in %1").arg(connections.database());
        return false;
    }
    if (*version != RecordStore::SchemaVersion)
        return transaction.fail("open",
                                QString("its schema is version %1, %2 than this program's %3%4")
                                    .arg(*version)
                                    .arg(*version > RecordStore::SchemaVersion ? "newer" : "older")
                                    .arg(RecordStore::SchemaVersion)
                                    .arg(*version > RecordStore::SchemaVersion
                                             ? ""
                                             : "; a station started on it upgrades it"),
                                error);
    return true;
}

// The runs up at some time within [from, to).
std::optional<QVector<Span>> spans(Transaction &transaction, const QDateTime &from,
                                   const QDateTime &to, QString *error)
{
    QSqlQuery query = transaction.query();
    query.prepare("SELECT station, image_sha256, started, stopped FROM runs WHERE started < :to "
                  "AND (stopped IS NULL OR stopped >= :from)");
    query.bindValue(":from", bound(from, ""));
    query.bindValue(":to", bound(to, "~"));
    if (!transaction.exec(query, "read its runs", error))
        return std::nullopt;
    QVector<Span> found;
    while (query.next())
        found << Span{query.value(0).toString(), query.value(1).toString(), timeOf(query.value(2)),
                      query.value(3).isNull() ? QDateTime::currentDateTimeUtc()
                                              : timeOf(query.value(3))};
    return found;
}
} // namespace

Report::Report(const StoreUrl &url)
    : connections(std::make_unique<StoreConnections>(url, StoreConnections::Access::Read))
{
}

Report::~Report() = default;

void Report::closeThread()
{
    connections->closeThread();
}

bool Report::beginReading(Transaction &transaction, StoreConnections &connections, QString *error)
{
    return reading(transaction, connections, error);
}

std::optional<Report::Totals> Report::totals(const QDateTime &from, const QDateTime &to,
                                             QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!reading(transaction, *connections, error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    query.prepare("SELECT COUNT(*), SUM(CASE WHEN result = 'done' THEN 1 ELSE 0 END), "
                  "SUM(CASE WHEN result = 'done' AND attempts <= 1 THEN 1 ELSE 0 END) FROM "
                  "boards WHERE result <> 'stopped' AND time >= :from AND time < :to");
    query.bindValue(":from", bound(from, ""));
    query.bindValue(":to", bound(to, "~"));
    if (!transaction.exec(query, "count its boards", error) || !query.next())
        return std::nullopt;
    const qint64 boards = query.value(0).toLongLong();
    const qint64 done = query.value(1).toLongLong();
    const qint64 firstPass = query.value(2).toLongLong();
    query.finish();
    const std::optional<QVector<Span>> up = spans(transaction, from, to, error);
    if (!up || !transaction.commit(error))
        return std::nullopt;
    QDateTime start = from;
    for (const Span &span : *up)
        if (!start.isValid() || span.from < start)
            start = span.from;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    Totals totals;
    fill(&totals, boards, done, firstPass,
         upSeconds(*up, start, to.isValid() ? qMin(to, now) : now));
    return totals;
}

std::optional<QVector<Report::Row>> Report::rows(const QDateTime &from, const QDateTime &to,
                                                 QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!reading(transaction, *connections, error))
        return std::nullopt;
    QSqlQuery query = transaction.query();
    query.prepare("SELECT r.station, r.image_sha256, substr(b.time, 1, 13), COUNT(*), "
                  "SUM(CASE WHEN b.result = 'done' THEN 1 ELSE 0 END), "
                  "SUM(CASE WHEN b.result = 'done' AND b.attempts <= 1 THEN 1 ELSE 0 END) "
                  "FROM boards b JOIN runs r ON r.id = b.run "
                  "WHERE b.result <> 'stopped' AND b.time >= :from AND b.time < :to "
                  "GROUP BY r.station, r.image_sha256, substr(b.time, 1, 13) "
                  "ORDER BY substr(b.time, 1, 13), r.station, r.image_sha256");
    query.bindValue(":from", bound(from, ""));
    query.bindValue(":to", bound(to, "~"));
    if (!transaction.exec(query, "count its boards", error))
        return std::nullopt;
    struct Counted {
        Row row;
        qint64 boards, done, firstPass;
    };
    QVector<Counted> counted;
    while (query.next())
        counted << Counted{{query.value(0).toString(),
                            query.value(1).toString(),
                            timeOf(query.value(2).toString() + ":00:00Z"),
                            {}},
                           query.value(3).toLongLong(),
                           query.value(4).toLongLong(),
                           query.value(5).toLongLong()};
    query.finish();
    if (counted.isEmpty())
        return QVector<Row>();
    // An hour's rate counts the whole hour, though the range may begin or end within it.
    const std::optional<QVector<Span>> up =
        spans(transaction, counted.first().row.hour,
              counted.last().row.hour.addSecs(SecondsPerHour), error);
    if (!up || !transaction.commit(error))
        return std::nullopt;
    QVector<Row> rows;
    for (Counted &each : counted) {
        QVector<Span> mine;
        for (const Span &span : *up)
            if (span.station == each.row.station && span.image == each.row.image)
                mine << span;
        fill(&each.row.totals, each.boards, each.done, each.firstPass,
             upSeconds(mine, each.row.hour, each.row.hour.addSecs(SecondsPerHour)));
        rows << each.row;
    }
    return rows;
}

std::optional<QVector<Report::Step>> Report::history(const QString &serial, QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!reading(transaction, *connections, error))
        return std::nullopt;
    QVector<Step> boards, steps;
    QSqlQuery query = transaction.query();
    // Found by any of its numbers: what became of that one is the board's.
    query.prepare("SELECT b.time, r.station, b.run, b.slot, b.board, b.attempts, b.result, "
                  "b.reason, COALESCE(bn.fate, b.serial_fate) FROM boards b JOIN runs r ON r.id = "
                  "b.run LEFT JOIN board_numbers bn ON bn.run = b.run AND bn.board = b.board AND "
                  "bn.number = :any WHERE b.serial = :serial OR bn.number IS NOT NULL ORDER BY "
                  "b.time");
    query.bindValue(":any", serial);
    query.bindValue(":serial", serial);
    if (!transaction.exec(query, "read a number's boards", error))
        return std::nullopt;
    while (query.next())
        boards << Step{.time = timeOf(query.value(0)),
                       .event = "board",
                       .station = query.value(1).toString(),
                       .run = query.value(2).toLongLong(),
                       .slot = query.value(3).toInt(),
                       .board = query.value(4).toInt(),
                       .attempts = query.value(5).toInt(),
                       .result = query.value(6).toString(),
                       .reason = query.value(7).toString(),
                       .number = query.value(8).toString()};
    // In the order the store made them: those carried over from before it kept their times
    // come first.
    query.prepare("SELECT e.time, e.event, r.station, e.run, e.board FROM number_events e JOIN "
                  "numbers n ON n.pool = e.pool AND n.idx = e.idx LEFT JOIN runs r ON r.id = "
                  "e.run WHERE n.serial = :serial ORDER BY e.id");
    query.bindValue(":serial", serial);
    if (!transaction.exec(query, "read a number's history", error))
        return std::nullopt;
    while (query.next())
        steps << Step{.time = timeOf(query.value(0)),
                      .event = query.value(1).toString(),
                      .station = query.value(2).toString(),
                      .run = query.value(3).toLongLong(),
                      .board = query.value(4).toInt()};
    query.finish();
    if (!transaction.commit(error))
        return std::nullopt;
    // Each board just before what it did to the number; one that did nothing the store kept, by
    // its time.
    for (const Step &board : qAsConst(boards)) {
        auto at = std::find_if(steps.begin(), steps.end(), [&](const Step &step) {
            return step.event == board.number && step.run == board.run && step.board == board.board;
        });
        if (at == steps.end())
            at = std::find_if(steps.begin(), steps.end(), [&](const Step &step) {
                return step.time.isValid() && board.time < step.time;
            });
        steps.insert(at, board);
    }
    return steps;
}

std::optional<ImageArchive::Entry> Report::image(const QString &sha256, QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!reading(transaction, *connections, error))
        return std::nullopt;
    std::optional<ImageArchive::Entry> entry = ImageArchive::kept(transaction, sha256, error);
    if (!entry || !transaction.commit(error))
        return std::nullopt;
    return entry;
}

std::optional<QByteArray> Report::boardImage(const QString &serial, QString *error)
{
    Transaction transaction(*connections, Transaction::Kind::Read);
    if (!reading(transaction, *connections, error))
        return std::nullopt;
    return BoardBytes::rebuild(transaction, serial, error);
}
