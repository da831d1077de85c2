#include "station/boardlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

BoardLog::~BoardLog()
{
    if (fd >= 0)
        ::close(fd);
}

bool BoardLog::open(const QString &path, QString *error)
{
    // Non-blocking: a FIFO without a reader fails here instead of holding the run forever.
    fd = ::open(QFile::encodeName(path).constData(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = QString("cannot open the log %1: %2").arg(path, std::strerror(errno));
        return false;
    }
    // Open, a slow reader is waited for like a slow disk.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

void BoardLog::close()
{
    QMutexLocker lock(&mutex);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool BoardLog::write(const BoardOutcome &outcome, QString *error)
{
    const auto orNull = [](const QString &text) {
        return text.isEmpty() ? QJsonValue() : QJsonValue(text);
    };
    // "serial" is the adapter's USB serial number: the board's own has a key of its own.
    QJsonObject fields{{"event", "board"},
                       {"slot", outcome.slot},
                       {"board", outcome.board},
                       {"port", outcome.port},
                       {"vid", orNull(outcome.usb.vendorId)},
                       {"pid", orNull(outcome.usb.productId)},
                       {"serial", orNull(outcome.usb.serial)},
                       {"location", orNull(outcome.usb.location)},
                       {"image", outcome.image.path},
                       {"size", outcome.image.bytes.size()},
                       {"checksum", outcome.image.checksum},
                       {"sha256", QString::fromLatin1(outcome.image.sha256)},
                       {"result", outcomeName(outcome.outcome)},
                       {"reason", outcome.reason},
                       {"seconds", outcome.seconds},
                       {"attempts", outcome.attempts},
                       {"time", outcome.time.toString(Qt::ISODateWithMs)}};
    if (outcome.run > 0)
        fields.insert("run", outcome.run);
    if (outcome.fate != BoardRecord::Fate::None)
        fields.insert("board_serial", outcome.boardSerial);
    if (outcome.numbered()) {
        QJsonObject numbers;
        for (const BoardRecord::Number &number : outcome.numbers)
            numbers.insert(number.name, number.text);
        fields.insert("numbers", numbers);
        fields.insert("received_sha256", QString::fromLatin1(outcome.receivedSha256));
    }
    fields.insert("board_label", orNull(outcome.label));
    fields.insert("reflash", outcome.reflash);
    if (write(fields))
        return true;
    *error = QStringLiteral("the log could not be written");
    return false;
}

bool BoardLog::write(QJsonObject fields)
{
    if (!fields.contains("time"))
        fields.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert("host", QSysInfo::machineHostName());
    fields.insert("version", QCoreApplication::applicationVersion());
    if (!stationId.isEmpty())
        fields.insert("station", stationId);
    // On every line, null when none: a reader finds who and which lot without looking back.
    fields.insert("operator", who.isEmpty() ? QJsonValue() : QJsonValue(who));
    fields.insert("lot", lot.isEmpty() ? QJsonValue() : QJsonValue(lot));
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';

    QMutexLocker lock(&mutex);
    if (broken || fd < 0)
        return false;
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        done += written;
    }
    // A pipe or a terminal has nothing to sync; only a file's failure counts.
    if (done == line.size() && (::fsync(fd) == 0 || errno == EINVAL))
        return true;
    broken = true;
    emit failed(QString("the log could not be written: %1").arg(std::strerror(errno)));
    return false;
}
