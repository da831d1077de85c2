#pragma once

#include "station/operatorlot.h"
#include "station/runsettings.h"
#include "station/target.h"

#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// One slot of a job: the port pattern it flashes on, and what the technician calls it.
struct JobSlot {
    QString port;
    QString label; // empty: the port's name is shown
    QString code;  // the barcode printed on the fixture's position; empty: none
};

// Everything a station run needs, as a line engineer prepared it once in a job file: what the
// command line and the window both run. Paths are absolute, taken from the job's folder.
struct Job {
    static constexpr int Version = 1; // the newest format this program reads

    QString path; // the job file
    int version = Version;
    QString image;
    QString stationId;
    QString resetText;    // the reset as written: a preset's name or its steps
    RunSettings settings; // a station's, without the image, which is read later
    QString log;          // empty: no log
    bool locked = false;
    QVector<JobSlot> slotList; // slot N at index N - 1: the number the log gives it
    // Handed on as written, for the serial numbers and the record store.
    QString db;
    QMap<QString, QString> serialFields;
    OperatorLot operatorLot; // who and which lot: fixed, asked at the start, or none

    QStringList ports() const
    {
        QStringList ports;
        for (const JobSlot &slot : slotList)
            ports << slot.port;
        return ports;
    }
    // The slots' ports as opened: a relative name is the job's folder's, not the caller's.
    Targets targets() const
    {
        return Target::fromArguments(ports(), QFileInfo(path).absolutePath());
    }
};
