#include "download/recordlines.h"

#include <cstring>

namespace
{

constexpr int NotHex = -1;

constexpr std::array<qint8, 256> hexValues()
{
    std::array<qint8, 256> values{};
    values.fill(NotHex);
    for (int i = 0; i < 10; ++i)
        values['0' + i] = qint8(i);
    for (int i = 0; i < 6; ++i) {
        values['A' + i] = qint8(10 + i);
        values['a' + i] = qint8(10 + i);
    }
    return values;
}

constexpr std::array<qint8, 256> HexValues = hexValues();

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

} // namespace

RecordLines::RecordLines(const QByteArray &text) : at(text.constData()), end(at + text.size()) {}

bool RecordLines::next()
{
    while (at < end) {
        const char *newline = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)));
        begin = at;
        stop = newline ? newline : end;
        at = newline ? newline + 1 : end;
        ++line;
        while (stop > begin && blank(stop[-1]))
            --stop;
        if (stop > begin)
            return true;
    }
    return false;
}

bool RecordLines::decode(int skip, QString *error)
{
    const char *digit = begin + skip;
    const qint64 digits = stop - digit;
    if (digits % 2 != 0) {
        *error = QString("an odd number of hexadecimal digits (%1)").arg(digits);
        return false;
    }
    if (digits / 2 > MaxBytes) {
        *error = QString("%1 bytes, more than any record holds").arg(digits / 2);
        return false;
    }
    decodedCount = int(digits / 2);
    for (int i = 0; i < decodedCount; ++i, digit += 2) {
        const int high = HexValues[quint8(digit[0])], low = HexValues[quint8(digit[1])];
        if (high == NotHex || low == NotHex) {
            *error = QString("'%1' is no hexadecimal digit")
                         .arg(QChar::fromLatin1(high == NotHex ? digit[0] : digit[1]));
            return false;
        }
        decoded[size_t(i)] = quint8(high << 4 | low);
    }
    return true;
}
