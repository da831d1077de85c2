#pragma once

#include <QString>

#include <sys/types.h>

// A pseudo-terminal for the tests that look at a port from outside, as the doctor does: it lives
// as long as this object, which keeps its master end. hold() gives it a holder in another process,
// as a terminal program holds a port: `sleep` with the terminal as its standard input, killed
// with this object.
class HeldPty
{
public:
    HeldPty();
    ~HeldPty();
    HeldPty(const HeldPty &) = delete;
    HeldPty &operator=(const HeldPty &) = delete;

    bool isOpen() const { return m_master >= 0; }
    QString name() const { return m_name; } // e.g. /dev/pts/7
    // Starts the holder, first setting the terminal's exclusive flag (TIOCEXCL) if asked. True
    // once the holder's descriptor shows in /proc.
    bool hold(bool exclusive = false);
    pid_t holder() const { return m_holder; }

private:
    int m_master = -1;
    QString m_name;
    pid_t m_holder = -1;
};
