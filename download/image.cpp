#include "download/image.h"

#include "download/imagefile.h"
#include "download/protocol.h"

#include <QCryptographicHash>
#include <QFileInfo>

quint16 imageChecksum(const QByteArray &bytes)
{
    return quint16(byteSum(bytes.constData(), bytes.size()));
}

Image Image::fromBytes(const QByteArray &bytes, const QString &path)
{
    return {bytes, imageChecksum(bytes), path,
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()};
}

ImageLoad Image::load(const QString &path)
{
    QByteArray bytes;
    QString reason;
    switch (ImageFile::read(path, &bytes, &reason)) {
    case ImageFile::Status::Ok:
        break;
    case ImageFile::Status::NotRegular:
        return {{}, ImageLoad::Error::NotRegular, QString("%1 is %2").arg(path, reason)};
    case ImageFile::Status::TooLarge:
        return {{}, ImageLoad::Error::TooLarge, QString("%1 is %2").arg(path, reason)};
    case ImageFile::Status::CannotOpen:
    case ImageFile::Status::ReadFailed:
        return {{},
                QFileInfo::exists(path) || path.isEmpty() ? ImageLoad::Error::Unreadable
                                                          : ImageLoad::Error::Missing,
                QString("cannot read %1: %2").arg(path, reason)};
    }
    if (bytes.isEmpty())
        return {{}, ImageLoad::Error::Empty, QString("%1 is empty").arg(path)};
    return {fromBytes(bytes, QFileInfo(path).absoluteFilePath()), ImageLoad::Error::None, {}};
}
