#pragma once

#include "download/image.h"

#include <QByteArray>
#include <QString>

#include <optional>

class Transaction;

// The base images runs sent, each kept once under its SHA-256 with its format, base and fill, so
// that what a board received can be rebuilt after the file on the share is gone. One over the
// limit is recorded by its hash and what it was made from, without its bytes.
class ImageArchive
{
public:
    static constexpr qint64 KeptLimit = qint64(64) << 20;

    struct Entry {
        QString sha256;
        QString format; // as --image-format names it
        quint64 base = 0;
        quint8 fill = 0;
        QByteArray bytes;
    };

    // An image of this size is recorded by its hash only.
    static bool tooBig(qint64 size) { return size > KeptLimit; }
    // Within `transaction`: records the image, with its bytes unless too big, unless the store
    // holds it already.
    static bool keep(Transaction &transaction, const Image &image, QString *error);
    // Within `transaction`: the kept image, its bytes checked against its SHA-256. Nullopt when
    // the store cannot be read, has no such image, or holds only its hash; `error` says which.
    static std::optional<Entry> kept(Transaction &transaction, const QString &sha256,
                                     QString *error);
};
