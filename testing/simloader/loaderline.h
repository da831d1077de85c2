#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <span>
#include <vector>

// A simulated loader's end of the line: the master side of a pseudo-terminal pair whose slave the
// host opens, paced as a serial line of a given rate when asked to. wait() runs on the loader's
// thread; wake() and write() may come from any thread.
class LoaderLine
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Event { Input, HangUp, Stop };

    explicit LoaderLine(int throttleBaud); // 0: bytes cost no time
    ~LoaderLine();
    LoaderLine(const LoaderLine &) = delete;
    LoaderLine &operator=(const LoaderLine &) = delete;

    bool open(); // false on failure, or when already open
    bool isOpen() const { return m_masterFd >= 0; }
    void close();
    QString portName() const; // the slave's path, e.g. /dev/pts/3
    Clock::time_point openedAt() const;

    // Blocks until the host writes (input() then holds its bytes), closes the line, or wake()
    // is called. A hang-up discards what the host left unread and ends a flood.
    Event wait();
    std::span<const char> input() const;
    void wake();

    // When the last of `size` bytes just read arrived on a paced line, sleeping until then; now
    // on an unpaced one.
    Clock::time_point arrival(int size);
    // The line's rate as the host set it; 0 for a rate without a termios constant.
    int baud() const;
    // Writes `bytes` after `delay`, in `pieces` (all but the last one byte) `pieceGap` apart; on
    // a paced line the reply starts as the frame's last byte arrives.
    void reply(const QByteArray &bytes, int pieces, std::chrono::milliseconds delay,
               std::chrono::milliseconds pieceGap);
    void write(const char *data, int size);
    void startFlood(); // garbage (never A5) as fast as the host takes it, until it hangs up
    qint64 flooded() const;
    void drop(); // closes the master: the host sees the device go

private:
    void flood();
    void flushHost();
    bool pause();
    Clock::duration lineTime(qint64 bytes) const;

    const int m_throttleBaud;
    int m_masterFd = -1;
    int m_wakeFd = -1;
    QString m_portName;
    Clock::time_point m_openedAt;

    // Owned by the waiting thread.
    std::vector<char> m_buffer;
    int m_got = 0;
    bool m_online = false; // the host holds the slave, as far as seen
    bool m_pausing = false;
    Clock::time_point m_lineFree;

    std::atomic<bool> m_flooding{false};
    std::atomic<qint64> m_flooded{0};
};
