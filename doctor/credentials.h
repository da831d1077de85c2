#pragma once

#include <QVector>

#include <sys/types.h>

// Whom the kernel checks a port's mode against: the process's effective user and the groups this
// login actually has, which lag behind /etc/group until the user logs in again.
struct Credentials {
    uid_t uid = 0;
    QVector<gid_t> groups; // the effective group first

    bool has(gid_t group) const { return groups.contains(group); }

    static Credentials current();
};
