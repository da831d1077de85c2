#pragma once

#include "doctor/sysroot.h"

#include <QHash>
#include <QString>
#include <QVector>

// The processes under /proc, read once: who they are and which devices they hold open.
class ProcTable
{
public:
    struct Process {
        qint64 pid = 0;
        uint uid = 0;
        QString name;        // the short command name, as in /proc/PID/comm
        QString commandLine; // its arguments joined by spaces
    };
    struct Holder {
        Process process;
        int fd = -1;
    };

    // The process with pid ownPid (the doctor itself) holds nothing, whatever it has open.
    ProcTable(const SysRoot &root, qint64 ownPid);

    QVector<Holder> holders(const QString &device) const;
    QVector<Process> named(const QString &name) const;
    bool running(qint64 pid) const;
    const Process *find(qint64 pid) const;
    // Processes whose open files this user may not read: another user's, without privilege.
    const QVector<Process> &unreadable() const { return m_unreadable; }

private:
    qint64 m_ownPid;
    QVector<Process> m_processes;
    QHash<qint64, int> m_byPid;
    QMultiHash<QString, QPair<int, int>> m_open; // device path: (index in m_processes, fd)
    QVector<Process> m_unreadable;
};
