#include "download/imagespec.h"

#include "download/imagefile.h"

#include <QRegularExpression>

namespace
{
bool failed(QString *error, const QString &what)
{
    *error = what;
    return false;
}

constexpr int Sha256Digits = 64;

const QStringList FormatWords{"bin", "ihex", "srec", "elf"};

// Decimal, or hexadecimal after 0x: how addresses and sizes are written everywhere.
std::optional<quint64> number(const QString &text)
{
    static const QRegularExpression form("^(0[xX][0-9a-fA-F]{1,16}|[0-9]{1,20})$");
    if (!form.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const bool hex = text.size() > 2 && text[1].toLower() == 'x';
    const quint64 value = hex ? text.mid(2).toULongLong(&ok, 16) : text.toULongLong(&ok, 10);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

} // namespace

const QStringList &ImageSpec::keys()
{
    static const QStringList keys{"image-format", "image-base", "fill", "image-size",
                                  "image-sha256"};
    return keys;
}

bool ImageSpec::set(const QString &key, const QString &name, const QString &text, QString *error)
{
    const std::optional<quint64> value = number(text);
    if (key == "image-format") {
        const int index = FormatWords.indexOf(text);
        if (index < 0)
            return failed(error,
                          QString("%1 '%2' is none of %3").arg(name, text, FormatWords.join(", ")));
        format = ImageFormat(index);
    } else if (key == "image-base") {
        if (!value)
            return failed(error,
                          QString("%1 '%2' is not an address (decimal, or hexadecimal after 0x)")
                              .arg(name, text));
        base = *value;
    } else if (key == "fill") {
        if (!value || *value > 0xFF)
            return failed(
                error,
                QString("%1 '%2' is not a byte (0 to 255, or 0x00 to 0xFF)").arg(name, text));
        fill = quint8(*value);
    } else if (key == "image-size") {
        if (!value || *value == 0 || *value > quint64(ImageFile::MaxLength))
            return failed(error, QString("%1 '%2' is not a size from 1 to %3 bytes")
                                     .arg(name, text)
                                     .arg(ImageFile::MaxLength));
        size = qint64(*value);
    } else if (key == "image-sha256") {
        static const QRegularExpression digest(QString("^[0-9a-fA-F]{%1}$").arg(Sha256Digits));
        if (!digest.match(text).hasMatch())
            return failed(
                error, QString("%1 '%2' is not a SHA-256 (64 hexadecimal digits)").arg(name, text));
        // The digest a run computes is lowercase; a pin copied in capitals is the same pin.
        sha256 = text.toLower().toLatin1();
    }
    return true;
}

QString ImageSpec::word(ImageFormat format)
{
    return FormatWords.at(int(format));
}

QString ImageSpec::name(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Binary:
        return QStringLiteral("raw binary");
    case ImageFormat::IntelHex:
        return QStringLiteral("Intel HEX");
    case ImageFormat::SRecord:
        return QStringLiteral("Motorola S-record");
    case ImageFormat::Elf:
        return QStringLiteral("ELF");
    }
    return {};
}
