#pragma once

#include "station/job.h"
#include "station/runsettings.h"
#include "station/target.h"

#include <QString>
#include <QStringList>

#include <optional>

// What a view asks a run to be, before anything is read or opened: a job as the line engineer
// wrote it, or the command line's settings, or both with the command line's winning.
struct RunPlan {
    Targets targets;
    RunSettings settings;   // everything but the image, which the run reads
    QString image;          // the image's path
    QString log;            // empty: no log
    QString db;             // the store's address; empty: the default store, where one is needed
    QString stationId;      // empty: none in the log, the host name in the store
    QString invocation;     // how the run was started, as the store keeps it
    std::optional<Job> job; // the job it came from, for its labels and its summary
    // Who and which lot, as the run records them.
    OperatorLot operatorLot;

    // A job run as it stands, as the station window runs it.
    static RunPlan fromJob(const Job &job, const QString &invocation);
    // The ports as given, each named once; a station's glob pattern may stand for several.
    // `twice`: the index of the port named again, where it fails.
    static bool targetsOf(const Targets &given, bool station, Targets *targets, QString *error,
                          int *twice = nullptr);
};
