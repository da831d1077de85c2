#include "testing/kit/heldpty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <csignal>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int HoldTimeoutMs = 5000;
constexpr int PollMs = 10;
} // namespace

HeldPty::HeldPty()
{
    int slave = -1;
    char name[64] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        return;
    ::close(slave);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_name = QString::fromLatin1(name);
}

HeldPty::~HeldPty()
{
    if (m_holder > 0) {
        ::kill(m_holder, SIGKILL);
        ::waitpid(m_holder, nullptr, 0);
    }
    if (m_master >= 0)
        ::close(m_master);
}

bool HeldPty::hold(bool exclusive)
{
    if (!isOpen() || m_holder > 0)
        return false;
    const QByteArray name = QFile::encodeName(m_name);
    m_holder = ::fork();
    if (m_holder < 0)
        return false;
    if (m_holder == 0) {
        const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY);
        if (fd < 0 || (exclusive && ::ioctl(fd, TIOCEXCL) != 0) || ::dup2(fd, 0) < 0)
            ::_exit(1);
        ::execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        ::_exit(1);
    }
    const QString descriptor = QString("/proc/%1/fd/0").arg(m_holder);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < HoldTimeoutMs) {
        if (QFile::symLinkTarget(descriptor) == m_name)
            return true;
        QThread::msleep(PollMs);
    }
    return false;
}
