#include "cli/output.h"

#include <cstring>

#include <unistd.h>

namespace
{
constexpr int StreamWatchMs = 250;
}

Output::Output() : out(STDOUT_FILENO), err(STDERR_FILENO)
{
    // A failed stream is noticed even while nothing is being written.
    connect(&streamWatch, &QTimer::timeout, this, &Output::watch);
    streamWatch.start(StreamWatchMs);
}

void Output::write(Stream stream, const QByteArray &bytes)
{
    watch();
    (stream == Stream::Out ? out : err).write(bytes);
}

void Output::notice(const QString &text)
{
    write(Stream::Err, QString("lumedra-cli: %1\n").arg(text).toLocal8Bit());
}

bool Output::outIdle() const
{
    return out.idle();
}

void Output::watch()
{
    for (const Stream stream : {Stream::Out, Stream::Err}) {
        OutputStream &failing = stream == Stream::Out ? out : err;
        bool &told = stream == Stream::Out ? stdoutLost : stderrLost;
        if (told || failing.error() == 0)
            continue;
        const bool first = !lost();
        told = true;
        if (!first)
            continue;
        // Told once, on the other stream if it still works; the exit status tells it too.
        (stream == Stream::Out ? err : out)
            .write(QString("lumedra-cli: %1 lost (%2); the boards under way finish\n")
                       .arg(stream == Stream::Out ? "standard output" : "standard error",
                            QString::fromLocal8Bit(std::strerror(failing.error())))
                       .toLocal8Bit());
        emit lostNow();
    }
}

bool Output::drain(int timeoutMs)
{
    const bool written = out.drain(timeoutMs) && err.drain(timeoutMs);
    watch();
    return written;
}
