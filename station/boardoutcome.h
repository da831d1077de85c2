#pragma once

#include "download/image.h"
#include "records/boardrecord.h"
#include "station/outcome.h"
#include "station/usbidentity.h"

#include <QDateTime>
#include <QString>
#include <QVector>

// One board's result as the record keeps it: made once per board, its time taken once, and
// written by every sink (the log, the record store) from this one value.
struct BoardOutcome {
    int slot = 0;      // from 1, as the log numbers slots
    int board = 0;     // the run's board number
    QString port = {}; // the path the board was on
    UsbIdentity usb = {};
    Image image = {}; // the run's base image
    Outcome outcome = Outcome::Done;
    QString reason = {};
    int attempts = 0;
    double seconds = 0;  // the board's own time, to the millisecond
    QDateTime time = {}; // when the result came, UTC
    qint64 run = 0;      // the store's run; 0 without a store
    // The board's own number, where the run numbers its boards.
    QString boardSerial = {};
    qint64 pool = 0;
    qint64 index = -1;
    BoardRecord::Fate fate = BoardRecord::Fate::None;
    QByteArray receivedSha256 = {}; // of the bytes the board was sent: its numbered copy
    // Every pool's number the board got, [serial]'s first, each with its fate: a reflashed
    // board's are kept, which its result does not settle.
    QVector<BoardRecord::Number> numbers = {};
    // The board's printed label, and whether it came again and kept its earlier numbers.
    QString label = {};
    bool reflash = false;

    bool numbered() const { return fate != BoardRecord::Fate::None || !numbers.isEmpty(); }
    // As the store keeps it.
    BoardRecord record() const;
};

// Where a board's outcome is written. Each sink serialises the same value in its own form.
class OutcomeSink
{
public:
    virtual ~OutcomeSink() = default;
    // False when the outcome could not be kept; `error` says why.
    virtual bool write(const BoardOutcome &outcome, QString *error) = 0;
};
