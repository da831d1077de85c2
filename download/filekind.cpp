#include "download/filekind.h"

#include <sys/stat.h>

namespace
{
struct Kind {
    mode_t type;
    const char *words;
};

constexpr Kind Kinds[] = {
    {S_IFREG, "a regular file"},  {S_IFDIR, "a directory"}, {S_IFCHR, "a character device"},
    {S_IFBLK, "a block device"},  {S_IFIFO, "a FIFO"},      {S_IFSOCK, "a socket"},
    {S_IFLNK, "a symbolic link"},
};
} // namespace

QString kindOf(mode_t mode)
{
    for (const Kind &kind : Kinds)
        if ((mode & S_IFMT) == kind.type)
            return QString::fromLatin1(kind.words);
    return QStringLiteral("a file of unknown kind");
}
