#include "testing/simloader/loaderrecord.h"

#include <algorithm>
#include <utility>

LoaderRecord::LoaderRecord(bool keepBlockBytes) : m_keepBlockBytes(keepBlockBytes) {}

void LoaderRecord::receive(const char *data, int size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(data, size);
}

void LoaderRecord::add(const LoaderScript::Turn &turn, qint64 atUs, int baud)
{
    LoaderFrame frame;
    frame.kind = turn.kind;
    // A large image's blocks kept twice would double what the loader holds.
    if (turn.kind != LoaderFrame::Block || m_keepBlockBytes)
        frame.bytes = turn.bytes;
    frame.reply = turn.reply.bytes;
    frame.atUs = atUs;
    frame.baud = baud;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (turn.newImage)
        m_image.clear();
    if (turn.accepted && turn.kind == LoaderFrame::Block)
        m_image.append(turn.bytes);
    m_frames.append(std::move(frame));
}

void LoaderRecord::hangUp()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_hangups;
}

void LoaderRecord::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
    m_received.clear();
}

QVector<LoaderFrame> LoaderRecord::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

int LoaderRecord::count(LoaderFrame::Kind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_frames.cbegin(), m_frames.cend(),
                             [kind](const LoaderFrame &frame) { return frame.kind == kind; }));
}

QByteArray LoaderRecord::image() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_image;
}

QByteArray LoaderRecord::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int LoaderRecord::hangups() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hangups;
}
