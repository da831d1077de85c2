#pragma once

#include "station/runsettings.h"
#include "station/target.h"

#include <QString>
#include <QStringList>

// What one run of lumedra-cli was asked to do, checked for usage errors.
struct Options {
    static constexpr int MaxPorts = 64;
    static constexpr int MaxAttempts = 100;

    // False, with `error` set, on a usage error. --help and --version print and exit here.
    bool parse(const QStringList &arguments, QString *error);

    bool list = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    Targets targets;
    QString image;
    QString logPath;
    RunSettings settings; // everything but the image, which is read later
};
