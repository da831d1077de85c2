#pragma once

#include "records/imagearchive.h"
#include "records/storeurl.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

class StoreConnections;
class Transaction;

// What the record store says about the line, read without changing it: a report opens an
// existing store read-only and creates nothing. Each call reads on the calling thread's own
// connection, so a view may ask from a worker thread (which calls closeThread() before it ends).
// A time range is [from, to); an invalid time leaves that end open. Boards a stop ended are
// neither done nor failed, and count nowhere.
class Report
{
public:
    struct Totals {
        qint64 boards = 0, done = 0, failed = 0;
        qint64 firstPass = 0;      // done at the first attempt
        double yield = 0;          // done over boards, 0 to 1
        double firstPassYield = 0; // first passes over boards
        double boardsPerHour = 0;  // boards over the time any station's run was up in the range
    };
    // One station's boards of one image within one hour (UTC).
    struct Row {
        QString station;
        QString image; // the base image's SHA-256, in hex
        QDateTime hour;
        Totals totals; // boards per hour: over the time the station's runs of the image were up
    };
    // Something that happened to a serial number, or a board that had it.
    struct Step {
        QDateTime time = {}; // invalid: before the store kept the time of its numbers' events
        // reserved, went_out, used, void, returned, void_at_start, returned_at_start; or board
        QString event = {};
        QString station = {};
        qint64 run = 0;                        // for the events at start: the run that started
        int slot = 0, board = 0, attempts = 0; // 0: none
        QString result = {}, reason = {};      // a board's
        QString number = {};                   // for a board: what became of the number with it
    };

    explicit Report(const StoreUrl &url);
    ~Report();
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;

    std::optional<Totals> totals(const QDateTime &from, const QDateTime &to, QString *error);
    // Ordered by hour, station and image.
    std::optional<QVector<Row>> rows(const QDateTime &from, const QDateTime &to, QString *error);
    // Oldest first; empty when the store has never heard of the number. A board is found by the
    // number of any of its pools.
    std::optional<QVector<Step>> history(const QString &serial, QString *error);
    // A kept base image. Nullopt, and `error` says why, when the store holds no such image or
    // only its hash.
    std::optional<ImageArchive::Entry> image(const QString &sha256, QString *error);
    // The bytes the board that had `serial` (in any pool) received, rebuilt as its run made them:
    // the kept base image with that board's numbers and CRC written in, checked against the
    // SHA-256 the board's line holds. Where the number went to more than one board, the last one.
    // Nullopt, and `error` says why, when they cannot be rebuilt or differ.
    std::optional<QByteArray> boardImage(const QString &serial, QString *error);
    void closeThread();
    // Begins a read of a store of this program's schema, as every report does: for the report's
    // readers in files of their own.
    static bool beginReading(Transaction &transaction, StoreConnections &connections,
                             QString *error);

private:
    std::unique_ptr<StoreConnections> connections;
};
