#pragma once

#include "records/serialvalue.h"

#include <QDateTime>
#include <QMap>
#include <QString>

#include <optional>

class StoreConnections;

// A board the store already has as done under a printed label, on any station of the line: what
// refuses the label again, or what a reflash keeps.
struct EarlierBoard {
    qint64 run = 0;
    int board = 0;
    QDateTime time; // its result's, UTC
    QString station;
    QString serial; // its number as text; empty: it had none
    // Its numbers by pool: "serial" for the job's [serial] section.
    QMap<QString, SerialValue> numbers;

    // What the tile says of a board that brought the label again.
    QString refusal(const QString &label) const;
    // The last such board; none when the label was never done. False: the store could not be
    // read, and `error` says why.
    static bool find(StoreConnections &connections, const QString &label,
                     std::optional<EarlierBoard> *found, QString *error);
};
