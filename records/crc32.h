#pragma once

#include <QByteArray>
#include <QtGlobal>

// CRC-32 as zlib computes it (IEEE 802.3, reflected, initial and final XOR 0xFFFFFFFF): what
// firmware that checks itself most often expects.
quint32 crc32Ieee(const char *data, qint64 size);
