#pragma once

#include "doctor/proctable.h"
#include "doctor/sysroot.h"

#include <QString>
#include <QVector>

// UUCP lock files for a port in /var/lock and /run/lock: programs that honour them (Qt's serial
// port among them) refuse a port whose lock names a live process.
struct LockFile {
    QString path;
    qint64 pid = 0; // 0 when the file names none that can be read
    bool stale = false;

    // device: the node, e.g. /dev/ttyUSB0 or /dev/pts/3.
    static QVector<LockFile> of(const SysRoot &root, const ProcTable &processes,
                                const QString &device);
};
