#include "records/crc32.h"

#include <zlib.h>

#include <limits>

quint32 crc32Ieee(const char *data, qint64 size)
{
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib counts in uInt: a large range goes in pieces.
    while (size > 0) {
        const uInt piece = uInt(qMin<qint64>(size, std::numeric_limits<uInt>::max()));
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(data), piece);
        data += piece;
        size -= piece;
    }
    return quint32(crc);
}
