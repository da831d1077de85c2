#include "testing/kit/fakeadapter.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <atomic>
#include <cstdarg>

#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace
{
std::atomic<bool> on{false};
QMutex mutex; // guards the members below
int flags = 0;
int lines = 0;
QElapsedTimer sinceOn;
QList<FakeAdapter::LineChange> changes;

int answer(unsigned long request, void *arg)
{
    QMutexLocker lock(&mutex);
    switch (request) {
    case TIOCGSERIAL:
        *static_cast<serial_struct *>(arg) = serial_struct{};
        static_cast<serial_struct *>(arg)->flags = flags;
        return 0;
    case TIOCSSERIAL:
        flags = static_cast<serial_struct *>(arg)->flags;
        return 0;
    case TIOCMGET:
        *static_cast<int *>(arg) = lines;
        return 0;
    default: { // TIOCMBIS, TIOCMBIC
        const int bits = *static_cast<int *>(arg);
        const bool asserted = request == TIOCMBIS;
        lines = asserted ? lines | bits : lines & ~bits;
        for (const int line : {TIOCM_DTR, TIOCM_RTS})
            if (bits & line)
                changes << FakeAdapter::LineChange{sinceOn.elapsed(), line == TIOCM_DTR, asserted};
        return 0;
    }
    }
}
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (on && (request == TIOCGSERIAL || request == TIOCSSERIAL || request == TIOCMGET ||
               request == TIOCMBIS || request == TIOCMBIC))
        return answer(request, arg);
    static const auto real =
        reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

void FakeAdapter::switchOn(int serialFlags)
{
    QMutexLocker lock(&mutex);
    flags = serialFlags;
    lines = TIOCM_DTR | TIOCM_RTS; // as an open leaves them
    changes.clear();
    sinceOn.start();
    on = true;
}

void FakeAdapter::switchOff()
{
    on = false;
}

bool FakeAdapter::isOn()
{
    return on;
}

int FakeAdapter::serialFlags()
{
    QMutexLocker lock(&mutex);
    return flags;
}

QList<FakeAdapter::LineChange> FakeAdapter::lineChanges()
{
    QMutexLocker lock(&mutex);
    return changes;
}
