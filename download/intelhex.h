#pragma once

#include <QByteArray>
#include <QString>

class MemoryMap;

// Reads an Intel HEX file into a memory map: data records (00) placed by 16-bit offsets, under
// an extended segment (02) or linear (04) address; the start addresses (03, 05) are not part of
// the image. Every record's checksum is checked, and the file must end with an end record (01).
class IntelHex
{
public:
    static bool read(const QByteArray &text, MemoryMap *map, QString *error);
};
