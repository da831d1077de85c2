#pragma once

#include "doctor/sysroot.h"

#include <QHash>
#include <QString>
#include <QStringList>

// The names udev keeps under /dev/serial/by-path (where a port is plugged in) and by-id (which
// adapter it is), by the node they point to.
class StableNames
{
public:
    explicit StableNames(const SysRoot &root);

    // device: a node, e.g. /dev/ttyUSB0.
    QString byPath(const QString &device) const { return m_byPath.value(device).value(0); }
    QStringList byId(const QString &device) const { return m_byId.value(device); }

private:
    QHash<QString, QStringList> m_byPath;
    QHash<QString, QStringList> m_byId;
};
