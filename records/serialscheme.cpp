#include "records/serialscheme.h"

#include "download/imagefile.h"
#include "records/crc32.h"
#include "records/numberformat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

#include <limits>

namespace
{
constexpr int CrcBytes = 4;
// A list of numbers needs no more: millions of lines.
constexpr qint64 MaxListBytes = qint64(64) << 20;

const QStringList Keys{"at",   "format", "prefix",   "start",      "step",
                       "end",  "list",   "crc32-at", "crc32-range"};

bool number(const QString &text, quint64 *value)
{
    return NumberFormat::number(text, value);
}

bool place(const QString &text, qint64 *value)
{
    quint64 parsed = 0;
    if (!number(text, &parsed) || parsed > quint64(std::numeric_limits<qint64>::max()))
        return false;
    *value = qint64(parsed);
    return true;
}

// Positions and widths are user-given up to 2^63 - 1: none of these sums them, which could
// overflow.
bool overlap(qint64 a, qint64 aSize, qint64 b, qint64 bSize)
{
    return a <= b ? b - a < aSize : a - b < bSize;
}

bool inside(qint64 at, qint64 width, qint64 size)
{
    return width <= size && at <= size - width;
}
} // namespace

std::optional<SerialScheme> SerialScheme::fromFields(const QMap<QString, QString> &fields,
                                                     const QString &baseDir, QString *error,
                                                     const QString &name)
{
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        if (!Keys.contains(it.key())) {
            *error = QString("unknown serial setting '%1'").arg(it.key());
            return std::nullopt;
        }
    SerialScheme scheme;
    scheme.poolName = name;
    scheme.given = fields;
    if (!fields.contains("at") || !place(fields["at"], &scheme.at)) {
        *error = fields.contains("at")
                     ? QString("serial offset '%1' is not a number").arg(fields["at"])
                     : QString("a serial number needs its offset (at)");
        return std::nullopt;
    }
    if (!scheme.parseFormat(fields.value("format"), error))
        return std::nullopt;
    scheme.prefix = fields.value("prefix").toLatin1();
    if (!scheme.prefix.isEmpty()) {
        if (!scheme.format->takesPrefix()) {
            *error = "a serial prefix goes with the dec and bcd formats only";
            return std::nullopt;
        }
        if (fields.value("prefix") != QString::fromLatin1(scheme.prefix) ||
            scheme.prefix.size() >= scheme.bytes) {
            *error = QString("serial prefix '%1' must be Latin-1 and shorter than the width %2")
                         .arg(fields.value("prefix"))
                         .arg(scheme.bytes);
            return std::nullopt;
        }
    }
    const bool listed = fields.contains("list");
    if (listed == fields.contains("start")) {
        *error = listed ? "a serial list and a start exclude each other"
                        : "serial numbers need a start or a list";
        return std::nullopt;
    }
    if (listed && fields.contains("step")) {
        *error = "a serial step goes with a start, not with a list";
        return std::nullopt;
    }
    if (listed) {
        if (!scheme.readList(QDir(baseDir).absoluteFilePath(fields["list"]), error))
            return std::nullopt;
    } else {
        if (!number(fields["start"], &scheme.start)) {
            *error = QString("serial start '%1' is not a number").arg(fields["start"]);
            return std::nullopt;
        }
        if (fields.contains("step") &&
            (!number(fields["step"], &scheme.step) || scheme.step == 0)) {
            *error = QString("serial step '%1' is not a positive number").arg(fields["step"]);
            return std::nullopt;
        }
        if (scheme.start > scheme.largest()) {
            *error =
                QString("serial start %1 does not fit %2").arg(scheme.start).arg(fields["format"]);
            return std::nullopt;
        }
    }
    if (fields.contains("end") && !scheme.readEnd(fields["end"], listed, error))
        return std::nullopt;
    const bool crcAt = fields.contains("crc32-at");
    if (crcAt != fields.contains("crc32-range")) {
        *error = "crc32-at and crc32-range go together";
        return std::nullopt;
    }
    if (crcAt) {
        qint64 at = 0;
        if (!place(fields["crc32-at"], &at)) {
            *error = QString("CRC offset '%1' is not a number").arg(fields["crc32-at"]);
            return std::nullopt;
        }
        scheme.crcAt = at;
        const QStringList range = fields["crc32-range"].split(':');
        if (range.size() != 2 || !place(range[0], &scheme.crcFrom) ||
            !place(range[1], &scheme.crcTo) || scheme.crcFrom >= scheme.crcTo) {
            *error = QString("CRC range '%1' is not FROM:TO with FROM below TO")
                         .arg(fields["crc32-range"]);
            return std::nullopt;
        }
        if (overlap(at, CrcBytes, scheme.crcFrom, scheme.crcTo - scheme.crcFrom)) {
            *error = QString("the CRC field at %1 lies inside its own range %2")
                         .arg(at)
                         .arg(fields["crc32-range"]);
            return std::nullopt;
        }
        if (overlap(at, CrcBytes, scheme.at, scheme.bytes)) {
            *error = QString("the serial field (%1 bytes at %2) overlaps the CRC field at %3")
                         .arg(scheme.bytes)
                         .arg(scheme.at)
                         .arg(at);
            return std::nullopt;
        }
    }
    return scheme;
}

bool SerialScheme::parseFormat(const QString &text, QString *error)
{
    const std::optional<NumberFormat> parsed = NumberFormat::parse(text, error);
    if (!parsed)
        return false;
    format = *parsed;
    bytes = format->width();
    return true;
}

bool SerialScheme::readList(const QString &path, QString *error)
{
    // Read once, whole, and only from a regular file: a FIFO would block, /dev/zero never end.
    QByteArray content;
    QString reason;
    switch (ImageFile::read(path, &content, &reason, MaxListBytes)) {
    case ImageFile::Status::Ok:
        break;
    case ImageFile::Status::TooLarge:
        *error = QString("the serial list %1 is %2 (64 MiB)").arg(path, reason);
        return false;
    case ImageFile::Status::NotRegular:
    case ImageFile::Status::CannotOpen:
    case ImageFile::Status::ReadFailed:
        *error = QString("cannot read the serial list %1: %2").arg(path, reason);
        return false;
    }
    listDigest =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    // No number that fits is written longer than this, in decimal or in hex after 0x.
    const int widest =
        qMax(QByteArray::number(largest()).size(), 2 + QByteArray::number(largest(), 16).size());
    QSet<quint64> seen;
    int lineNumber = 0;
    for (const QByteArray &raw : content.split('\n')) {
        ++lineNumber;
        const QByteArray trimmed = raw.trimmed();
        if (trimmed.size() > widest) {
            *error = QString("%1 line %2 is longer than any number the serial field holds (%3 "
                             "characters)")
                         .arg(path)
                         .arg(lineNumber)
                         .arg(widest);
            return false;
        }
        const QString line = QString::fromUtf8(trimmed);
        if (line.isEmpty())
            continue;
        quint64 value = 0;
        if (!number(line, &value)) {
            *error =
                QString("%1 line %2: '%3' is not a number").arg(path).arg(lineNumber).arg(line);
            return false;
        }
        if (value > largest()) {
            *error = QString("%1 line %2: %3 does not fit the serial field")
                         .arg(path)
                         .arg(lineNumber)
                         .arg(value);
            return false;
        }
        if (seen.contains(value)) {
            *error = QString("%1 line %2: %3 is listed twice").arg(path).arg(lineNumber).arg(value);
            return false;
        }
        seen.insert(value);
        list << value;
    }
    if (list.isEmpty()) {
        *error = QString("the serial list %1 holds no number").arg(path);
        return false;
    }
    return true;
}

bool SerialScheme::fits(qint64 imageSize, QString *error) const
{
    if (!inside(at, bytes, imageSize)) {
        *error = QString("the serial field (%1 bytes at %2) lies outside the %3-byte image")
                     .arg(bytes)
                     .arg(at)
                     .arg(imageSize);
        return false;
    }
    if (crcAt && !inside(*crcAt, CrcBytes, imageSize)) {
        *error = QString("the CRC field at %1 lies outside the %2-byte image")
                     .arg(*crcAt)
                     .arg(imageSize);
        return false;
    }
    if (crcAt && crcTo > imageSize) {
        *error = QString("the CRC range %1:%2 reaches past the %3-byte image")
                     .arg(crcFrom)
                     .arg(crcTo)
                     .arg(imageSize);
        return false;
    }
    return true;
}

quint64 SerialScheme::largest() const
{
    return format->largest(prefix.size());
}

bool SerialScheme::readEnd(const QString &text, bool listed, QString *error)
{
    if (listed) {
        *error = "a serial end goes with a start, not with a list";
        return false;
    }
    quint64 value = 0;
    if (!number(text, &value) || value < start || value > largest()) {
        *error = QString("serial end '%1' is not a number from the start %2 to the largest the "
                         "field holds")
                     .arg(text)
                     .arg(format->text(start, prefix));
        return false;
    }
    last = value;
    return true;
}

qint64 SerialScheme::capacity() const
{
    if (!list.isEmpty())
        return list.size();
    // Never past the end: a pool that has run out stops, it does not wrap.
    const quint64 steps = (last.value_or(largest()) - start) / step;
    return steps >= quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                : qint64(steps) + 1;
}

SerialValue SerialScheme::valueAt(qint64 index) const
{
    if (!list.isEmpty())
        return {index, list[index]};
    return {index, start + quint64(index) * step};
}

QByteArray SerialScheme::patched(const QByteArray &base, const SerialValue &value) const
{
    return withCrc(withField(base, value));
}

QByteArray SerialScheme::withField(const QByteArray &base, const SerialValue &value) const
{
    QByteArray bytesOut = base;
    bytesOut.replace(int(at), bytes, format->encode(value.number, prefix));
    return bytesOut;
}

QByteArray SerialScheme::withCrc(const QByteArray &patched) const
{
    QByteArray bytesOut = patched;
    if (crcAt) {
        const quint32 crc = crc32Ieee(bytesOut.constData() + crcFrom, crcTo - crcFrom);
        char field[CrcBytes];
        qToLittleEndian(crc, field);
        bytesOut.replace(int(*crcAt), CrcBytes, field, CrcBytes);
    }
    return bytesOut;
}

QString SerialScheme::text(const SerialValue &value) const
{
    return format->text(value.number, prefix);
}

QString SerialScheme::lastText() const
{
    return text(valueAt(capacity() - 1));
}

QString SerialScheme::ranOutText(const QString &name, const QString &last)
{
    if (name == SerialPool)
        return QString("no serial numbers left (last %1)").arg(last);
    return QString("no numbers left in pool %1 (last %2)").arg(name, last);
}

QString SerialScheme::key() const
{
    // A named pool is its own sequence even where its numbers equal those of [serial].
    const QString named = poolName == SerialPool ? QString() : QString("pool=%1 ").arg(poolName);
    if (!list.isEmpty())
        return named + QString("list sha256=%1").arg(listDigest);
    return named + QString("prefix=%1 start=%2 step=%3")
                       .arg(QString::fromLatin1(prefix))
                       .arg(start)
                       .arg(step);
}

QString SerialScheme::describe() const
{
    QString words = format->name();
    if (!prefix.isEmpty())
        words += QString(" after the prefix \"%1\"").arg(QString::fromLatin1(prefix));
    if (!list.isEmpty())
        return words +
               QString(", %1 listed numbers (list SHA-256 %2)").arg(list.size()).arg(listDigest);
    const auto shown = [this](quint64 number) {
        return format->isAddress() ? format->text(number, prefix) : QString::number(number);
    };
    return words + QString(", from %1 in steps of %2%3, %4 numbers in all")
                       .arg(shown(start))
                       .arg(step)
                       .arg(last ? " to " + shown(*last) : QString())
                       .arg(capacity());
}
