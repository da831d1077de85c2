#include "doctor/portpath.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

namespace
{

const QString Dev = QStringLiteral("/dev");

// The folder part of a name: the parts before its last, or before the first with a wildcard.
QString folderOf(const QString &name)
{
    static const QRegularExpression wildcard("[*?\\[]");
    const QStringList parts = name.split('/');
    int count = 0;
    while (count < parts.size() - 1 && !parts[count].contains(wildcard))
        ++count;
    return parts.mid(0, count).join('/');
}

bool existsHere(const QString &path)
{
    struct stat info {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

QString portPath(const QString &given, const QString &folder, const SysRoot &root)
{
    if (given.startsWith('/'))
        return given;
    const QString base = folder.isEmpty() ? QDir::currentPath() : folder;
    const QString local = QDir::cleanPath(base + '/' + given);
    if (given == QLatin1String(".") || given == QLatin1String("..") ||
        given.startsWith(QLatin1String("./")) || given.startsWith(QLatin1String("../")))
        return local;
    const QString inDev = Dev + '/' + given;
    if (root.exists(inDev))
        return inDev;
    if (existsHere(local))
        return local;
    const QString parent = folderOf(given);
    if (!parent.isEmpty() && !root.exists(Dev + '/' + parent) && existsHere(base + '/' + parent))
        return local;
    return inDev;
}
