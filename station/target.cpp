#include "station/target.h"

#include "doctor/portpath.h"

Target Target::fromArgument(const QString &given, const QString &folder)
{
    return {given, portPath(given, folder)};
}

Targets Target::fromArguments(const QStringList &given, const QString &folder)
{
    Targets targets;
    for (const QString &port : given)
        targets << fromArgument(port, folder);
    return targets;
}
