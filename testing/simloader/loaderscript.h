#pragma once

#include "download/protocol.h"
#include "testing/simloader/loaderfaults.h"
#include "testing/simloader/loaderframe.h"

#include <QByteArray>
#include <QVector>

#include <chrono>
#include <random>

// What a simulated loader does with the host's bytes, apart from any line: bytes in, frames
// found and the reply to each out, faults applied. Not thread-safe; its owner feeds it from one
// thread.
//
// Session: from the host's opening of the line to its closing (hangUp()). Closing drops a partial
// frame and makes the next header start a new image.
//
// Conversation: in frame mode a handshake or finish frame gets the ready reply, a header frame
// the accept reply and starts the data phase, which takes the announced bytes block by block
// (each block accepted) and returns to frame mode once all have arrived. A header of the same
// length as an incomplete image of this session resumes it at the first block not yet accepted.
// Bytes that start no known frame come out one by one as Unknown frames and are not answered.
// A frame that draws no reply or a wrong one counts as not accepted: the loader stays in, or
// returns to, frame mode and keeps the image's accepted part, so the host can re-handshake and
// resume.
class LoaderScript
{
public:
    struct Reply {
        QByteArray bytes; // empty: none
        int pieces = 1;
        std::chrono::milliseconds delay{0};
        bool vanish = false; // the loader closes the line instead
    };

    // One frame of the host's and what becomes of it.
    struct Turn {
        LoaderFrame::Kind kind = LoaderFrame::Unknown;
        QByteArray bytes;
        Reply reply;
        bool accepted = false; // the frame counts as accepted; a block's bytes extend the image
        bool newImage = false; // an accepted header that starts the image afresh
        bool complete = false; // the announced image has now all arrived
        quint16 checksum = 0;  // with `complete`: what the image's header announced
        bool flood = false;    // garbage follows the reply from now on
    };

    explicit LoaderScript(const LoaderFaults &faults);

    // The turns `size` host bytes complete, in order; none after one that vanishes.
    QVector<Turn> take(const char *data, int size);
    void hangUp();

private:
    enum class Mode { Frames, Data };

    void takeFrameByte(char byte, QVector<Turn> *turns);
    Turn turn(LoaderFrame::Kind kind, const char *bytes, int size);
    Reply answer(LoaderFrame::Kind kind, int index, bool *right);
    void accept(Turn *turn);
    int roll(int below);

    const LoaderFaults m_faults;
    const bool m_chaos;
    const QByteArray m_ready;
    const QByteArray m_accept;
    Mode m_mode = Mode::Frames;
    char m_frame[Protocol::HeaderFrameLength] = {};
    int m_frameSize = 0;
    char m_block[Protocol::MaxBlockLength] = {};
    int m_blockFill = 0;
    qint64 m_announced = -1; // image length of the session's last accepted header; -1: none
    qint64 m_offset = 0;     // accepted bytes of that image
    quint16 m_headerChecksum = 0;
    int m_seen[LoaderFrame::Unknown] = {}; // frames received per kind, Unknown excluded
    int m_acceptedBlocks = 0;
    std::mt19937 m_random;
};
