#include "download/imagefile.h"

#include "download/filekind.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

ImageFile::Status fail(ImageFile::Status status, const QString &text, QByteArray *image,
                       QString *reason)
{
    image->clear();
    if (reason)
        *reason = text;
    return status;
}

QString tooLarge(qint64 size, qint64 limit)
{
    return QStringLiteral("too large: %1 bytes, the limit is %2 bytes").arg(size).arg(limit);
}

} // namespace

ImageFile::Status ImageFile::read(const QString &path, QByteArray *image, QString *reason,
                                  qint64 limit)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {
    };
    if (path.isEmpty() || ::stat(name.constData(), &info) != 0)
        return fail(Status::CannotOpen,
                    path.isEmpty() ? QStringLiteral("no file")
                                   : QString::fromLocal8Bit(std::strerror(errno)),
                    image, reason);
    if (!S_ISREG(info.st_mode))
        return fail(Status::NotRegular,
                    QStringLiteral("not a regular file (%1)").arg(kindOf(info.st_mode)), image,
                    reason);
    if (info.st_size > limit)
        return fail(Status::TooLarge, tooLarge(info.st_size, limit), image, reason);

    // Non-blocking, in case the name was swapped for a FIFO since the check; the open file is
    // checked once more, and it is what gets read.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(Status::CannotOpen, QString::fromLocal8Bit(std::strerror(errno)), image,
                    reason);
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return fail(Status::NotRegular, QStringLiteral("not a regular file"), image, reason);
    if (info.st_size > limit)
        return fail(Status::TooLarge, tooLarge(info.st_size, limit), image, reason);

    // Let go of a previous image first, so that a large one is never held twice.
    image->clear();
    *image = file.read(info.st_size);
    // A file that grew since is read on, up to the limit.
    while (file.error() == QFileDevice::NoError && image->size() <= limit) {
        const QByteArray more = file.read(1 << 20);
        if (more.isEmpty())
            break;
        if (image->size() + qint64(more.size()) > limit)
            return fail(Status::TooLarge, tooLarge(image->size() + qint64(more.size()), limit),
                        image, reason);
        image->append(more);
    }
    if (file.error() != QFileDevice::NoError)
        return fail(Status::ReadFailed, file.errorString(), image, reason);
    return Status::Ok;
}
