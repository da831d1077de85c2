#pragma once

#include "doctor/adapterservices.h"
#include "doctor/credentials.h"
#include "doctor/diagnosis.h"
#include "doctor/groups.h"
#include "doctor/proctable.h"
#include "doctor/stablenames.h"
#include "doctor/sysroot.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Says why a port fails or misbehaves, and the command that fixes it. It only reads: the system
// is read once when the doctor is made (processes, accounts, udev rules, stable names) and each
// port is then checked against that picture.
class PortDoctor
{
public:
    // root: the folder the system is read from ("/", or a fake tree); credentials: whose access
    // is checked.
    explicit PortDoctor(const QString &root = QStringLiteral("/"),
                        const Credentials &credentials = Credentials::current());

    // Whether the driver is asked for the exclusive flag and the modem lines: that may open the
    // port, which a program that just failed to open it does not need.
    enum class Lines { Probe, Leave };

    // port: a name as the port list shows it (ttyUSB0) or a path (see portPath()).
    Diagnosis diagnose(const QString &port, Lines lines = Lines::Probe) const;
    // Every serial port the system lists, as /dev paths.
    QStringList ports() const;

private:
    void checkAccess(Diagnosis &diagnosis, uint owner, uint group, uint mode) const;
    void checkHolders(Diagnosis &diagnosis, Lines lines) const;
    void checkMissing(Diagnosis &diagnosis, const QString &path, const QString &target) const;
    QString holderName(const ProcTable::Process &process) const;

    SysRoot m_root;
    Credentials m_credentials;
    Groups m_groups;
    ProcTable m_processes;
    StableNames m_names;
    AdapterServices m_services;
};
