#include "download/elfimage.h"

#include "download/memorymap.h"

#include <gelf.h>
#include <libelf.h>

#include <memory>

bool ElfImage::read(QByteArray file, MemoryMap *map, QString *error)
{
    // Once per process, before the first handle; libelf's handles are then each a thread's own.
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    if (!ready) {
        *error = QString("%1: libelf is unusable: %2").arg(map->fileName(), elf_errmsg(-1));
        return false;
    }
    const std::unique_ptr<Elf, decltype(&elf_end)> elf(elf_memory(file.data(), size_t(file.size())),
                                                       &elf_end);
    size_t count = 0;
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF || elf_getphdrnum(elf.get(), &count) != 0) {
        *error = QString("%1: not a usable ELF file: %2").arg(map->fileName(), elf_errmsg(-1));
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (!gelf_getphdr(elf.get(), int(i), &header)) {
            *error = QString("%1: %2").arg(map->at(qint64(i)), elf_errmsg(-1));
            return false;
        }
        if (header.p_type != PT_LOAD || header.p_filesz == 0)
            continue;
        if (header.p_offset > quint64(file.size()) ||
            header.p_filesz > quint64(file.size()) - header.p_offset) {
            *error = QString("%1: its %2 bytes at offset %3 for %4 lie past the file's end")
                         .arg(map->at(qint64(i)))
                         .arg(header.p_filesz)
                         .arg(header.p_offset)
                         .arg(MemoryMap::address(header.p_paddr));
            return false;
        }
        if (!map->add(header.p_paddr, file.constData() + header.p_offset, qint64(header.p_filesz),
                      qint64(i), error))
            return false;
    }
    return true;
}
