#pragma once

#include <QByteArray>

#include <memory>

// Writes to one of the process's standard streams from a thread of its own, so that a reader
// that stops reading never holds up the main thread: stop signals, the boards' events and the
// summary all go on. A stream that fails (a closed pipe, a full disk) or falls too far behind is
// given up.
class OutputStream
{
public:
    explicit OutputStream(int fd);
    ~OutputStream();
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    void write(const QByteArray &bytes); // never blocks
    bool idle() const;                   // everything written (or given up)
    int error() const;                   // why the stream was given up; 0 while it works
    // Waits at most `timeoutMs` for everything to be written; false if the reader did not take it.
    bool drain(int timeoutMs);

private:
    struct State;
    std::shared_ptr<State> state; // shared with the writer, which may outlive a stuck close
};
