#include "doctor/lockfile.h"

#include <QFile>
#include <QPair>

#include <cstring>

#include <sys/stat.h>

QVector<LockFile> LockFile::of(const SysRoot &root, const ProcTable &processes,
                               const QString &device)
{
    // LCK..ttyUSB0; a pseudo-terminal's name keeps its folder as LCK..pts_3.
    const QString name = "LCK.." + device.mid(int(std::strlen("/dev/"))).replace('/', '_');
    QVector<LockFile> found;
    QVector<QPair<dev_t, ino_t>> seen; // /var/lock is usually a link to /run/lock
    for (const char *folder : {"/run/lock/", "/var/lock/"}) {
        const QString path = QLatin1String(folder) + name;
        struct stat info {
        };
        if (::stat(QFile::encodeName(root.host(path)).constData(), &info) != 0)
            continue;
        const QPair<dev_t, ino_t> key{info.st_dev, info.st_ino};
        if (seen.contains(key))
            continue;
        seen.append(key);
        const QByteArray text = root.read(path, 128);
        LockFile lock;
        lock.path = path;
        // An ASCII pid (HDB style, Qt's first line), or a binary int from older programs.
        bool ok = false;
        lock.pid = text.split('\n').value(0).trimmed().toLongLong(&ok);
        if (!ok && text.size() == int(sizeof(int))) {
            int binary = 0;
            std::memcpy(&binary, text.constData(), sizeof binary);
            lock.pid = binary;
            ok = true;
        }
        if (!ok || lock.pid <= 0)
            lock.pid = 0;
        lock.stale = lock.pid > 0 && !processes.running(lock.pid);
        found.append(lock);
    }
    return found;
}
