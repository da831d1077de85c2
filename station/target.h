#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One port of a run: as the user named it, and the path that is opened for it.
struct Target {
    QString given; // as on the command line: what the user reads in every report
    QString path;  // what portPath() makes of it

    // folder: where a relative name lives; the current folder unless given.
    static Target fromArgument(const QString &given, const QString &folder = QString());
    static QVector<Target> fromArguments(const QStringList &given,
                                         const QString &folder = QString());
};

using Targets = QVector<Target>;
