#include "cli/scanreader.h"

#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int ChunkBytes = 4096;
}

ScanReader::ScanReader(QObject *parent) : QObject(parent) {}

ScanReader::~ScanReader()
{
    delete notifier;
    if (owned)
        ::close(fd);
}

bool ScanReader::open(const QString &path, QString *error)
{
    if (path == "-") {
        fd = STDIN_FILENO;
    } else {
        struct stat info {
        };
        const QByteArray name = QFile::encodeName(path);
        const bool fifo = ::stat(name.constData(), &info) == 0 && S_ISFIFO(info.st_mode);
        // A FIFO opened for writing too neither waits for a writer nor ends when one leaves:
        // a scanner's feeder may come and go while the station runs.
        fd = ::open(name.constData(), (fifo ? O_RDWR | O_NONBLOCK : O_RDONLY) | O_CLOEXEC);
        if (fd < 0) {
            *error = QString("cannot read the scans from %1: %2").arg(path, std::strerror(errno));
            return false;
        }
        owned = true;
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(notifier, &QSocketNotifier::activated, this, &ScanReader::readSome);
    return true;
}

ScanReader::Line ScanReader::parse(const QByteArray &bytes)
{
    const QString line = QString::fromUtf8(bytes).trimmed();
    if (line.isEmpty() || line.startsWith('#'))
        return {};
    static const QRegularExpression named("^([0-9]{1,3})\\s+(\\S.*)$");
    const QRegularExpressionMatch match = named.match(line);
    if (match.hasMatch())
        return {match.captured(1).toInt(), match.captured(2).trimmed()};
    return {0, line};
}

void ScanReader::readSome()
{
    char chunk[ChunkBytes];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        notifier->setEnabled(false);
        if (!partial.isEmpty())
            partial += '\n';
    } else {
        partial.append(chunk, int(got));
    }
    for (int end = partial.indexOf('\n'); end >= 0; end = partial.indexOf('\n')) {
        const Line line = parse(partial.left(end));
        partial.remove(0, end + 1);
        if (!line.code.isEmpty())
            emit scanned(line.code, line.slot);
    }
    if (got <= 0)
        emit ended();
}
