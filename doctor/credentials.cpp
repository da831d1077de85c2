#include "doctor/credentials.h"

#include <unistd.h>

Credentials Credentials::current()
{
    Credentials credentials;
    credentials.uid = ::geteuid();
    credentials.groups.append(::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        QVector<gid_t> supplementary(count);
        const int got = ::getgroups(count, supplementary.data());
        for (int i = 0; i < got; ++i)
            if (!credentials.groups.contains(supplementary.at(i)))
                credentials.groups.append(supplementary.at(i));
    }
    return credentials;
}
