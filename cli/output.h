#pragma once

#include "cli/outputstream.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// lumedra-cli's standard output and error. Output is written from threads of its own and never
// waited on: a stream that cannot be written (a closed pipe, a full disk, a reader gone quiet) is
// given up, told once on the other stream, and the downloads go on.
class Output : public QObject
{
    Q_OBJECT

public:
    enum class Stream { Out, Err };

    Output();

    void write(Stream stream, const QByteArray &bytes);
    void notice(const QString &text); // one line for the human, on stderr
    bool outIdle() const;             // stdout has taken everything so far
    bool outLost() const { return stdoutLost; }
    bool lost() const { return stdoutLost || stderrLost; }
    // Waits at most `timeoutMs` for the output to be taken; false if it was not.
    bool drain(int timeoutMs);

signals:
    void lostNow(); // once, when a stream could not be written

private:
    void watch();

    OutputStream out;
    OutputStream err;
    QTimer streamWatch;
    bool stdoutLost = false; // told
    bool stderrLost = false;
};
