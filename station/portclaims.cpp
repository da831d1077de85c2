#include "station/portclaims.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <glob.h>

QStringList PortClaims::matching(const QString &pattern)
{
    QStringList paths;
    glob_t found{};
    if (::glob(QFile::encodeName(pattern).constData(), 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i)
            paths << QFile::decodeName(found.gl_pathv[i]);
    ::globfree(&found);
    return paths;
}

QString PortClaims::claim(const QString &pattern)
{
    const QStringList paths = matching(pattern);
    QMutexLocker lock(&mutex);
    for (const QString &path : paths) {
        // A by-path or by-id link left dangling names a board that is gone.
        const QString device = QFileInfo(path).canonicalFilePath();
        if (device.isEmpty() || held.contains(path) || held.values().contains(device))
            continue;
        held.insert(path, device);
        return path;
    }
    return QString();
}

void PortClaims::release(const QString &path)
{
    QMutexLocker lock(&mutex);
    held.remove(path);
}
