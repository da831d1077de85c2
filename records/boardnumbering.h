#pragma once

#include "download/image.h"
#include "records/boardrecord.h"
#include "records/recorder.h"
#include "records/serialscheme.h"

#include <QMap>
#include <QString>
#include <QVector>

// One slot's numbers, one from each of the run's pools: reserved for its next board before the
// board's first attempt (and kept across its attempts), that board's own copy of the image with
// every number in it, and what the board's result makes of each number.
class BoardNumbering
{
public:
    // `recorder` null, or a run without a pool: every board gets the base image.
    BoardNumbering(Recorder *recorder, const Image &base);

    // Reserves the next board's number in each pool that holds none for it yet. Exhausted: see
    // ranOut().
    Reserved take(QString *error);
    // The board keeps numbers it was given before (a reflash), by pool name ("serial" for
    // [serial]): they are not reserved again, go into the image as the same bytes, and its result
    // neither uses, voids nor gives them back. A number this slot held for the pool instead goes
    // back. False, and nothing changes, once the image has gone out.
    bool adopt(const QMap<QString, SerialValue> &earlier);
    // The board is a reflash: it holds an earlier board's numbers.
    bool adopted() const;
    // [serial]'s number: held, as a person reads it (empty when none), and its value.
    bool holds() const { return held.contains(SerialScheme::SerialPool); }
    QString text() const;
    SerialValue value() const { return held.value(SerialScheme::SerialPool).value; }
    // Every held number as a person reads it, by pool name.
    QMap<QString, QString> texts() const;
    // What the board is sent: its numbered copy, or the base image.
    const Image &image() const { return complete() ? numbered : base; }
    // The pool whose numbers ran out at the last take(), and the last number it held.
    QString ranOut() const { return exhausted; }
    QString lastText() const;

    // The numbers may reach the board from now on: the store is told before the image goes out,
    // so that a run that dies mid-board leaves them voided, never given to another board.
    void goesOut();
    // The board's result settles each held number, which is then let go: [serial]'s first.
    QVector<BoardRecord::Number> settle(bool done, qint64 acceptedBytes);
    // The run ends with numbers held for no board: they go back to their pools.
    void giveBack();

    // Used when the board is done; given back when the loader never accepted the block that
    // holds the field; voided otherwise, since it may be on the board.
    static BoardRecord::Fate fateOf(bool done, qint64 acceptedBytes, qint64 fieldOffset);

private:
    struct Held {
        SerialValue value;
        bool adopted = false;
    };
    bool complete() const;
    void patch();

    Recorder *const recorder;
    const Image base;
    QMap<QString, Held> held;
    Image numbered;
    QString exhausted;
    bool out = false;
};
