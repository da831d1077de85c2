#include "station/imagesummary.h"

#include "download/memorymap.h"

namespace
{

QString offset(qint64 value)
{
    return "0x" + QString::number(value, 16).toUpper();
}

// An offset into the image, and the address it stands for where the file gave addresses.
QString place(const Image &image, qint64 value)
{
    if (!ImageSpec::hasAddresses(image.format))
        return offset(value);
    return QString("%1 (address %2)").arg(offset(value), MemoryMap::address(image.base + value));
}

// A half-open range of offsets, as --crc32-range takes it, and the addresses it covers.
QString range(const Image &image, qint64 from, qint64 to)
{
    const QString offsets = offset(from) + ':' + offset(to);
    if (!ImageSpec::hasAddresses(image.format))
        return offsets;
    return QString("%1 (addresses %2..%3)")
        .arg(offsets, MemoryMap::address(image.base + from),
             MemoryMap::address(image.base + to - 1));
}

} // namespace

namespace ImageSummary
{

QVector<Row> rows(const Image &image, const std::optional<SerialScheme> &serial)
{
    QVector<Row> rows{{"image", image.path}, {"format", ImageSpec::name(image.format)}};
    for (const Image::Region &region : image.regions)
        rows.append({"region", QString("%1..%2, %3 bytes")
                                   .arg(MemoryMap::address(region.address),
                                        MemoryMap::address(region.address + region.size - 1))
                                   .arg(region.size)});
    rows.append({"base", MemoryMap::address(image.base)});
    rows.append({"fill", "0x" + QString("%1").arg(image.fill, 2, 16, QChar('0')).toUpper()});
    rows.append({"size", QString("%1 bytes, checksum %2").arg(image.size()).arg(image.checksum)});
    rows.append({"SHA-256", QString::fromLatin1(image.sha256)});
    const QString pin = "image-sha256 = " + QString::fromLatin1(image.sha256);
    if (image.pinned) {
        rows.append({"pin", pin + ": the image read has it"});
    } else {
        rows.append(Row{"pin", "none; to pin this image, add to the job's [job]:"});
        rows.append(Row{QString(), pin});
    }
    if (serial) {
        rows.append(
            {"serial",
             QString("at %1, %2 bytes").arg(place(image, serial->offset())).arg(serial->width())});
        if (const std::optional<qint64> crc = serial->crc32Offset())
            rows.append({"crc32", QString("at %1, over %2")
                                      .arg(place(image, *crc),
                                           range(image, serial->crc32From(), serial->crc32To()))});
    }
    return rows;
}

} // namespace ImageSummary
