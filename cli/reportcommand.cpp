#include "cli/reportcommand.h"

#include "records/labelhistory.h"
#include "records/lotreport.h"
#include "records/report.h"
#include "records/storeurl.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QVariant>

#include <cstdio>

namespace
{
constexpr int UsageStatus = 2;
constexpr int UnknownStatus = 1;
constexpr int ImageDigits = 12; // of the image's SHA-256, enough to tell images apart

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

// Rows of named columns, printed as aligned text, CSV or one JSON object a line. An invalid
// value is an empty cell, or null in JSON.
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

// A person reads a share as a percentage; a program gets the number.
QVariant share(double part, Form form)
{
    if (form == Form::Text)
        return QString("%1 %").arg(100 * part, 0, 'f', 1);
    return qRound(1000 * part) / 1000.0;
}

QVariant orNone(qint64 value)
{
    return value != 0 ? QVariant(value) : QVariant();
}

QVariant orNone(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

int history(Report &report, const QString &serial, const QDateTime &since, Form form)
{
    QString error;
    const std::optional<QVector<Report::Step>> steps = report.history(serial, &error);
    if (!steps)
        return fail(error);
    QVector<QVariantList> rows;
    for (const Report::Step &step : *steps) {
        if (since.isValid() && step.time.isValid() && step.time < since)
            continue;
        rows << QVariantList{orNone(step.time.toString(Qt::ISODateWithMs)),
                             step.event,
                             orNone(step.station),
                             orNone(step.run),
                             orNone(step.slot),
                             orNone(step.board),
                             orNone(step.attempts),
                             orNone(step.result),
                             step.event == "board" ? QVariant(step.reason) : QVariant(),
                             orNone(step.number)};
    }
    print({"time", "event", "station", "run", "slot", "board", "attempts", "result", "reason",
           "number"},
          rows, form);
    if (steps->isEmpty())
        std::fprintf(stderr, "lumedra-cli report: the store has never heard of %s\n",
                     qPrintable(serial));
    return steps->isEmpty() ? UnknownStatus : 0;
}

// Each time the board with this printed label was on a station, oldest first.
int labelHistory(const StoreUrl &url, const QString &label, const QDateTime &since, Form form)
{
    QString error;
    LabelHistory store(url);
    const std::optional<QVector<LabelHistory::Board>> boards = store.of(label, &error);
    if (!boards)
        return fail(error);
    QVector<QVariantList> rows;
    for (const LabelHistory::Board &board : *boards)
        if (!since.isValid() || board.time >= since)
            rows << QVariantList{board.time.toString(Qt::ISODateWithMs),
                                 board.station,
                                 board.run,
                                 board.slot,
                                 board.board,
                                 board.attempts,
                                 board.result,
                                 board.reason,
                                 orNone(board.serial),
                                 board.reflash};
    print({"time", "station", "run", "slot", "board", "attempts", "result", "reason", "serial",
           "reflash"},
          rows, form);
    if (boards->isEmpty())
        std::fprintf(stderr, "lumedra-cli report: the store has never seen the label %s\n",
                     qPrintable(label));
    return boards->isEmpty() ? UnknownStatus : 0;
}

// A line per lot, or the one lot asked for. JSON keeps every serial number; a person reads them
// as ranges.
int lots(const StoreUrl &url, const std::optional<QString> &only, const QDateTime &since, Form form)
{
    QString error;
    LotReport report(url);
    const std::optional<QVector<LotReport::Lot>> found =
        only ? report.lot(*only, since, QDateTime(), &error)
             : report.lots(since, QDateTime(), &error);
    if (!found)
        return fail(error);
    QVector<QVariantList> rows;
    for (const LotReport::Lot &lot : *found) {
        QStringList serials;
        for (const LotReport::Used &used : lot.serials)
            serials << used.serial;
        rows << QVariantList{orNone(lot.lot),
                             lot.operators.join(", "),
                             lot.boards,
                             lot.done,
                             lot.failed,
                             share(lot.yield, form),
                             share(lot.firstPassYield, form),
                             lot.first.toString(Qt::ISODateWithMs),
                             lot.last.toString(Qt::ISODateWithMs),
                             form == Form::Json
                                 ? QVariant(serials)
                                 : QVariant(LotReport::ranges(lot.serials).join(' '))};
    }
    print({"lot", "operators", "boards", "done", "failed", "yield", "first_pass_yield",
           "first_board", "last_board", "serials"},
          rows, form);
    if (only && found->isEmpty())
        std::fprintf(stderr, "lumedra-cli report: the store has no board of lot %s\n",
                     qPrintable(*only));
    return only && found->isEmpty() ? UnknownStatus : 0;
}

// Writes bytes the store gave back, whole or not at all; nullopt from the store leaves no file.
int writeOut(const std::optional<QByteArray> &bytes, const QString &path, const QString &error)
{
    if (!bytes) {
        std::fprintf(stderr, "lumedra-cli report: %s not written: %s\n", qPrintable(path),
                     qPrintable(error));
        return UnknownStatus;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.commit())
        return fail(QString("cannot write %1: %2").arg(path, file.errorString()));
    std::printf("%s: %lld bytes, SHA-256 %s\n", qPrintable(path), qint64(bytes->size()),
                QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex().constData());
    return 0;
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
    const QCommandLineOption serial(
        "serial", "One serial number's history; with --image-out, its board's bytes.", "N");
    const QCommandLineOption image("image", "A kept base image, by its SHA-256.", "SHA256");
    const QCommandLineOption imageOut(
        "image-out", "Write the bytes the --serial board received, or the --image, to FILE.",
        "FILE");
    const QCommandLineOption label("label", "One board's history by its printed LABEL.", "LABEL");
    const QCommandLineOption json("json", "One JSON object a line.");
    const QCommandLineOption csv("csv", "Comma-separated values with a header line.");
    const QCommandLineOption lot("lot", "One lot: its boards, yields, serial numbers and times.",
                                 "LOT");
    const QCommandLineOption byLot("by-lot", "A line per lot instead of per station, image and "
                                             "hour.");
    parser.addOptions({db, since, serial, image, imageOut, label, json, csv, lot, byLot});
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
    if (parser.isSet(image) && parser.isSet(serial))
        return fail("--image and --serial exclude each other");
    if (parser.isSet(label) && (parser.isSet(serial) || parser.isSet(image)))
        return fail("--label excludes --serial and --image");
    if (parser.isSet(image) && !parser.isSet(imageOut))
        return fail("--image needs --image-out");
    if (parser.isSet(imageOut) && !parser.isSet(image) && !parser.isSet(serial))
        return fail("--image-out needs --serial or --image");
    if ((parser.isSet(lot) || parser.isSet(byLot)) &&
        (parser.isSet(serial) || parser.isSet(image) || parser.isSet(imageOut) ||
         (parser.isSet(lot) && parser.isSet(byLot))))
        return fail("--lot and --by-lot go without --serial, --image, --image-out and each other");
    if (parser.isSet(lot) && parser.value(lot).trimmed().isEmpty())
        return fail("--lot needs a lot");
    const Form form = parser.isSet(json) ? Form::Json : parser.isSet(csv) ? Form::Csv : Form::Text;
    QDateTime from;
    if (parser.isSet(since)) {
        from = QDateTime::fromString(parser.value(since), Qt::ISODateWithMs);
        if (!from.isValid())
            from = QDateTime::fromString(parser.value(since), Qt::ISODate);
        if (!from.isValid())
            return fail(QString("--since '%1' is not an ISO 8601 time").arg(parser.value(since)));
        if (from.timeSpec() == Qt::LocalTime)
            from.setTimeSpec(Qt::UTC);
    }

    QString error;
    std::optional<StoreUrl> url =
        parser.isSet(db) ? StoreUrl::parse(parser.value(db), &error) : StoreUrl::defaultSqlite();
    if (!url)
        return fail(error);
    Report report(*url);
    if (parser.isSet(imageOut)) {
        const QString path = parser.value(imageOut);
        if (parser.isSet(serial))
            return writeOut(report.boardImage(parser.value(serial), &error), path, error);
        const std::optional<ImageArchive::Entry> kept = report.image(parser.value(image), &error);
        return writeOut(kept ? std::optional(kept->bytes) : std::nullopt, path, error);
    }
    if (parser.isSet(serial))
        return history(report, parser.value(serial), from, form);
    if (parser.isSet(label))
        return labelHistory(*url, parser.value(label), from, form);
    if (parser.isSet(lot) || parser.isSet(byLot))
        return lots(*url,
                    parser.isSet(lot) ? std::optional(parser.value(lot).trimmed()) : std::nullopt,
                    from, form);
    const std::optional<QVector<Report::Row>> rows = report.rows(from, QDateTime(), &error);
    if (!rows)
        return fail(error);
    QVector<QVariantList> cells;
    for (const Report::Row &row : *rows)
        cells << QVariantList{row.station,
                              row.image.left(ImageDigits),
                              row.hour.toString("yyyy-MM-dd'T'HH:00'Z'"),
                              row.totals.boards,
                              row.totals.done,
                              row.totals.failed,
                              share(row.totals.yield, form),
                              share(row.totals.firstPassYield, form),
                              qRound(10 * row.totals.boardsPerHour) / 10.0};
    print({"station", "image", "hour", "boards", "done", "failed", "yield", "first_pass_yield",
           "boards_per_hour"},
          cells, form);
    return 0;
}
