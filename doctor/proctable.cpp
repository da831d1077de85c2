#include "doctor/proctable.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>

namespace
{
// Only device nodes matter, and a process may hold thousands of sockets and files.
const QLatin1String DevicePrefix("/dev/");
constexpr int MaxCommandLine = 200;
} // namespace

ProcTable::ProcTable(const SysRoot &root, qint64 ownPid) : m_ownPid(ownPid)
{
    const QStringList entries =
        QDir(root.host("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString dir = "/proc/" + entry;
        struct stat info {
        };
        if (::stat(QFile::encodeName(root.host(dir)).constData(), &info) != 0)
            continue; // gone since the listing
        Process process;
        process.pid = pid;
        process.uid = info.st_uid;
        process.name = root.firstLine(dir + "/comm");
        QByteArray arguments = root.read(dir + "/cmdline");
        while (arguments.endsWith('\0'))
            arguments.chop(1);
        arguments.replace('\0', ' ');
        // One line in a report, however the program was started.
        process.commandLine = QString::fromLocal8Bit(arguments).simplified().left(MaxCommandLine);
        const int index = m_processes.size();

        DIR *fds = ::opendir(QFile::encodeName(root.host(dir + "/fd")).constData());
        if (!fds) {
            // Kernel threads have no command line and hold no ports.
            if ((errno == EACCES || errno == EPERM) && !process.commandLine.isEmpty())
                m_unreadable.append(process);
        } else {
            while (const dirent *fd = ::readdir(fds)) {
                bool isFd = false;
                const int number = QString::fromLatin1(fd->d_name).toInt(&isFd);
                if (!isFd)
                    continue;
                const QString target = root.link(dir + "/fd/" + QString::number(number));
                if (target.startsWith(DevicePrefix))
                    m_open.insert(target, {index, number});
            }
            ::closedir(fds);
        }
        m_byPid.insert(pid, index);
        m_processes.append(process);
    }
}

QVector<ProcTable::Holder> ProcTable::holders(const QString &device) const
{
    QVector<Holder> found;
    for (auto it = m_open.constFind(device); it != m_open.constEnd() && it.key() == device; ++it)
        if (m_processes.at(it->first).pid != m_ownPid)
            found.append({m_processes.at(it->first), it->second});
    std::sort(found.begin(), found.end(), [](const Holder &a, const Holder &b) {
        return a.process.pid != b.process.pid ? a.process.pid < b.process.pid : a.fd < b.fd;
    });
    return found;
}

QVector<ProcTable::Process> ProcTable::named(const QString &name) const
{
    QVector<Process> found;
    for (const Process &process : m_processes)
        if (process.name == name)
            found.append(process);
    return found;
}

bool ProcTable::running(qint64 pid) const
{
    return m_byPid.contains(pid);
}

const ProcTable::Process *ProcTable::find(qint64 pid) const
{
    const auto it = m_byPid.constFind(pid);
    return it == m_byPid.constEnd() ? nullptr : &m_processes.at(*it);
}
