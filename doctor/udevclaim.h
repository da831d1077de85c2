#pragma once

#include "doctor/sysroot.h"

#include <QString>
#include <QVector>

// The USB devices that a program's udev rules claim, such as brltty's: the adapters it takes from
// the serial driver as soon as they are plugged in.
struct UdevClaim {
    QString vendorId;  // four hex digits
    QString productId; // four hex digits
    QString file;      // the rules file that claims it

    // Rules files that mention the program, as udev reads them: one in /etc/udev/rules.d hides the
    // file of the same name in /run or /lib, and a link to /dev/null hides it altogether.
    static QVector<UdevClaim> of(const SysRoot &root, const QString &program);
};
