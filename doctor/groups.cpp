#include "doctor/groups.h"

#include <grp.h>
#include <pwd.h>

namespace
{
constexpr int LookupBuffer = 16384; // ample for one account's entry
constexpr qint64 MaxAccountFile = 4 << 20;

QVector<QStringList> records(const SysRoot &root, const QString &path)
{
    QVector<QStringList> result;
    const QList<QByteArray> lines = root.read(path, MaxAccountFile).split('\n');
    for (const QByteArray &line : lines)
        if (!line.isEmpty() && !line.startsWith('#'))
            result.append(QString::fromLocal8Bit(line).split(':'));
    return result;
}
} // namespace

Groups::Groups(const SysRoot &root) : m_real(root.isReal())
{
    for (const QStringList &fields : records(root, "/etc/group")) {
        if (fields.size() < 4)
            continue;
        const gid_t gid = fields.at(2).toUInt();
        m_groupNames.insert(gid, fields.at(0));
        m_members.insert(gid, fields.at(3).split(',', Qt::SkipEmptyParts));
    }
    for (const QStringList &fields : records(root, "/etc/passwd"))
        if (fields.size() >= 4)
            m_accounts.insert(fields.at(2).toUInt(), {fields.at(0), gid_t(fields.at(3).toUInt())});
}

QString Groups::groupName(gid_t gid) const
{
    if (m_groupNames.contains(gid))
        return m_groupNames.value(gid);
    // Groups from a directory service are not in the file. Boards fail on threads of their
    // own, hence the reentrant lookups.
    if (m_real) {
        group entry{};
        group *found = nullptr;
        QByteArray buffer(LookupBuffer, '\0');
        if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            return QString::fromLocal8Bit(found->gr_name);
    }
    return QString::number(gid);
}

QString Groups::userName(uid_t uid) const
{
    if (m_accounts.contains(uid))
        return m_accounts.value(uid).name;
    if (m_real) {
        passwd entry{};
        passwd *found = nullptr;
        QByteArray buffer(LookupBuffer, '\0');
        if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            return QString::fromLocal8Bit(found->pw_name);
    }
    return QString::number(uid);
}

bool Groups::lists(gid_t gid, const QString &user) const
{
    if (m_members.value(gid).contains(user))
        return true;
    for (const Account &account : m_accounts)
        if (account.name == user)
            return account.primary == gid;
    return false;
}
