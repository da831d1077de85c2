#include "records/numberpools.h"

namespace
{
constexpr int CrcBytes = 4;

// Offsets and widths reach 2^63 - 1: the test never adds them, which could overflow.
bool overlap(qint64 a, qint64 aSize, qint64 b, qint64 bSize)
{
    return a <= b ? b - a < aSize : a - b < bSize;
}

QString section(const SerialScheme &scheme)
{
    return scheme.name() == SerialScheme::SerialPool ? QString("[serial]")
                                                     : QString("[serial.%1]").arg(scheme.name());
}
} // namespace

NumberPools::NumberPools(const std::optional<SerialScheme> &serial,
                         const QVector<SerialScheme> &named)
{
    if (serial)
        schemes << *serial;
    schemes << named;
}

const SerialScheme *NumberPools::find(const QString &name) const
{
    for (const SerialScheme &scheme : schemes)
        if (scheme.name() == name)
            return &scheme;
    return nullptr;
}

bool NumberPools::check(QString *error) const
{
    const SerialScheme *crc = nullptr;
    for (const SerialScheme &scheme : schemes) {
        if (!scheme.crc32Offset())
            continue;
        if (crc) {
            *error = QString("%1 and %2 both have a CRC: one CRC covers every number, set it in "
                             "one section")
                         .arg(section(*crc), section(scheme));
            return false;
        }
        crc = &scheme;
    }
    for (int i = 0; i < schemes.size(); ++i) {
        const SerialScheme &one = schemes[i];
        for (int j = i + 1; j < schemes.size(); ++j) {
            const SerialScheme &other = schemes[j];
            if (overlap(one.offset(), one.width(), other.offset(), other.width())) {
                *error =
                    QString("the fields of %1 (%2 bytes at %3) and %4 (%5 bytes at %6) overlap")
                        .arg(section(one))
                        .arg(one.width())
                        .arg(one.offset())
                        .arg(section(other))
                        .arg(other.width())
                        .arg(other.offset());
                return false;
            }
        }
        if (crc && overlap(one.offset(), one.width(), *crc->crc32Offset(), CrcBytes)) {
            *error = QString("the field of %1 (%2 bytes at %3) overlaps the CRC field at %4")
                         .arg(section(one))
                         .arg(one.width())
                         .arg(one.offset())
                         .arg(*crc->crc32Offset());
            return false;
        }
    }
    return true;
}

bool NumberPools::fits(qint64 imageSize, QString *error) const
{
    for (const SerialScheme &scheme : schemes) {
        QString why;
        if (!scheme.fits(imageSize, &why)) {
            *error = schemes.size() > 1 ? section(scheme) + ": " + why : why;
            return false;
        }
    }
    return true;
}

QByteArray NumberPools::patched(const QByteArray &base,
                                const QMap<QString, SerialValue> &values) const
{
    QByteArray bytes = base;
    const SerialScheme *crc = nullptr;
    for (const SerialScheme &scheme : schemes) {
        if (values.contains(scheme.name()))
            bytes = scheme.withField(bytes, values[scheme.name()]);
        if (scheme.crc32Offset())
            crc = &scheme;
    }
    return crc ? crc->withCrc(bytes) : bytes;
}
