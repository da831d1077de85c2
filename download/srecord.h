#pragma once

#include <QByteArray>
#include <QString>

class MemoryMap;

// Reads a Motorola S-record file into a memory map: data in S1, S2 and S3 records (16-, 24- and
// 32-bit addresses), the header S0 skipped, the counts in S5 and S6 checked against the data
// records before them; the file must end with S7, S8 or S9. Every record's checksum is checked.
class SRecord
{
public:
    static bool read(const QByteArray &text, MemoryMap *map, QString *error);
};
