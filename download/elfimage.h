#pragma once

#include <QByteArray>
#include <QString>

class MemoryMap;

// Reads an ELF file into a memory map through elfutils' libelf: the file bytes of every PT_LOAD
// segment, placed at its physical address (where a loader stores it, not where it runs); 32- or
// 64-bit, either byte order. A segment's bytes past its file size (.bss) are not in the file,
// and not in the image. Segments are numbered as readelf numbers them, from 0.
class ElfImage
{
public:
    // Takes the file's bytes for good: libelf reads them in place.
    static bool read(QByteArray file, MemoryMap *map, QString *error);
};
