#include "download/srecord.h"

#include "download/memorymap.h"
#include "download/recordlines.h"

namespace
{

// The address bytes of S0 to S9; 0 for the reserved S4.
constexpr int AddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
// 'S' and the type digit.
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
    RecordLines lines(text, *map);
    qint64 dataRecords = 0;
    while (lines.next()) {
        if (lines.ended())
            return lines.fail("a record after the end record", error);
        const char *chars = lines.text();
        if ((chars[0] != 'S' && chars[0] != 's') || lines.length() < TypeChars)
            return lines.fail("not a record: an S-record starts with S and its type", error);
        const int type = chars[1] - '0';
        if (type < 0 || type > 9 || AddressBytes[type] == 0)
            return lines.fail(
                QString("unknown record type %1").arg(QString::fromLatin1(chars, TypeChars)),
                error);
        if (!lines.decode(TypeChars, error))
            return false;
        const quint8 *b = lines.bytes();
        const int count = lines.count();
        if (count < 1 || b[0] != count - 1)
            return lines.fail(QString("the record says %1 bytes follow its count and %2 do")
                                  .arg(count < 1 ? 0 : b[0])
                                  .arg(qMax(count - 1, 0)),
                              error);
        const int addressBytes = AddressBytes[type];
        if (count < addressBytes + 2)
            return lines.fail(QString("too short for an S%1 record").arg(type), error);
        quint64 address = 0;
        for (int i = 1; i <= addressBytes; ++i)
            address = address << 8 | b[i];
        if (!lines.checksum(quint8(~lines.sum()), address, error))
            return false;
        if (isData(type)) {
            if (!map->add(address, reinterpret_cast<const char *>(b + 1 + addressBytes),
                          count - addressBytes - 2, lines.number(), error))
                return false;
            ++dataRecords;
        } else if (isCount(type) && address != quint64(dataRecords)) {
            return lines.fail(
                QString("the count record says %1 data records, and %2 came before it")
                    .arg(address)
                    .arg(dataRecords),
                error);
        }
        // S0 is a header: a name or a comment, nothing to store.
        lines.read(address, isEnd(type));
    }
    return lines.finished("S7, S8 or S9", error);
}
