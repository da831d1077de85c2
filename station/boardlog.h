#pragma once

#include "station/boardoutcome.h"

#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>

// The record of every board: JSON Lines appended to a file, one object a line. Each line is
// written whole in one call and made durable before the writer goes on; the threads of a
// station's slots share the log, and their lines never interleave.
class BoardLog : public QObject, public OutcomeSink
{
    Q_OBJECT

public:
    BoardLog() = default;
    ~BoardLog() override;

    bool open(const QString &path, QString *error);
    // A station's name for itself, given to every line from now on; empty: none.
    void setStationId(const QString &id) { stationId = id; }
    // Who flashes and for which lot, on every line from now on; empty: null.
    void setOperatorLot(const QString &operatorName, const QString &lot)
    {
        who = operatorName;
        this->lot = lot;
    }
    // Adds the time (unless the fields have their own), the host and the tool's version to
    // `fields`. False once a write failed: the log takes nothing more.
    bool write(QJsonObject fields);
    // A board's line.
    bool write(const BoardOutcome &outcome, QString *error) override;
    // Once the run is over; nothing is written after.
    void close();

signals:
    void failed(const QString &reason); // once, from the thread whose write failed

private:
    QMutex mutex;
    QString stationId;
    QString who, lot;
    int fd = -1;
    bool broken = false;
};
