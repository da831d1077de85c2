#include "doctor/udevdb.h"

#include <QList>

QHash<QString, QString> UdevDb::properties(const SysRoot &root, const QString &devNumbers)
{
    QHash<QString, QString> values;
    if (devNumbers.isEmpty())
        return values;
    const QList<QByteArray> lines = root.read("/run/udev/data/c" + devNumbers).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith("E:"))
            continue;
        const int equals = line.indexOf('=');
        if (equals > 2)
            values.insert(QString::fromLocal8Bit(line.mid(2, equals - 2)),
                          QString::fromLocal8Bit(line.mid(equals + 1)));
    }
    return values;
}
