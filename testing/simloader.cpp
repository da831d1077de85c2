#include "testing/simloader.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int PrefixLength = sizeof(Protocol::HostPrefix);
constexpr int ReadBufferSize = 64 * 1024;
constexpr int HangupPauseMs = 2;
constexpr int BitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr int MaxGarbageLength = 6;
constexpr int MaxChaosPieces = 3;
constexpr uchar NeverSent = 0xA5; // first byte of every reply token
constexpr int PercentScale = 100;

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

enum class Match { None, Partial, Complete };

// How far `bytes` go towards a host frame; a complete one also yields its kind.
Match matchFrame(const char *bytes, int size, SimLoader::Frame::Kind *kind)
{
    for (int i = 0; i < std::min(size, PrefixLength); ++i) {
        if (bytes[i] != Protocol::HostPrefix[i])
            return Match::None;
    }
    if (size <= PrefixLength)
        return Match::Partial;
    switch (bytes[PrefixLength]) {
    case Protocol::CmdHandshake:
        *kind = SimLoader::Frame::Handshake;
        return Match::Complete;
    case Protocol::CmdFinish:
        *kind = SimLoader::Frame::Finish;
        return Match::Complete;
    case Protocol::CmdHeader:
        *kind = SimLoader::Frame::Header;
        return size == Protocol::HeaderFrameLength ? Match::Complete : Match::Partial;
    default:
        return Match::None;
    }
}

SimLoader::Step stepOf(SimLoader::Frame::Kind kind)
{
    switch (kind) {
    case SimLoader::Frame::Handshake:
        return SimLoader::Step::Handshake;
    case SimLoader::Frame::Header:
        return SimLoader::Step::Header;
    case SimLoader::Frame::Block:
        return SimLoader::Step::Block;
    case SimLoader::Frame::Finish:
        return SimLoader::Step::Finish;
    default:
        return SimLoader::Step::None;
    }
}

bool chaosEnabled(const SimLoader::Chaos &chaos)
{
    return chaos.percentWrong > 0 || chaos.percentGarbage > 0 || chaos.percentSilent > 0 ||
           chaos.percentVanish > 0 || chaos.percentSplit > 0 || chaos.percentStray > 0 ||
           chaos.percentDelay > 0;
}

} // namespace

struct SimLoader::Answer {
    QByteArray bytes;
    bool right = false; // the frame counts as accepted
    bool vanish = false;
    int pieces = 1;
    std::chrono::milliseconds delay{0};
};

// Out of line: GCC cannot use the nested structs' member initialisers as a default argument.
SimLoader::SimLoader() : SimLoader(Faults()) {}

SimLoader::SimLoader(const Faults &faults)
    : m_faults(faults), m_chaos(chaosEnabled(faults.chaos)), m_ready(Protocol::readyReply()),
      m_accept(Protocol::acceptReply()), m_random(faults.chaos.seed)
{
}

SimLoader::~SimLoader()
{
    stop();
}

void SimLoader::setImageHandler(ImageHandler handler)
{
    m_imageHandler = std::move(handler);
}

bool SimLoader::start()
{
    if (m_masterFd >= 0 || m_thread.joinable())
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
        stop();
        return false;
    }
    ::fcntl(m_masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    m_portName = QFile::decodeName(name);
    m_start = Clock::now();
    m_lineFree = m_start;
    m_thread = std::thread(&SimLoader::serve, this);
    return true;
}

QString SimLoader::portName() const
{
    return m_portName;
}

void SimLoader::stop()
{
    if (m_thread.joinable()) {
        ::eventfd_write(m_wakeFd, 1);
        m_thread.join();
    }
    for (int *fd : {&m_masterFd, &m_wakeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

QVector<SimLoader::Frame> SimLoader::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

int SimLoader::count(Frame::Kind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_frames.cbegin(), m_frames.cend(),
                             [kind](const Frame &frame) { return frame.kind == kind; }));
}

QByteArray SimLoader::image() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_image;
}

QByteArray SimLoader::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int SimLoader::hangups() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hangups;
}

void SimLoader::inject(const QByteArray &bytes)
{
    writeAll(bytes.constData(), bytes.size());
}

bool SimLoader::vanished() const
{
    return m_vanished;
}

qint64 SimLoader::flooded() const
{
    return m_flooded;
}

void SimLoader::clearRecord()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
    m_received.clear();
}

void SimLoader::serve()
{
    // The default 50 us timer slack would add to every throttled byte time and make the line
    // look slower than it is.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<char> buffer(ReadBufferSize);
    bool online = false; // the host holds the slave, as far as seen
    for (;;) {
        const short events = POLLIN | (m_flooding && online ? POLLOUT : 0);
        pollfd fds[] = {{m_wakeFd, POLLIN, 0}, {m_masterFd, events, 0}};
        // While nobody holds the slave the master reports POLLHUP at once, so only look then.
        const int ready = ::poll(fds, 2, online ? -1 : 0);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (ready == 0) {
            online = true;
            continue;
        }
        if (fds[1].revents & POLLOUT)
            flood();
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        // Read on POLLHUP too: what the host wrote before closing comes first, then EIO.
        const ssize_t got = ::read(m_masterFd, buffer.data(), buffer.size());
        if (got > 0) {
            online = true;
            take(buffer.data(), int(got));
            if (m_vanished)
                return;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (online) {
            online = false;
            hangUp();
        }
        pollfd wake = {m_wakeFd, POLLIN, 0};
        if (::poll(&wake, 1, HangupPauseMs) > 0)
            return;
    }
}

void SimLoader::flood()
{
    static const QByteArray garbage(ReadBufferSize, '\x3F');
    const ssize_t written = ::write(m_masterFd, garbage.constData(), size_t(garbage.size()));
    if (written > 0)
        m_flooded += written;
}

void SimLoader::hangUp()
{
    m_flooding = false;
    // Reply bytes the host left unread stay queued in the slave and would open the next session;
    // only a flush through the slave itself discards them.
    const int slave = ::open(QFile::encodeName(m_portName).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
    m_mode = Mode::Frames;
    m_frameSize = 0;
    m_blockFill = 0;
    m_announced = -1;
    m_offset = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_hangups;
}

void SimLoader::take(const char *data, int size)
{
    Clock::time_point at = Clock::now();
    const int baud = lineBaud();
    if (m_faults.throttleBaud > 0) {
        at = std::max(m_lineFree, at) + lineTime(size);
        m_lineFree = at;
        std::this_thread::sleep_until(at);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(data, size);
    }
    for (int i = 0; i < size && !m_vanished;) {
        if (m_mode == Mode::Frames) {
            takeFrameByte(data[i++], at, baud);
            continue;
        }
        const int length = Protocol::blockLength(m_announced - m_offset);
        const int part = std::min(length - m_blockFill, size - i);
        std::memcpy(m_block + m_blockFill, data + i, size_t(part));
        m_blockFill += part;
        i += part;
        if (m_blockFill == length) {
            m_blockFill = 0;
            onFrame(Frame::Block, m_block, length, at, baud);
        }
    }
}

void SimLoader::takeFrameByte(char byte, Clock::time_point at, int baud)
{
    m_frame[m_frameSize++] = byte;
    for (;;) {
        Frame::Kind kind = Frame::Unknown;
        const Match match = matchFrame(m_frame, m_frameSize, &kind);
        if (match == Match::Partial)
            return;
        if (match == Match::Complete) {
            const int size = m_frameSize;
            m_frameSize = 0;
            onFrame(kind, m_frame, size, at, baud);
            return;
        }
        // Resynchronise on the host prefix one byte at a time.
        record(Frame::Unknown, m_frame, 1, QByteArray(), at, baud);
        std::memmove(m_frame, m_frame + 1, size_t(--m_frameSize));
        if (m_frameSize == 0)
            return;
    }
}

void SimLoader::onFrame(Frame::Kind kind, const char *bytes, int size, Clock::time_point at,
                        int baud)
{
    const Answer reply = answer(kind, ++m_seen[kind]);
    if (reply.right)
        accept(kind, bytes, size);
    else if (kind == Frame::Block)
        m_mode = Mode::Frames;
    const bool keepBytes = kind != Frame::Block || m_faults.recordBlocks;
    record(kind, bytes, keepBytes ? size : 0, reply.bytes, at, baud);
    if (reply.vanish) {
        // Set first, so whoever sees the line drop also sees vanished().
        m_vanished = true;
        ::close(m_masterFd);
        m_masterFd = -1;
        return;
    }
    send(reply);
    if (stepOf(kind) == m_faults.floodAfter && m_seen[kind] == m_faults.floodIndex)
        m_flooding = true;
}

SimLoader::Answer SimLoader::answer(Frame::Kind kind, int index)
{
    const Step step = stepOf(kind);
    const auto at = [step, index](Step faultStep, int faultIndex, int every = 0) {
        return faultStep == step && (index == faultIndex || (every > 0 && index > faultIndex &&
                                                             (index - faultIndex) % every == 0));
    };
    const bool wantsAccept = kind == Frame::Header || kind == Frame::Block;
    const QByteArray &right = wantsAccept ? m_accept : m_ready;
    const QByteArray &other = wantsAccept ? m_ready : m_accept;

    Answer reply;
    if (m_faults.silent || (kind == Frame::Handshake && index < m_faults.answerFromHandshake) ||
        at(m_faults.silentAt, m_faults.silentIndex, m_faults.silentEvery))
        return reply;
    if (kind == Frame::Block && m_acceptedBlocks == m_faults.vanishAfterBlocks) {
        reply.vanish = true;
        return reply;
    }
    reply.pieces = m_faults.replyPieces;
    reply.delay = std::chrono::milliseconds(m_faults.replyDelayMs);
    if (at(m_faults.wrongAt, m_faults.wrongIndex, m_faults.wrongEvery)) {
        reply.bytes = m_faults.wrongReply.isEmpty() ? other : m_faults.wrongReply;
    } else if (!m_chaos) {
        reply.bytes = right;
        reply.right = true;
    } else {
        const Chaos &chaos = m_faults.chaos;
        const auto randomByte = [this] {
            const int value = roll(UCHAR_MAX);
            return char(value < NeverSent ? value : value + 1);
        };
        const int outcome = roll(PercentScale);
        int bound = chaos.percentWrong;
        if (outcome < bound) {
            reply.bytes = other;
        } else if (outcome < (bound += chaos.percentGarbage)) {
            reply.bytes.resize(1 + roll(MaxGarbageLength));
            for (char &byte : reply.bytes)
                byte = randomByte();
        } else if (outcome < (bound += chaos.percentSilent)) {
            return reply;
        } else if (outcome < (bound += chaos.percentVanish)) {
            reply.vanish = true;
            return reply;
        } else {
            reply.bytes = right;
            reply.right = true;
        }
        if (roll(PercentScale) < chaos.percentSplit)
            reply.pieces = 2 + roll(MaxChaosPieces - 1);
        if (roll(PercentScale) < chaos.percentStray)
            reply.bytes.prepend(randomByte());
        if (roll(PercentScale) < chaos.percentDelay)
            reply.delay += std::chrono::milliseconds(1 + roll(std::max(1, chaos.maxDelayMs)));
    }
    if (at(m_faults.strayAt, m_faults.strayIndex))
        reply.bytes.prepend(m_faults.strayByte);
    return reply;
}

void SimLoader::accept(Frame::Kind kind, const char *bytes, int size)
{
    if (kind == Frame::Header) {
        const QByteArray header = QByteArray::fromRawData(bytes, size);
        const qint64 length = Protocol::headerImageLength(header);
        m_headerChecksum = qFromBigEndian<quint16>(bytes + Protocol::HeaderChecksumOffset);
        if (length != m_announced || m_offset >= m_announced) {
            m_announced = length;
            m_offset = 0;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_image.clear();
        }
    } else if (kind == Frame::Block) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_image.append(bytes, size);
        m_offset += size;
        ++m_acceptedBlocks;
    } else {
        return;
    }
    m_mode = m_offset < m_announced ? Mode::Data : Mode::Frames;
    if (m_mode == Mode::Frames && m_imageHandler)
        m_imageHandler(image(), m_headerChecksum);
}

void SimLoader::send(const Answer &reply)
{
    if (reply.bytes.isEmpty())
        return;
    if (reply.delay.count() > 0 || m_faults.throttleBaud > 0) {
        // On a paced line the reply starts as the frame's last byte arrives, not when this
        // thread happened to wake up after it.
        Clock::time_point when =
            (m_faults.throttleBaud > 0 ? m_lineFree : Clock::now()) + reply.delay;
        if (m_faults.throttleBaud > 0)
            when += lineTime(reply.bytes.size());
        std::this_thread::sleep_until(when);
    }
    // Every piece but the last is one byte: 1 + 2 for two pieces of a reply token.
    const int pieces = std::clamp(reply.pieces, 1, int(reply.bytes.size()));
    for (int piece = 1; piece < pieces; ++piece) {
        writeAll(reply.bytes.constData() + piece - 1, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(m_faults.pieceGapMs));
    }
    writeAll(reply.bytes.constData() + pieces - 1, reply.bytes.size() - (pieces - 1));
}

void SimLoader::writeAll(const char *data, int size)
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
        // The host is not reading: wait for room, or for stop().
        pollfd fds[] = {{m_wakeFd, POLLIN, 0}, {m_masterFd, POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents || (fds[1].revents & (POLLHUP | POLLERR)))
            return;
    }
}

void SimLoader::record(Frame::Kind kind, const char *bytes, int size, const QByteArray &reply,
                       Clock::time_point at, int baud)
{
    Frame frame;
    frame.kind = kind;
    frame.bytes = QByteArray(bytes, size);
    frame.reply = reply;
    frame.atUs = std::chrono::duration_cast<std::chrono::microseconds>(at - m_start).count();
    frame.baud = baud;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.append(std::move(frame));
}

int SimLoader::lineBaud() const
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

int SimLoader::roll(int below)
{
    return std::uniform_int_distribution<int>(0, below - 1)(m_random);
}

SimLoader::Clock::duration SimLoader::lineTime(qint64 bytes) const
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(bytes * BitsPerByte * 1000000000 / m_faults.throttleBaud));
}
