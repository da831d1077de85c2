#include "records/runprocess.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <limits>

#include <signal.h>

bool RunProcess::alive(qint64 pid)
{
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // "PID (COMMAND) STATE ...": the command may hold spaces and parentheses of its own.
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < line.size() ? line[close + 2] : 'R';
    return state != 'Z' && state != 'X';
}
