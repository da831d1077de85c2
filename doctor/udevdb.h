#pragma once

#include "doctor/sysroot.h"

#include <QHash>
#include <QString>

// A device's properties in udev's database (/run/udev/data/c188:0): what the rules set for it,
// such as ID_MM_DEVICE_IGNORE.
namespace UdevDb
{
// devNumbers: "188:0"; empty when udev knows nothing of the device.
QHash<QString, QString> properties(const SysRoot &root, const QString &devNumbers);
} // namespace UdevDb
