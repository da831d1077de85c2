#include "cli/reportcommand.h"

#include "records/recordstore.h"
#include "records/storeurl.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstdio>

namespace
{
constexpr int UsageStatus = 2;
constexpr int SecondsPerHour = 3600;

enum class Form { Text, Csv, Json };

int fail(const QString &message)
{
    std::fprintf(stderr, "lumedra-cli report: %s\n", qPrintable(message));
    return UsageStatus;
}

QString csvField(const QString &text)
{
    if (!text.contains(QRegularExpression("[\",\n]")))
        return text;
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

// Rows of named columns, printed as aligned text, CSV or one JSON object a line.
void print(const QStringList &columns, const QVector<QVariantList> &rows, Form form)
{
    QString out;
    if (form == Form::Json) {
        for (const QVariantList &row : rows) {
            QJsonObject object;
            for (int i = 0; i < columns.size(); ++i)
                object.insert(columns[i], QJsonValue::fromVariant(row[i]));
            out += QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + '\n';
        }
    } else if (form == Form::Csv) {
        out += columns.join(',') + '\n';
        for (const QVariantList &row : rows) {
            QStringList fields;
            for (const QVariant &value : row)
                fields << csvField(value.toString());
            out += fields.join(',') + '\n';
        }
    } else {
        QVector<int> widths;
        for (const QString &column : columns)
            widths << column.size();
        for (const QVariantList &row : rows)
            for (int i = 0; i < row.size(); ++i)
                widths[i] = qMax(widths[i], int(row[i].toString().size()));
        const auto line = [&](const QStringList &cells) {
            QStringList padded;
            for (int i = 0; i < cells.size(); ++i)
                padded << cells[i].leftJustified(widths[i]);
            return padded.join("  ").trimmed() + '\n';
        };
        out += line(columns);
        for (const QVariantList &row : rows) {
            QStringList cells;
            for (const QVariant &value : row)
                cells << value.toString();
            out += line(cells);
        }
    }
    std::fputs(out.toUtf8().constData(), stdout);
}

double ratio(qint64 part, qint64 whole)
{
    return whole > 0 ? qRound(1000.0 * part / whole) / 1000.0 : 0;
}

// Boards over the time the station's runs of that image were up within the hour: a station
// that ran for ten minutes of it and flashed 20 boards did 120 an hour.
double perHour(QSqlDatabase &db, const QString &station, const QString &image, const QString &hour,
               qint64 boards)
{
    const QDateTime start = QDateTime::fromString(hour + ":00:00Z", Qt::ISODate);
    const QDateTime end = start.addSecs(SecondsPerHour);
    QSqlQuery runs(db);
    runs.prepare("SELECT started, stopped FROM runs WHERE station = :station AND image_sha256 = "
                 ":image");
    runs.bindValue(":station", station);
    runs.bindValue(":image", image);
    double up = 0;
    if (runs.exec())
        while (runs.next()) {
            const QDateTime from = QDateTime::fromString(runs.value(0).toString(), Qt::ISODateWithMs);
            const QDateTime to = runs.value(1).isNull()
                                     ? QDateTime::currentDateTimeUtc()
                                     : QDateTime::fromString(runs.value(1).toString(), Qt::ISODateWithMs);
            up += qMax<qint64>(0, qMax(from, start).msecsTo(qMin(to, end))) / 1e3;
        }
    return up > 0 ? qRound(10.0 * boards * SecondsPerHour / up) / 10.0 : 0;
}
} // namespace

int runReport(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Reports the boards in the record store.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption db("db", "The record store (default: the local one).", "URL");
    const QCommandLineOption since("since", "Only boards from TIME on (ISO 8601, UTC unless "
                                            "it says otherwise).",
                                   "TIME");
    const QCommandLineOption serial("serial", "One serial number's history.", "N");
    const QCommandLineOption json("json", "One JSON object a line.");
    const QCommandLineOption csv("csv", "Comma-separated values with a header line.");
    parser.addOptions({db, since, serial, json, csv});
    if (!parser.parse(QStringList{"lumedra-cli report"} + arguments))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QString("unexpected '%1'").arg(parser.positionalArguments().first()));
    if (parser.isSet(json) && parser.isSet(csv))
        return fail("--json and --csv exclude each other");
    const Form form = parser.isSet(json) ? Form::Json : parser.isSet(csv) ? Form::Csv : Form::Text;
    QString from = QStringLiteral(""); // not null: NULL would match no time
    if (parser.isSet(since)) {
        QDateTime time = QDateTime::fromString(parser.value(since), Qt::ISODateWithMs);
        if (!time.isValid())
            time = QDateTime::fromString(parser.value(since), Qt::ISODate);
        if (!time.isValid())
            return fail(QString("--since '%1' is not an ISO 8601 time").arg(parser.value(since)));
        if (time.timeSpec() == Qt::LocalTime)
            time.setTimeSpec(Qt::UTC);
        from = time.toUTC().toString(Qt::ISODateWithMs);
    }

    QString error;
    std::optional<StoreUrl> url =
        parser.isSet(db) ? StoreUrl::parse(parser.value(db), &error) : StoreUrl::defaultSqlite();
    if (!url)
        return fail(error);
    RecordStore store(*url);
    if (!store.open(&error))
        return fail(error);
    QSqlDatabase connection = store.connection(&error);
    QSqlQuery query(connection);
    QVector<QVariantList> rows;
    if (parser.isSet(serial)) {
        query.prepare("SELECT b.time, r.station, b.run, b.slot, b.board, b.attempts, b.result, "
                      "b.reason, b.serial_fate FROM boards b JOIN runs r ON r.id = b.run WHERE "
                      "b.serial = :serial AND b.time >= :since ORDER BY b.time");
        query.bindValue(":serial", parser.value(serial));
        query.bindValue(":since", from);
        if (!query.exec())
            return fail(query.lastError().text());
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            rows << row;
        }
        print({"time", "station", "run", "slot", "board", "attempts", "result", "reason",
               "number"},
              rows, form);
        if (rows.isEmpty())
            std::fprintf(stderr, "lumedra-cli report: no board had %s\n",
                         qPrintable(parser.value(serial)));
        return rows.isEmpty() ? 1 : 0;
    }
    // A board stopped by the run is neither done nor failed.
    query.prepare(
        "SELECT r.station, r.image_sha256, substr(b.time, 1, 13), COUNT(*), "
        "SUM(CASE WHEN b.result = 'done' THEN 1 ELSE 0 END), "
        "SUM(CASE WHEN b.result = 'done' AND b.attempts <= 1 THEN 1 ELSE 0 END) "
        "FROM boards b JOIN runs r ON r.id = b.run "
        "WHERE b.result <> 'stopped' AND b.time >= :since "
        "GROUP BY r.station, r.image_sha256, substr(b.time, 1, 13) "
        "ORDER BY substr(b.time, 1, 13), r.station, r.image_sha256");
    query.bindValue(":since", from);
    if (!query.exec())
        return fail(query.lastError().text());
    while (query.next()) {
        const qint64 boards = query.value(3).toLongLong();
        const qint64 done = query.value(4).toLongLong();
        rows << QVariantList{query.value(0),
                             query.value(1).toString().left(12),
                             query.value(2).toString() + ":00Z",
                             boards,
                             done,
                             boards - done,
                             ratio(done, boards),
                             ratio(query.value(5).toLongLong(), boards),
                             perHour(connection, query.value(0).toString(),
                                     query.value(1).toString(), query.value(2).toString(), boards)};
    }
    print({"station", "image", "hour", "boards", "done", "failed", "yield", "first_pass_yield",
           "boards_per_hour"},
          rows, form);
    return 0;
}
