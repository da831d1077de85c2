#pragma once

#include <QString>
#include <QStringList>

// What one run of lumedra-cli was asked to do, checked for usage errors.
struct Options {
    static constexpr int MaxPorts = 64;
    static constexpr int DefaultBaud = 115200;

    // False, with `error` set, on a usage error. --help and --version print and exit here.
    bool parse(const QStringList &arguments, QString *error);

    // What a port argument is opened as: a bare name lives in /dev, anything else is a path.
    static QString portPath(const QString &port);

    bool list = false;
    bool json = false;
    int baud = DefaultBaud;
    QStringList ports; // as given on the command line
    QStringList paths; // what each is opened as
    QString image;
};
