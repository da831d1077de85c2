#include "doctor/stablenames.h"

StableNames::StableNames(const SysRoot &root)
{
    const auto scan = [&root](const QString &folder, QHash<QString, QStringList> &names) {
        for (const QString &entry : root.entries(folder)) {
            const QString link = folder + '/' + entry;
            if (const std::optional<QString> target = root.resolve(link))
                names[*target].append(link);
        }
    };
    scan(QStringLiteral("/dev/serial/by-path"), m_byPath);
    scan(QStringLiteral("/dev/serial/by-id"), m_byId);
}
