#include "testing/simloader/simloader.h"

#include <chrono>
#include <utility>

#include <sys/prctl.h>

// Out of line: GCC cannot use the nested structs' member initialisers as a default argument.
SimLoader::SimLoader() : SimLoader(Faults()) {}

SimLoader::SimLoader(const Faults &faults)
    : m_faults(faults), m_line(faults.throttleBaud), m_script(faults), m_record(faults.recordBlocks)
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

bool SimLoader::open()
{
    return !m_thread.joinable() && m_line.open();
}

bool SimLoader::start()
{
    if (m_thread.joinable() || (!m_line.isOpen() && !m_line.open()))
        return false;
    m_thread = std::thread(&SimLoader::serve, this);
    return true;
}

QString SimLoader::portName() const
{
    return m_line.portName();
}

void SimLoader::stop()
{
    if (m_thread.joinable()) {
        m_line.wake();
        m_thread.join();
    }
    m_line.close();
}

void SimLoader::inject(const QByteArray &bytes)
{
    m_line.write(bytes.constData(), bytes.size());
}

QVector<SimLoader::Frame> SimLoader::frames() const
{
    return m_record.frames();
}

std::chrono::steady_clock::time_point SimLoader::openedAt() const
{
    return m_line.openedAt();
}

int SimLoader::count(Frame::Kind kind) const
{
    return m_record.count(kind);
}

QByteArray SimLoader::image() const
{
    return m_record.image();
}

QByteArray SimLoader::received() const
{
    return m_record.received();
}

int SimLoader::hangups() const
{
    return m_record.hangups();
}

bool SimLoader::vanished() const
{
    return m_vanished;
}

qint64 SimLoader::flooded() const
{
    return m_line.flooded();
}

void SimLoader::clearRecord()
{
    m_record.clear();
}

void SimLoader::serve()
{
    // The default 50 us timer slack would add to every throttled byte time and make the line
    // look slower than it is.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        switch (m_line.wait()) {
        case LoaderLine::Event::Input:
            take(m_line.input());
            if (m_vanished)
                return;
            break;
        case LoaderLine::Event::HangUp:
            m_script.hangUp();
            m_record.hangUp();
            break;
        case LoaderLine::Event::Stop:
            return;
        }
    }
}

void SimLoader::take(std::span<const char> bytes)
{
    const int size = int(bytes.size());
    const int baud = m_line.baud();
    const LoaderLine::Clock::time_point at = m_line.arrival(size);
    const qint64 atUs =
        std::chrono::duration_cast<std::chrono::microseconds>(at - m_line.openedAt()).count();
    m_record.receive(bytes.data(), size);
    for (const LoaderScript::Turn &turn : m_script.take(bytes.data(), size)) {
        m_record.add(turn, atUs, baud);
        if (turn.complete && m_imageHandler)
            m_imageHandler(m_record.image(), turn.checksum);
        if (turn.reply.vanish) {
            // Set first, so whoever sees the line drop also sees vanished().
            m_vanished = true;
            m_line.drop();
            return;
        }
        m_line.reply(turn.reply.bytes, turn.reply.pieces, turn.reply.delay,
                     std::chrono::milliseconds(m_faults.pieceGapMs));
        if (turn.flood)
            m_line.startFlood();
    }
}
