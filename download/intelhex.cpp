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

int expectedLength(quint8 type)
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

} // namespace

bool IntelHex::read(const QByteArray &text, MemoryMap *map, QString *error)
{
    RecordLines lines(text);
    quint64 upper = 0;
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
        if (lines.text()[0] != ':')
            return fail("not a record: an Intel HEX record starts with ':'");
        if (!lines.decode(1, &what))
            return fail(what);
        const quint8 *b = lines.bytes();
        const int length = lines.count() - Overhead;
        if (length < 0)
            return fail("too short for a record");
        if (b[0] != length)
            return fail(
                QString("the record says %1 data bytes and holds %2").arg(b[0]).arg(length));
        const quint8 type = b[3];
        const quint64 address = upper + (quint64(b[1]) << 8 | b[2]);
        quint8 sum = 0;
        for (int i = 0; i < lines.count() - 1; ++i)
            sum += b[i];
        const quint8 needed = quint8(-sum);
        if (b[lines.count() - 1] != needed)
            return fail(QString("bad checksum 0x%1 in the record at %2: its bytes need 0x%3")
                            .arg(b[lines.count() - 1], 2, 16, QChar('0'))
                            .arg(MemoryMap::address(address))
                            .arg(needed, 2, 16, QChar('0')));
        if (type != Data && expectedLength(type) < 0)
            return fail(QString("unknown record type %1 at %2")
                            .arg(type, 2, 16, QChar('0'))
                            .arg(MemoryMap::address(address)));
        if (type != Data && length != expectedLength(type))
            return fail(QString("a type %1 record holds %2 bytes, not %3")
                            .arg(type, 2, 16, QChar('0'))
                            .arg(expectedLength(type))
                            .arg(length));
        const quint64 value = quint64(b[HeadBytes]) << 8 | b[HeadBytes + 1];
        switch (type) {
        case Data:
            if (!map->add(address, reinterpret_cast<const char *>(b + HeadBytes), length,
                          lines.number(), error))
                return false;
            break;
        case End:
            ended = true;
            break;
        case SegmentAddress:
            upper = value << SegmentShift;
            break;
        case LinearAddress:
            upper = value << LinearShift;
            break;
        default: // where to start running: nothing a loader stores
            break;
        }
        lastLine = lines.number();
        lastAddress = address;
    }
    if (!ended) {
        *error = map->at(lastLine) +
                 ": the file ends without an end record (type 01) after the "
                 "record at " +
                 MemoryMap::address(lastAddress);
        return false;
    }
    return true;
}
