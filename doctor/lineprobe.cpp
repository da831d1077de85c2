#include "doctor/lineprobe.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
void ask(int fd, LineProbe &probe)
{
    int flag = 0;
    if (::ioctl(fd, TIOCGEXCL, &flag) == 0)
        probe.exclusive = flag ? LineProbe::State::Yes : LineProbe::State::No;
    int lines = 0;
    probe.modemLines =
        ::ioctl(fd, TIOCMGET, &lines) == 0 ? LineProbe::State::Yes : LineProbe::State::No;
}

// A copy of another process's descriptor: the same open file, so no open and no close reach
// the driver.
int borrow(qint64 pid, int fd)
{
    const int process = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (process < 0)
        return -1;
    const int copy = int(::syscall(SYS_pidfd_getfd, process, fd, 0));
    ::close(process);
    return copy;
}
} // namespace

LineProbe LineProbe::of(const QString &hostPath, const QVector<ProcTable::Holder> &holders,
                        bool mayBorrow)
{
    LineProbe probe;
    if (!holders.isEmpty()) {
        for (const ProcTable::Holder &holder : holders) {
            const int copy = mayBorrow ? borrow(holder.process.pid, holder.fd) : -1;
            if (copy >= 0) {
                ask(copy, probe);
                ::close(copy);
                return probe;
            }
        }
        probe.unknownWhy = QStringLiteral("not asked: the port is held, and opening it would "
                                          "raise its DTR and RTS");
        return probe;
    }
    const int fd = ::open(QFile::encodeName(hostPath).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // Only the exclusive flag refuses a second open with EBUSY.
        if (errno == EBUSY) {
            probe.busy = true;
            probe.exclusive = State::Yes;
        }
        probe.unknownWhy = QStringLiteral("not asked: the port does not open");
        return probe;
    }
    ask(fd, probe);
    ::close(fd);
    return probe;
}
