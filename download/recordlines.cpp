#include "download/recordlines.h"

#include "download/memorymap.h"

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

QString hexByte(quint8 value)
{
    return QString("0x%1").arg(value, 2, 16, QChar('0'));
}

} // namespace

RecordLines::RecordLines(const QByteArray &text, const MemoryMap &map)
    : map(map), at(text.constData()), textEnd(at + text.size())
{
}

bool RecordLines::next()
{
    while (at < textEnd) {
        const char *newline =
            static_cast<const char *>(std::memchr(at, '\n', size_t(textEnd - at)));
        begin = at;
        stop = newline ? newline : textEnd;
        at = newline ? newline + 1 : textEnd;
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
    if (digits % 2 != 0)
        return fail(QString("an odd number of hexadecimal digits (%1)").arg(digits), error);
    if (digits / 2 > MaxBytes)
        return fail(QString("%1 bytes, more than any record holds").arg(digits / 2), error);
    decodedCount = int(digits / 2);
    for (int i = 0; i < decodedCount; ++i, digit += 2) {
        const int high = HexValues[quint8(digit[0])], low = HexValues[quint8(digit[1])];
        if (high == NotHex || low == NotHex)
            return fail(QString("'%1' is no hexadecimal digit")
                            .arg(QChar::fromLatin1(high == NotHex ? digit[0] : digit[1])),
                        error);
        decoded[size_t(i)] = quint8(high << 4 | low);
    }
    return true;
}

quint8 RecordLines::sum() const
{
    quint8 sum = 0;
    for (int i = 0; i < decodedCount - 1; ++i)
        sum += decoded[size_t(i)];
    return sum;
}

bool RecordLines::checksum(quint8 needed, quint64 address, QString *error) const
{
    const quint8 found = decoded[size_t(decodedCount - 1)];
    if (found == needed)
        return true;
    return fail(QString("bad checksum %1 in the record at %2: its bytes need %3")
                    .arg(hexByte(found), MemoryMap::address(address), hexByte(needed)),
                error);
}

void RecordLines::read(quint64 address, bool end)
{
    endRead = end;
    lastLine = line;
    lastAddress = address;
}

bool RecordLines::finished(const QString &endName, QString *error) const
{
    if (endRead)
        return true;
    *error = QString("%1: the file ends without an end record (%2) after the record at %3")
                 .arg(map.at(lastLine), endName, MemoryMap::address(lastAddress));
    return false;
}

bool RecordLines::fail(const QString &reason, QString *error) const
{
    *error = map.at(line) + ": " + reason;
    return false;
}
