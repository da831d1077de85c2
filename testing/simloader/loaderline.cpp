#include "testing/simloader/loaderline.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int ReadBufferSize = 64 * 1024;
constexpr int HangupPauseMs = 2;
constexpr int BitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr char FloodByte = '\x3F';

const std::pair<speed_t, int> Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

LoaderLine::LoaderLine(int throttleBaud) : m_throttleBaud(throttleBaud), m_buffer(ReadBufferSize) {}

LoaderLine::~LoaderLine()
{
    close();
}

bool LoaderLine::open()
{
    if (m_masterFd >= 0)
        return false;
    int slave = -1;
    if (::openpty(&m_masterFd, &slave, nullptr, nullptr, nullptr) != 0)
        return false;
    char name[128];
    termios tio;
    // Raw from the outset, so nothing is echoed before or between the host's sessions;
    // QSerialPort restores these settings when it closes.
    const bool ready = ::ttyname_r(slave, name, sizeof name) == 0 && ::tcgetattr(slave, &tio) == 0;
    if (ready) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::close(slave);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ready || m_wakeFd < 0) {
        close();
        return false;
    }
    ::fcntl(m_masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    m_portName = QFile::decodeName(name);
    m_openedAt = Clock::now();
    m_lineFree = m_openedAt;
    m_online = false;
    m_pausing = false;
    return true;
}

void LoaderLine::close()
{
    for (int *fd : {&m_masterFd, &m_wakeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

QString LoaderLine::portName() const
{
    return m_portName;
}

LoaderLine::Clock::time_point LoaderLine::openedAt() const
{
    return m_openedAt;
}

LoaderLine::Event LoaderLine::wait()
{
    if (std::exchange(m_pausing, false) && pause())
        return Event::Stop;
    for (;;) {
        const short events = POLLIN | (m_flooding && m_online ? POLLOUT : 0);
        pollfd fds[] = {{m_wakeFd, POLLIN, 0}, {m_masterFd, events, 0}};
        // While nobody holds the slave the master reports POLLHUP at once, so only look then.
        const int ready = ::poll(fds, 2, m_online ? -1 : 0);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Event::Stop;
        }
        if (fds[0].revents)
            return Event::Stop;
        if (ready == 0) {
            m_online = true;
            continue;
        }
        if (fds[1].revents & POLLOUT)
            flood();
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        // Read on POLLHUP too: what the host wrote before closing comes first, then EIO.
        const ssize_t got = ::read(m_masterFd, m_buffer.data(), m_buffer.size());
        if (got > 0) {
            m_online = true;
            m_got = int(got);
            return Event::Input;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (m_online) {
            m_online = false;
            m_flooding = false;
            flushHost();
            m_pausing = true;
            return Event::HangUp;
        }
        if (pause())
            return Event::Stop;
    }
}

std::span<const char> LoaderLine::input() const
{
    return {m_buffer.data(), size_t(m_got)};
}

void LoaderLine::wake()
{
    ::eventfd_write(m_wakeFd, 1);
}

LoaderLine::Clock::time_point LoaderLine::arrival(int size)
{
    if (m_throttleBaud <= 0)
        return Clock::now();
    const Clock::time_point at = std::max(m_lineFree, Clock::now()) + lineTime(size);
    m_lineFree = at;
    std::this_thread::sleep_until(at);
    return at;
}

int LoaderLine::baud() const
{
    // On Linux the termios calls on a pty master act on the slave's settings, which the host set.
    termios tio;
    if (::tcgetattr(m_masterFd, &tio) != 0)
        return 0;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const auto &entry : Speeds) {
        if (entry.first == speed)
            return entry.second;
    }
    return 0;
}

void LoaderLine::reply(const QByteArray &bytes, int pieces, std::chrono::milliseconds delay,
                       std::chrono::milliseconds pieceGap)
{
    if (bytes.isEmpty())
        return;
    if (delay.count() > 0 || m_throttleBaud > 0) {
        Clock::time_point when = (m_throttleBaud > 0 ? m_lineFree : Clock::now()) + delay;
        if (m_throttleBaud > 0)
            when += lineTime(bytes.size());
        std::this_thread::sleep_until(when);
    }
    // Every piece but the last is one byte: 1 + 2 for two pieces of a reply token.
    pieces = std::clamp(pieces, 1, int(bytes.size()));
    for (int piece = 1; piece < pieces; ++piece) {
        write(bytes.constData() + piece - 1, 1);
        std::this_thread::sleep_for(pieceGap);
    }
    write(bytes.constData() + pieces - 1, bytes.size() - (pieces - 1));
}

void LoaderLine::write(const char *data, int size)
{
    while (size > 0) {
        const ssize_t written = ::write(m_masterFd, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= int(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            return;
        // The host is not reading: wait for room, or for wake().
        pollfd fds[] = {{m_wakeFd, POLLIN, 0}, {m_masterFd, POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents || (fds[1].revents & (POLLHUP | POLLERR)))
            return;
    }
}

void LoaderLine::startFlood()
{
    m_flooding = true;
}

qint64 LoaderLine::flooded() const
{
    return m_flooded;
}

void LoaderLine::drop()
{
    ::close(m_masterFd);
    m_masterFd = -1;
}

void LoaderLine::flood()
{
    static const QByteArray garbage(ReadBufferSize, FloodByte);
    const ssize_t written = ::write(m_masterFd, garbage.constData(), size_t(garbage.size()));
    if (written > 0)
        m_flooded += written;
}

void LoaderLine::flushHost()
{
    // Reply bytes the host left unread stay queued in the slave and would open the next session;
    // only a flush through the slave itself discards them.
    const int slave = ::open(QFile::encodeName(m_portName).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
}

// Waits out a moment after a hang-up, so an idle line is not polled in a busy loop; true when
// woken meanwhile.
bool LoaderLine::pause()
{
    pollfd wake = {m_wakeFd, POLLIN, 0};
    return ::poll(&wake, 1, HangupPauseMs) > 0;
}

LoaderLine::Clock::duration LoaderLine::lineTime(qint64 bytes) const
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(bytes * BitsPerByte * 1000000000 / m_throttleBaud));
}
