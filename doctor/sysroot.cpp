#include "doctor/sysroot.h"

#include <QDir>
#include <QFile>

#include <climits>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
// As the kernel's own limit on links in one lookup.
constexpr int MaxLinks = 40;

QStringList parts(const QString &path)
{
    return path.split('/', Qt::SkipEmptyParts);
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QString() : path.left(slash);
}

std::optional<QString> refuse(const QString &why, QString *error)
{
    if (error)
        *error = why;
    return std::nullopt;
}
} // namespace

SysRoot::SysRoot(const QString &root)
{
    const QString clean = QDir::cleanPath(root);
    m_root = clean == QLatin1String("/") ? QString() : clean;
}

QByteArray SysRoot::read(const QString &path, qint64 limit) const
{
    QFile file(host(path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(limit);
}

QString SysRoot::firstLine(const QString &path) const
{
    QFile file(host(path));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readLine()).trimmed();
}

QStringList SysRoot::entries(const QString &dir) const
{
    return QDir(host(dir)).entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString SysRoot::link(const QString &path) const
{
    QByteArray buffer(PATH_MAX, '\0');
    const ssize_t size =
        ::readlink(QFile::encodeName(host(path)).constData(), buffer.data(), buffer.size());
    return size < 0 ? QString() : QFile::decodeName(buffer.left(size));
}

bool SysRoot::exists(const QString &path) const
{
    struct stat info {
    };
    return ::lstat(QFile::encodeName(host(path)).constData(), &info) == 0;
}

bool SysRoot::isAllowed(const QString &path)
{
    static const char *const folders[] = {"/dev", "/sys", "/proc", "/run/udev"};
    for (const char *folder : folders) {
        const QLatin1String name(folder);
        if (path == name || (path.startsWith(name) && path.at(name.size()) == '/'))
            return true;
    }
    return false;
}

std::optional<QString> SysRoot::resolve(const QString &path, QString *error) const
{
    const QString clean = QDir::cleanPath(path);
    QString done;
    QStringList pending = parts(clean);
    // A name given outside the allowed folders: its own folders are resolved as the caller
    // named them, and only the name itself is held to the rule.
    bool checking = isAllowed(clean);
    int uncheckedParts = checking ? 0 : pending.size() - 1;
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (uncheckedParts > 0)
            --uncheckedParts;
        else
            checking = true;
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            done = parentOf(done);
            continue;
        }
        const QString next = done + '/' + part;
        struct stat info {
        };
        if (::lstat(QFile::encodeName(host(next)).constData(), &info) != 0)
            return QDir::cleanPath(next + '/' + pending.join('/'));
        if (!S_ISLNK(info.st_mode)) {
            done = next;
            continue;
        }
        if (++links > MaxLinks)
            return refuse(QStringLiteral("%1 is a loop of links").arg(clean), error);
        const QString target = link(next);
        const QString base = target.startsWith('/') ? QString() : done;
        const QString landing = QDir::cleanPath(base + '/' + target);
        if (checking && !isAllowed(landing))
            return refuse(QStringLiteral("%1 points to %2, outside /dev, /sys, /proc and "
                                         "/run/udev; not followed")
                              .arg(clean, landing),
                          error);
        done = base;
        pending = parts(target) + pending;
        uncheckedParts = 0;
    }
    return done.isEmpty() ? QStringLiteral("/") : done;
}
