#include "records/numberformat.h"

#include <QMap>
#include <QPair>
#include <QRegularExpression>

#include <limits>

namespace
{
constexpr int MaxTextWidth = 64;
constexpr int MacBytes = 6;
constexpr int MacBits = 8 * MacBytes;

// The largest number `digits` decimal digits hold, capped at what 64 bits hold.
quint64 decimalLimit(int digits)
{
    quint64 limit = 0;
    for (int i = 0; i < digits; ++i) {
        if (limit > (std::numeric_limits<quint64>::max() - 9) / 10)
            return std::numeric_limits<quint64>::max();
        limit = limit * 10 + 9;
    }
    return limit;
}
} // namespace

bool NumberFormat::number(const QString &text, quint64 *value)
{
    bool ok = false;
    static const QRegularExpression hex("^0[xX][0-9a-fA-F]+$");
    static const QRegularExpression decimal("^[0-9]+$");
    static const QRegularExpression mac(
        "^[0-9a-fA-F]{2}([:-])[0-9a-fA-F]{2}(\\1[0-9a-fA-F]{2}){4}$");
    if (hex.match(text).hasMatch())
        *value = text.mid(2).toULongLong(&ok, 16);
    else if (decimal.match(text).hasMatch())
        *value = text.toULongLong(&ok, 10);
    else if (mac.match(text).hasMatch())
        *value = QString(text).remove(':').remove('-').toULongLong(&ok, 16);
    return ok;
}

std::optional<NumberFormat> NumberFormat::parse(const QString &text, QString *error)
{
    NumberFormat format;
    format.written = text;
    static const QMap<QString, QPair<Kind, int>> binary{
        {"le16", {Kind::Little, 2}}, {"le32", {Kind::Little, 4}}, {"le48", {Kind::Little, 6}},
        {"le64", {Kind::Little, 8}}, {"be16", {Kind::Big, 2}},    {"be32", {Kind::Big, 4}},
        {"be48", {Kind::Big, 6}},    {"be64", {Kind::Big, 8}}};
    if (binary.contains(text)) {
        format.what = binary[text].first;
        format.bytes = binary[text].second;
        return format;
    }
    static const QRegularExpression mac("^mac(?::(none|[!-/:-@\\[-`{-~]))?$");
    const QRegularExpressionMatch macMatch = mac.match(text);
    if (macMatch.hasMatch()) {
        const QString separator = macMatch.captured(1);
        format.what = Kind::Mac;
        format.separator = separator.isEmpty()   ? QChar(':')
                           : separator == "none" ? QChar()
                                                 : separator[0];
        format.bytes = format.separator.isNull() ? 2 * MacBytes : 3 * MacBytes - 1;
        return format;
    }
    static const QRegularExpression textual("^(dec|bcd):([0-9]{1,3})$");
    const QRegularExpressionMatch match = textual.match(text);
    if (match.hasMatch()) {
        format.what = match.captured(1) == "dec" ? Kind::Decimal : Kind::Bcd;
        format.bytes = match.captured(2).toInt();
        if (format.bytes >= 1 && format.bytes <= MaxTextWidth)
            return format;
    }
    *error = QString("serial format '%1' is none of le16, le32, le48, le64, be16, be32, be48, "
                     "be64, dec:WIDTH, bcd:WIDTH (WIDTH 1 to %2 bytes), mac, mac:SEP, mac:none")
                 .arg(text)
                 .arg(MaxTextWidth);
    return std::nullopt;
}

quint64 NumberFormat::largest(int prefixSize) const
{
    switch (what) {
    case Kind::Little:
    case Kind::Big:
        return bytes == 8 ? std::numeric_limits<quint64>::max() : (quint64(1) << (8 * bytes)) - 1;
    case Kind::Mac:
        return (quint64(1) << MacBits) - 1;
    case Kind::Decimal:
        return decimalLimit(bytes - prefixSize);
    case Kind::Bcd:
        return decimalLimit(2 * (bytes - prefixSize));
    }
    return 0;
}

QString NumberFormat::macText(quint64 number, QChar between) const
{
    QString out;
    for (int i = MacBytes - 1; i >= 0; --i) {
        out += QString("%1").arg((number >> (8 * i)) & 0xFF, 2, 16, QChar('0'));
        if (i > 0 && !between.isNull())
            out += between;
    }
    return out;
}

QByteArray NumberFormat::encode(quint64 number, const QByteArray &prefix) const
{
    QByteArray field(bytes, '\0');
    char *out = field.data();
    switch (what) {
    case Kind::Little:
        for (int i = 0; i < bytes; ++i)
            out[i] = char(number >> (8 * i));
        break;
    case Kind::Big:
        for (int i = 0; i < bytes; ++i)
            out[bytes - 1 - i] = char(number >> (8 * i));
        break;
    case Kind::Mac:
        field = macText(number, separator).toLatin1();
        break;
    case Kind::Decimal:
        field = prefix + QByteArray::number(number).rightJustified(bytes - prefix.size(), '0');
        break;
    case Kind::Bcd: {
        std::copy(prefix.cbegin(), prefix.cend(), out);
        // Two digits a byte, the most significant first.
        for (int i = bytes - 1; i >= prefix.size(); --i) {
            const int low = int(number % 10);
            number /= 10;
            out[i] = char(((number % 10) << 4) | low);
            number /= 10;
        }
        break;
    }
    }
    return field;
}

QString NumberFormat::text(quint64 number, const QByteArray &prefix) const
{
    switch (what) {
    case Kind::Decimal:
    case Kind::Mac:
        return QString::fromLatin1(encode(number, prefix));
    case Kind::Bcd:
        return QString::fromLatin1(prefix) +
               QString::number(number).rightJustified(2 * (bytes - prefix.size()), '0');
    case Kind::Little:
    case Kind::Big:
        break;
    }
    return bytes == MacBytes ? macText(number, ':') : QString::number(number);
}
