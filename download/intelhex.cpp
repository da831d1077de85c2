#include "download/intelhex.h"

#include "download/memorymap.h"
#include "download/recordlines.h"

namespace
{

enum Type : quint8 {
    Data = 0x00,
    End = 0x01,
    SegmentAddress = 0x02,
    StartSegment = 0x03,
    LinearAddress = 0x04,
    StartLinear = 0x05,
};

// Count, two address bytes and the type before the data; the checksum after it.
constexpr int HeadBytes = 4;
constexpr int Overhead = HeadBytes + 1;
constexpr int SegmentShift = 4;
constexpr int LinearShift = 16;

// The bytes a record of each type but data holds; -1: no such type.
int lengthOf(quint8 type)
{
    switch (type) {
    case End:
        return 0;
    case SegmentAddress:
    case LinearAddress:
        return 2;
    case StartSegment:
    case StartLinear:
        return 4;
    default:
        return -1;
    }
}

QString typeText(quint8 type)
{
    return QString("%1").arg(type, 2, 16, QChar('0'));
}

} // namespace

bool IntelHex::read(const QByteArray &text, MemoryMap *map, QString *error)
{
    RecordLines lines(text, *map);
    quint64 upper = 0;
    while (lines.next()) {
        if (lines.ended())
            return lines.fail("a record after the end record", error);
        if (lines.text()[0] != ':')
            return lines.fail("not a record: an Intel HEX record starts with ':'", error);
        if (!lines.decode(1, error))
            return false;
        const quint8 *b = lines.bytes();
        const int length = lines.count() - Overhead;
        if (length < 0)
            return lines.fail("too short for a record", error);
        if (b[0] != length)
            return lines.fail(
                QString("the record says %1 data bytes and holds %2").arg(b[0]).arg(length), error);
        const quint8 type = b[3];
        const quint64 address = upper + (quint64(b[1]) << 8 | b[2]);
        if (!lines.checksum(quint8(-lines.sum()), address, error))
            return false;
        if (type != Data && lengthOf(type) < 0)
            return lines.fail(QString("unknown record type %1 at %2")
                                  .arg(typeText(type), MemoryMap::address(address)),
                              error);
        if (type != Data && length != lengthOf(type))
            return lines.fail(QString("a type %1 record holds %2 bytes, not %3")
                                  .arg(typeText(type))
                                  .arg(lengthOf(type))
                                  .arg(length),
                              error);
        const quint64 value = quint64(b[HeadBytes]) << 8 | b[HeadBytes + 1];
        if (type == Data && !map->add(address, reinterpret_cast<const char *>(b + HeadBytes),
                                      length, lines.number(), error))
            return false;
        if (type == SegmentAddress)
            upper = value << SegmentShift;
        else if (type == LinearAddress)
            upper = value << LinearShift;
        // The start addresses (03, 05) say where to run: nothing a loader stores.
        lines.read(address, type == End);
    }
    return lines.finished("type 01", error);
}
