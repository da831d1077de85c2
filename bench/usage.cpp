#include "bench/usage.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <ctime>

#include <sys/resource.h>
#include <unistd.h>

namespace
{
QByteArray readProc(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString taskDir(qint64 pid, qint64 tid)
{
    return QString("/proc/%1/task/%2/").arg(pid == 0 ? ::getpid() : pid).arg(tid);
}
} // namespace

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 statusKiB(const char *field, qint64 pid)
{
    QFile status(pid == 0 ? QString("/proc/self/status") : QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

void resetPeakMemory()
{
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

double taskCpuSeconds(qint64 pid, qint64 tid)
{
    const QByteArray stat = readProc(taskDir(pid, tid) + "schedstat");
    if (stat.isEmpty())
        return -1;
    return stat.split(' ').first().toLongLong() / 1e9;
}

qint64 taskWakeUps(qint64 pid, qint64 tid)
{
    const QByteArray field = "voluntary_ctxt_switches:";
    for (const QByteArray &line : readProc(taskDir(pid, tid) + "status").split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().toLongLong();
    return -1;
}

double processCpuSeconds(qint64 pid)
{
    const QByteArray stat = readProc(QString("/proc/%1/stat").arg(pid == 0 ? ::getpid() : pid));
    // The name in parentheses may hold spaces; the fields after it do not.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const int UtimeField = 11, StimeField = 12; // counted from the state, the third field
    if (fields.size() <= StimeField)
        return -1;
    return double(fields[UtimeField].toLongLong() + fields[StimeField].toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

double harnessCpuSeconds()
{
    const qint64 pid = ::getpid();
    const QByteArray mainName = readProc(taskDir(pid, pid) + "comm");
    // Qt names its threads (QThread, Thread (pooled)); std::thread keeps the program's name.
    double others = taskCpuSeconds(pid, pid);
    const QStringList tasks =
        QDir(QString("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks)
        if (task.toLongLong() != pid &&
            readProc(taskDir(pid, task.toLongLong()) + "comm") != mainName)
            others += qMax(0.0, taskCpuSeconds(pid, task.toLongLong()));
    return processCpuSeconds(0) - others;
}

qint64 currentTid()
{
    return ::gettid();
}
