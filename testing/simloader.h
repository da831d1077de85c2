#pragma once

#include "download/protocol.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

// A stand-in for the device's loader on the master side of a pseudo-terminal pair. The code
// under test opens portName() through QSerialPort. The loader runs on its own thread, answers
// frames as the protocol expects, stores the image it receives and records every frame with its
// arrival time and the line's baud rate read from the terminal settings.
//
// Session: from the host's opening of the line to its closing. Closing resets the session: a
// partial frame is dropped, reply bytes the host left unread are discarded, and the next header
// starts a new image (image() keeps the last one until then).
//
// Conversation: in frame mode a handshake or finish frame gets the ready reply, a header frame
// the accept reply and starts the data phase, which takes the announced bytes block by block
// (each block accepted) and returns to frame mode once all have arrived. A header of the same
// length as an incomplete image of this session resumes it at the first block not yet accepted.
// Bytes that start no known frame are recorded one by one as Unknown frames and not answered.
// A frame that draws no reply or a wrong one counts as not accepted: the loader stays in, or
// returns to, frame mode and keeps the image's accepted part, so the host can re-handshake and
// resume.
class SimLoader
{
public:
    enum class Step { None, Handshake, Header, Block, Finish };

    // Each reply independently goes wrong with the given probabilities (percent), drawn from a
    // generator seeded with `seed`, so a seed replays the same sequence of replies. The outcome is
    // one of wrong (the other reply token), garbage (1 to 6 random bytes), silent (no reply),
    // vanish (the loader closes the line and stops) or right; their percentages add up to at most
    // 100. Independently of it, what goes out may be split into 2 or 3 pieces, preceded by a stray
    // byte, or delayed by 1 to maxDelayMs. Garbage and stray bytes never contain A5, so they never
    // form a reply token with neighbouring bytes.
    struct Chaos {
        quint32 seed = 1;
        int percentWrong = 0;
        int percentGarbage = 0;
        int percentSilent = 0;
        int percentVanish = 0;
        int percentSplit = 0;
        int percentStray = 0;
        int percentDelay = 0;
        int maxDelayMs = 20;
    };

    // Indices are 1-based and count the frames of that kind received since start(), across
    // sessions, so a fault strikes once per loader, or, with a period ("every") above 0, also
    // at every period-th frame of that kind after the first.
    struct Faults {
        bool silent = false;         // never answers anything
        int answerFromHandshake = 1; // handshakes before the N-th go unanswered
        Step wrongAt = Step::None;   // the wrongIndex-th frame of this kind gets wrongReply
        int wrongIndex = 1;
        int wrongEvery = 0;
        QByteArray wrongReply = {}; // empty: the other reply token
        Step silentAt = Step::None; // the silentIndex-th frame of this kind gets no reply
        int silentIndex = 1;
        int silentEvery = 0;
        Step strayAt = Step::None; // a stray byte goes out before the reply to the
        int strayIndex = 1;        // strayIndex-th frame of this kind
        char strayByte = '\x00';
        int replyPieces = 1;          // each reply written in 1 to 3 pieces: 1 + 2 or 1 + 1 + rest
        int pieceGapMs = 5;           // pause between pieces
        int replyDelayMs = 0;         // pause before each reply
        int throttleBaud = 0;         // 0: instant; otherwise each byte costs 10 / baud s both ways
        int vanishAfterBlocks = -1;   // >= 0: after this many accepted blocks, the next block
                                      // closes the line unanswered and the loader stops
        Step floodAfter = Step::None; // once the floodIndex-th frame of this kind is answered,
        int floodIndex = 1;           // garbage (never A5) goes out as fast as the host takes it
        Chaos chaos = {};
        bool recordBlocks = true; // false: Block frames are recorded without their bytes
    };

    struct Frame {
        enum Kind { Handshake, Header, Block, Finish, Unknown };
        Kind kind = Unknown;
        QByteArray bytes;
        QByteArray reply; // every byte written in answer, stray byte included; empty if none
        qint64 atUs = 0;  // arrival, microseconds since start()
        int baud = 0;     // line rate at arrival; 0 for a rate without a termios constant
    };

    // Called on the loader's thread each time an announced image is complete, with the image
    // and the checksum its header carried.
    using ImageHandler = std::function<void(const QByteArray &image, quint16 headerChecksum)>;

    SimLoader();
    explicit SimLoader(const Faults &faults);
    ~SimLoader();
    SimLoader(const SimLoader &) = delete;
    SimLoader &operator=(const SimLoader &) = delete;

    void setImageHandler(ImageHandler handler); // before start()
    bool start();                         // opens the pty pair and starts serving; false on failure
    QString portName() const;             // the slave's path, e.g. /dev/pts/3
    void stop();                          // stops serving and closes the master
    void inject(const QByteArray &bytes); // writes bytes to the host as if the device sent them

    // Thread-safe snapshots of what happened so far.
    QVector<Frame> frames() const;
    int count(Frame::Kind kind) const;
    QByteArray image() const;    // the accepted part of the image announced by the last header
    QByteArray received() const; // every host byte in arrival order
    int hangups() const;         // times the host closed the line (each resets the session)
    bool vanished() const;
    qint64 flooded() const; // garbage bytes the host has taken from the flood so far
    void clearRecord();     // forgets frames and received bytes, keeps the session

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Frames, Data };
    struct Answer; // what goes out for one frame

    void serve();
    void hangUp();
    void take(const char *data, int size);
    void takeFrameByte(char byte, Clock::time_point at, int baud);
    void onFrame(Frame::Kind kind, const char *bytes, int size, Clock::time_point at, int baud);
    Answer answer(Frame::Kind kind, int index);
    void accept(Frame::Kind kind, const char *bytes, int size);
    void send(const Answer &answer);
    void writeAll(const char *data, int size);
    void record(Frame::Kind kind, const char *bytes, int size, const QByteArray &reply,
                Clock::time_point at, int baud);
    void flood();
    int lineBaud() const;
    int roll(int below);
    Clock::duration lineTime(qint64 bytes) const;

    const Faults m_faults;
    const bool m_chaos;
    ImageHandler m_imageHandler;
    const QByteArray m_ready;
    const QByteArray m_accept;
    int m_masterFd = -1;
    int m_wakeFd = -1;
    QString m_portName;
    std::thread m_thread;
    Clock::time_point m_start;

    // Owned by the serving thread.
    Mode m_mode = Mode::Frames;
    char m_frame[Protocol::HeaderFrameLength] = {};
    int m_frameSize = 0;
    char m_block[Protocol::MaxBlockLength] = {};
    int m_blockFill = 0;
    qint64 m_announced = -1; // image length of the session's last accepted header; -1: none
    qint64 m_offset = 0;     // accepted bytes of that image
    quint16 m_headerChecksum = 0;
    int m_seen[Frame::Unknown] = {}; // frames received per kind, Unknown excluded
    int m_acceptedBlocks = 0;
    Clock::time_point m_lineFree;
    std::mt19937 m_random;

    mutable std::mutex m_mutex; // guards the members below
    QVector<Frame> m_frames;
    QByteArray m_received;
    QByteArray m_image;
    int m_hangups = 0;
    std::atomic<bool> m_vanished{false};
    std::atomic<bool> m_flooding{false};
    std::atomic<qint64> m_flooded{0};
};

// Fault settings travel through the tests' data tables.
Q_DECLARE_METATYPE(SimLoader::Faults)
