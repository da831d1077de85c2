#pragma once

#include <QString>
#include <QVector>

// One port of a run: as the user named it, and the path that is opened for it.
struct Target {
    QString given; // as on the command line: what the user reads in every report
    QString path;  // a bare name lives in /dev; anything with a slash is a path already

    static Target fromArgument(const QString &given);
};

using Targets = QVector<Target>;
