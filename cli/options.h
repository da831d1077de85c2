#pragma once

#include "station/job.h"
#include "station/runplan.h"
#include "station/runsettings.h"
#include "station/target.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// What one run of lumedra-cli was asked to do, checked for usage errors.
struct Options {
    // What main does next; `text` is the help, the version line or the usage error.
    struct Parsed {
        enum class Kind { Run, Help, Version, UsageError };
        Kind kind;
        QString text;
    };
    Parsed parse(const QStringList &arguments);
    // What the run is asked to be; `invocation`: the command line as written, for the store.
    RunPlan plan(const QString &invocation) const;

    bool list = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool check = false;     // --check: print what the job would do, run nothing
    std::optional<Job> job; // --job: its values, before the command line's
    Targets targets;
    QString image;
    QString logPath;
    QString db;        // the record store's address; empty: the default, when one is needed
    QString stationId; // empty: the host name
    QString scanFrom;  // --scan-from: the scans as lines, a file, a FIFO or "-"; empty: none
    RunSettings settings; // everything but the image, which is read later
    // The job's, with --operator and --lot answering or overriding.
    OperatorLot operatorLot;
};
