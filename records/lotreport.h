#pragma once

#include "records/storeurl.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>

class StoreConnections;

// The record store's boards by lot, read without changing it, as the report reads: every lot
// with boards in a time range [from, to) (an invalid time leaves that end open), or one lot.
// Boards a stop ended count nowhere. Each call reads on the calling thread's own connection.
class LotReport
{
public:
    // A number a board of the lot used, where it lies in its pool.
    struct Used {
        QString serial;
        qint64 pool = 0, index = -1; // -1: not known (a store from before numbers kept it)
    };
    struct Lot {
        QString lot;           // empty: boards of runs that had none
        QStringList operators; // who flashed its boards, first to flash first
        qint64 boards = 0, done = 0, failed = 0;
        qint64 firstPass = 0;      // done at the first attempt
        double yield = 0;          // done over boards, 0 to 1
        double firstPassYield = 0; // first passes over boards
        QVector<Used> serials;     // the numbers its boards used, in their pools' order
        QDateTime first, last;     // the first and the last board's times
    };

    explicit LotReport(const StoreUrl &url);
    ~LotReport();
    LotReport(const LotReport &) = delete;
    LotReport &operator=(const LotReport &) = delete;

    // Ordered by each lot's first board.
    std::optional<QVector<Lot>> lots(const QDateTime &from, const QDateTime &to, QString *error);
    // The one lot; empty when the range holds none of its boards.
    std::optional<QVector<Lot>> lot(const QString &name, const QDateTime &from, const QDateTime &to,
                                    QString *error);
    void closeThread();

    // Numbers next to each other in one pool as one range, "SN000100..SN000104": a lot's
    // thousands of numbers in a line a person reads.
    static QStringList ranges(const QVector<Used> &used);

private:
    std::optional<QVector<Lot>> read(const std::optional<QString> &lot, const QDateTime &from,
                                     const QDateTime &to, QString *error);

    std::unique_ptr<StoreConnections> connections;
};
