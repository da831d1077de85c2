#pragma once

#include "doctor/sysroot.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// The account database as /etc/group and /etc/passwd say it: what a login would get, which the
// running process may not have yet.
class Groups
{
public:
    explicit Groups(const SysRoot &root);

    QString groupName(gid_t gid) const;
    QString userName(uid_t uid) const;
    // Whether the user gets the group at login: listed as a member, or it is the primary group.
    bool lists(gid_t gid, const QString &user) const;

private:
    struct Account {
        QString name;
        gid_t primary = 0;
    };
    bool m_real;
    QHash<gid_t, QString> m_groupNames;
    QHash<gid_t, QStringList> m_members;
    QHash<uid_t, Account> m_accounts;
};
