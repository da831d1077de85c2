#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The folder the doctor reads the system from: "/" on a real machine, a fake tree in the tests.
// Paths given to it are the system's own (/dev/ttyUSB0, /sys/class/tty); links are resolved by
// hand inside it, so an absolute link target stays inside the root too.
class SysRoot
{
public:
    explicit SysRoot(const QString &root = QStringLiteral("/"));

    bool isReal() const { return m_root.isEmpty(); }
    // Where a system path lies on this machine's file system.
    QString host(const QString &path) const { return m_root + path; }

    QByteArray read(const QString &path, qint64 limit = 65536) const;
    QString firstLine(const QString &path) const;
    QStringList entries(const QString &dir) const;
    bool exists(const QString &path) const;
    // A link's own text, not followed: QFile::symLinkTarget() would resolve it on this machine.
    QString link(const QString &path) const;

    // What `path` finally points to, lexically clean, following every link on the way and
    // checking that each one stays in /dev, /sys, /proc or /run/udev; nothing, with the reason in
    // `error`, when one leads elsewhere or the links loop. The folders above a name given
    // elsewhere are the caller's own and taken as they are; a part that does not exist ends the
    // walk where it is.
    std::optional<QString> resolve(const QString &path, QString *error = nullptr) const;

    static bool isAllowed(const QString &path);

private:
    QString m_root; // without a trailing slash; empty for the real root
};
