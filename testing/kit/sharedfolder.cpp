#include "testing/kit/sharedfolder.h"

#include <QFile>
#include <QFileInfo>

namespace
{
constexpr QFileDevice::Permissions Readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ReadOther;
constexpr QFileDevice::Permissions Runnable =
    Readable | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
} // namespace

SharedFolder::SharedFolder()
{
    m_valid = m_dir.isValid() && QFile::setPermissions(m_dir.path(), Runnable);
}

QString SharedFolder::copy(const QString &file)
{
    const QString target = m_dir.filePath(QFileInfo(file).fileName());
    if (!m_valid || !QFile::copy(file, target))
        return QString();
    const bool runnable = QFileInfo(file).isExecutable();
    return QFile::setPermissions(target, runnable ? Runnable : Readable) ? target : QString();
}

QString SharedFolder::write(const QString &name, const QByteArray &content)
{
    const QString target = m_dir.filePath(name);
    QFile out(target);
    if (!m_valid || !out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
        return QString();
    out.close();
    return QFile::setPermissions(target, Readable) ? target : QString();
}
