#include "doctor/stablenames.h"

StableNames::StableNames(const SysRoot &root)
{
    const auto scan = [&root](const QString &folder, QHash<QString, QStringList> &names) {
        for (const QString &entry : root.entries(folder)) {
            const QString link = folder + '/' + entry;
            const SysRoot::Resolved target = root.resolve(link);
            if (target.error.isEmpty())
                names[target.path].append(link);
        }
    };
    scan(QStringLiteral("/dev/serial/by-path"), m_byPath);
    scan(QStringLiteral("/dev/serial/by-id"), m_byId);
}
