#pragma once

#include <QByteArray>
#include <QString>

// Reads a program image whole. Only a regular file is an image, and whether it is one is decided
// before it is opened: a FIFO would block the open, a device such as /dev/zero would never end.
class ImageFile
{
public:
    // The largest image: what one byte array holds (2 GiB less its header), rounded down to a
    // whole MiB. The header frame's 32-bit length field holds it too.
    static constexpr qint64 MaxLength = (qint64(1) << 31) - (1 << 20);

    // A status as well as a reason: the window only needs to know whether a file was read, and a
    // serial list words a file too large otherwise than one it cannot read.
    enum class Status { Ok, CannotOpen, NotRegular, TooLarge, ReadFailed };

    // Fills `image` on Ok and clears it otherwise; `reason` says why, for a user's eyes. A file
    // larger than `limit` bytes is TooLarge.
    static Status read(const QString &path, QByteArray *image, QString *reason = nullptr,
                       qint64 limit = MaxLength);
};
