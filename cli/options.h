#pragma once

#include "station/target.h"

#include <QString>
#include <QStringList>

// What one run of lumedra-cli was asked to do, checked for usage errors.
struct Options {
    static constexpr int MaxPorts = 64;
    static constexpr int DefaultBaud = 115200;

    // False, with `error` set, on a usage error. --help and --version print and exit here.
    bool parse(const QStringList &arguments, QString *error);

    bool list = false;
    bool json = false;
    int baud = DefaultBaud;
    Targets targets;
    QString image;
};
