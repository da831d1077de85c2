#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class Transaction;

// The bytes a board received, rebuilt as its run made them: the kept base image with each of
// the board's numbers written in and the CRC last, checked against the SHA-256 the board's line
// holds.
class BoardBytes
{
public:
    // The last board that had `number` in any of its pools. Nullopt, and `error` says why, when
    // the bytes cannot be rebuilt or differ.
    static std::optional<QByteArray> rebuild(Transaction &transaction, const QString &number,
                                             QString *error);
};
