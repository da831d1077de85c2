#pragma once

#include "records/boardrecord.h"
#include "records/serialvalue.h"

#include <QMap>

#include <QString>

#include <optional>

class Transaction;

// What the store keeps of each number: its events, and a board's numbers settled with its line.
class NumberLedger
{
public:
    // One change to a number, kept for its history.
    static bool note(Transaction &transaction, qint64 pool, qint64 index, const QString &event,
                     qint64 run, int board, const QString &time, QString *error);
    // Each of the board's numbers kept under its pool's name and settled by its fate: `numbered`,
    // the line's own [serial] number is one of them.
    static bool settle(Transaction &transaction, const BoardRecord &r, bool numbered,
                       const QString &time, QString *error);
    // A board's numbers by pool name, as a reflash of it adopts them.
    static std::optional<QMap<QString, SerialValue>> numbersOf(Transaction &transaction, qint64 run,
                                                              int board, QString *error);
};
