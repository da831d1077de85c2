#include "download/srecord.h"

#include "download/memorymap.h"
#include "download/recordlines.h"

namespace
{

// The address bytes of S0 to S9; 0 for the reserved S4.
constexpr int AddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
// 'S', the type digit.
constexpr int TypeChars = 2;

bool isData(int type)
{
    return type >= 1 && type <= 3;
}

bool isCount(int type)
{
    return type == 5 || type == 6;
}

bool isEnd(int type)
{
    return type >= 7;
}

} // namespace

bool SRecord::read(const QByteArray &text, MemoryMap *map, QString *error)
{
    RecordLines lines(text);
    qint64 dataRecords = 0;
    bool ended = false;
    qint64 lastLine = 0;
    quint64 lastAddress = 0;
    QString what;
    const auto fail = [&](const QString &reason) {
        *error = map->at(lines.number()) + ": " + reason;
        return false;
    };
    while (lines.next()) {
        if (ended)
            return fail("a record after the end record");
        const char *chars = lines.text();
        if ((chars[0] != 'S' && chars[0] != 's') || lines.length() < TypeChars)
            return fail("not a record: an S-record starts with S and its type");
        const int type = chars[1] - '0';
        if (type < 0 || type > 9 || AddressBytes[type] == 0)
            return fail(QString("unknown record type %1").arg(QString::fromLatin1(chars, 2)));
        if (!lines.decode(TypeChars, &what))
            return fail(what);
        const quint8 *b = lines.bytes();
        const int count = lines.count();
        if (count < 1 || b[0] != count - 1)
            return fail(QString("the record says %1 bytes follow its count and %2 do")
                            .arg(count < 1 ? 0 : b[0])
                            .arg(qMax(count - 1, 0)));
        const int addressBytes = AddressBytes[type];
        if (count < 1 + addressBytes + 1)
            return fail(QString("too short for an S%1 record").arg(type));
        quint64 address = 0;
        for (int i = 1; i <= addressBytes; ++i)
            address = address << 8 | b[i];
        quint8 sum = 0;
        for (int i = 0; i < count - 1; ++i)
            sum += b[i];
        const quint8 needed = quint8(~sum);
        if (b[count - 1] != needed)
            return fail(QString("bad checksum 0x%1 in the record at %2: its bytes need 0x%3")
                            .arg(b[count - 1], 2, 16, QChar('0'))
                            .arg(MemoryMap::address(address))
                            .arg(needed, 2, 16, QChar('0')));
        if (isData(type)) {
            if (!map->add(address, reinterpret_cast<const char *>(b + 1 + addressBytes),
                          count - addressBytes - 2, lines.number(), error))
                return false;
            ++dataRecords;
        } else if (isCount(type) && address != quint64(dataRecords)) {
            return fail(QString("the count record says %1 data records, and %2 came before it")
                            .arg(address)
                            .arg(dataRecords));
        }
        ended = isEnd(type);
        lastLine = lines.number();
        lastAddress = address;
    }
    if (!ended) {
        *error = map->at(lastLine) +
                 ": the file ends without an end record (S7, S8 or S9) after "
                 "the record at " +
                 MemoryMap::address(lastAddress);
        return false;
    }
    return true;
}
