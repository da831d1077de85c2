#include "station/target.h"

Target Target::fromArgument(const QString &given)
{
    return {given, given.contains('/') ? given : QStringLiteral("/dev/") + given};
}
