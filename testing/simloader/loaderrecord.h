#pragma once

#include "testing/simloader/loaderframe.h"
#include "testing/simloader/loaderscript.h"

#include <QByteArray>
#include <QVector>

#include <mutex>

// What a simulated loader received and kept: the host's bytes, every frame with its reply, the
// image and the host's hang-ups. Written by the loader's thread, read by anyone at any time.
class LoaderRecord
{
public:
    explicit LoaderRecord(bool keepBlockBytes);

    void receive(const char *data, int size);
    void add(const LoaderScript::Turn &turn, qint64 atUs, int baud);
    void hangUp();
    void clear(); // forgets frames and received bytes, keeps the image and the hang-ups

    QVector<LoaderFrame> frames() const;
    int count(LoaderFrame::Kind kind) const;
    QByteArray image() const; // the accepted part of the image announced by the last header
    QByteArray received() const;
    int hangups() const;

private:
    const bool m_keepBlockBytes;
    mutable std::mutex m_mutex;
    QVector<LoaderFrame> m_frames;
    QByteArray m_received;
    QByteArray m_image;
    int m_hangups = 0;
};
