#include "download/image.h"

#include "download/elfimage.h"
#include "download/imagefile.h"
#include "download/intelhex.h"
#include "download/memorymap.h"
#include "download/protocol.h"
#include "download/recordlines.h"
#include "download/srecord.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>
#include <utility>

namespace
{
std::optional<Image> refused(QString *error, const QString &why)
{
    *error = why;
    return std::nullopt;
}

constexpr char ElfMagic[] = "\x7F"
                            "ELF";
// The longest first line a text memory map has: a start, a type and a record's digits.
constexpr int LongestLine = 2 + 2 * RecordLines::MaxBytes + 2;

// By content, unless the name says raw: a .bin is never parsed, whatever it starts with.
ImageFormat detect(const QString &path, const QByteArray &bytes)
{
    if (path.endsWith(".bin", Qt::CaseInsensitive))
        return ImageFormat::Binary;
    if (bytes.startsWith(ElfMagic))
        return ImageFormat::Elf;
    QByteArray first = bytes.left(LongestLine);
    first = first.left(first.indexOf('\n')).trimmed();
    static const QRegularExpression hex("^:[0-9A-Fa-f]+$"), srec("^[Ss][0-9][0-9A-Fa-f]+$");
    const QString line = QString::fromLatin1(first);
    if (hex.match(line).hasMatch())
        return ImageFormat::IntelHex;
    if (srec.match(line).hasMatch())
        return ImageFormat::SRecord;
    return ImageFormat::Binary;
}

bool readMap(ImageFormat format, QByteArray bytes, MemoryMap *map, QString *error)
{
    switch (format) {
    case ImageFormat::IntelHex:
        return IntelHex::read(bytes, map, error);
    case ImageFormat::SRecord:
        return SRecord::read(bytes, map, error);
    case ImageFormat::Elf:
        return ElfImage::read(std::move(bytes), map, error);
    case ImageFormat::Binary:
        break;
    }
    return false;
}

} // namespace

quint16 imageChecksum(const QByteArray &bytes)
{
    return quint16(byteSum(bytes.constData(), bytes.size()));
}

Image Image::fromBytes(const QByteArray &bytes, const QString &path)
{
    Image image;
    image.bytes = bytes;
    image.checksum = imageChecksum(bytes);
    image.path = path;
    image.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    image.regions = {{0, bytes.size()}};
    return image;
}

std::optional<Image> Image::load(const QString &path, const ImageSpec &spec, QString *error)
{
    QByteArray bytes;
    QString reason;
    switch (ImageFile::read(path, &bytes, &reason)) {
    case ImageFile::Status::Ok:
        break;
    case ImageFile::Status::NotRegular:
        return refused(error, QString("%1 is %2").arg(path, reason));
    case ImageFile::Status::TooLarge:
        return refused(error, QString("%1 is %2").arg(path, reason));
    case ImageFile::Status::CannotOpen:
    case ImageFile::Status::ReadFailed:
        return refused(error, QString("cannot read %1: %2").arg(path, reason));
    }
    if (bytes.isEmpty())
        return refused(error, QString("%1 is empty").arg(path));

    const ImageFormat format = spec.format.value_or(detect(path, bytes));
    const QString absolute = QFileInfo(path).absoluteFilePath();
    Image image;
    if (format == ImageFormat::Binary) {
        const qint64 read = bytes.size();
        if (spec.size && *spec.size < read)
            return refused(error,
                           QString("%1 holds %2 bytes, more than the image's size of %3 bytes")
                               .arg(path)
                               .arg(read)
                               .arg(*spec.size));
        if (spec.size) {
            bytes.resize(int(*spec.size));
            std::memset(bytes.data() + read, spec.fill, size_t(*spec.size - read));
        }
        image = fromBytes(bytes, absolute);
        image.base = spec.base.value_or(0);
        image.regions = {{image.base, read}};
    } else {
        MemoryMap map(path, format == ImageFormat::Elf ? MemoryMap::Unit::Segment
                                                       : MemoryMap::Unit::Line);
        // The file's own bytes go before the image is made: a large map is never held twice over.
        bool read = readMap(format, std::exchange(bytes, {}), &map, error);
        if (read && map.isEmpty())
            return refused(error, QString("%1 places no data").arg(path));
        quint64 base = 0;
        const std::optional<QByteArray> filled =
            read ? map.image(spec, &base, error) : std::nullopt;
        if (!filled)
            return std::nullopt;
        image = fromBytes(*filled, absolute);
        image.base = base;
        image.regions = map.regions();
    }
    image.format = format;
    image.fill = spec.fill;
    image.pinned = !spec.sha256.isEmpty();
    if (image.pinned && image.sha256 != spec.sha256)
        return refused(
            error,
            QString("%1 is not the pinned image: its SHA-256 is %2, the pin is %3")
                .arg(path, QString::fromLatin1(image.sha256), QString::fromLatin1(spec.sha256)));
    return image;
}
