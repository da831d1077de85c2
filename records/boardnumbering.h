#pragma once

#include "download/image.h"
#include "records/boardrecord.h"
#include "records/recorder.h"
#include "records/serialscheme.h"

#include <QMap>
#include <QString>

#include <optional>

// One slot's serial numbers: the number reserved for its next board before the board's first
// attempt (and kept across its attempts), that board's own copy of the image with the number in
// it, and what the board's result makes of the number.
class BoardNumbering
{
public:
    // `recorder` null, or a run without a scheme: every board gets the base image.
    BoardNumbering(Recorder *recorder, const Image &base);

    // Reserves the next board's number unless one is held already.
    Reserved take(QString *error);
    // A board flashed again under its label keeps the numbers it had, by pool ("serial" for the
    // job's [serial] section): none is reserved again, its image gets the same bytes, and its
    // result neither uses, voids nor gives back any of them. A number held already goes back.
    void adopt(const QMap<QString, SerialValue> &earlier);
    bool adopted() const { return kept; }
    bool holds() const { return number.has_value(); }
    // The held number as a person reads it; empty when none is held.
    QString text() const { return numberText; }
    const SerialValue &value() const { return *number; }
    // What the board is sent: its numbered copy, or the base image.
    const Image &image() const { return number ? numbered : base; }
    // The last number the sequence holds, as a person reads it: what ran out.
    QString lastText() const;

    // The number may reach the board from now on: the store is told before the image goes out,
    // so that a run that dies mid-board leaves it voided, never given to another board.
    void goesOut();
    // The board's result settles the held number, which is then let go.
    BoardRecord::Fate settle(bool done, qint64 acceptedBytes);
    // The run ends with a number held for no board: it goes back to the pool.
    void giveBack();

    // Used when the board is done; given back when the loader never accepted the block that
    // holds the field; voided otherwise, since it may be on the board.
    static BoardRecord::Fate fateOf(bool done, qint64 acceptedBytes, qint64 fieldOffset);

private:
    Recorder *const recorder;
    const Image base;
    std::optional<SerialValue> number;
    QString numberText;
    Image numbered;
    bool out = false;
    bool kept = false; // the number is an earlier board's, adopted
};
