#include "download/lowlatency.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

void LowLatency::enable(int fd)
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0 || (settings.flags & ASYNC_LOW_LATENCY))
        return;
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &settings) == 0)
        m_fd = fd;
#else
    Q_UNUSED(fd)
#endif
}

void LowLatency::restore()
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    // Read again rather than write back a copy: only the one flag this object set is undone.
    if (m_fd >= 0 && ::ioctl(m_fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(m_fd, TIOCSSERIAL, &settings);
    }
#endif
    m_fd = -1;
}
