#pragma once

#include "doctor/diagnosis.h"
#include "doctor/proctable.h"
#include "doctor/sysroot.h"
#include "doctor/udevclaim.h"

#include <QString>
#include <QVector>

struct SysfsUsb;

// What the system does to a USB adapter behind the serial driver's back: ModemManager probing it,
// brltty taking it away, a slow latency timer; each with the udev rule that fixes it. The services
// and brltty's rules are read once, when it is made.
class AdapterServices
{
public:
    AdapterServices(const SysRoot &root, const ProcTable &processes);

    // Findings about an adapter that is there.
    void check(Diagnosis &diagnosis, const SysfsUsb &usb) const;
    // Whether brltty took an adapter, the likely reason why `path` is missing; if so, its finding
    // is added.
    bool checkTaken(Diagnosis &diagnosis, const QString &path) const;

private:
    SysRoot m_root;
    QVector<ProcTable::Process> m_modemManager;
    QVector<ProcTable::Process> m_brltty;
    QVector<UdevClaim> m_brlttyClaims;
};
