#include "doctor/portdoctor.h"

#include "doctor/lineprobe.h"
#include "doctor/lockfile.h"
#include "doctor/portpath.h"
#include "doctor/sysfsusb.h"
#include "download/filekind.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
using Topic = Finding::Topic;

const QLatin1String PtyFolder("/dev/pts/");
constexpr mode_t ReadWrite = 06;

QString octal(mode_t mode)
{
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QChar('0'));
}

} // namespace

PortDoctor::PortDoctor(const QString &root, const Credentials &credentials)
    : m_root(root), m_credentials(credentials), m_groups(m_root),
      m_processes(m_root, m_root.isReal() ? ::getpid() : 0), m_names(m_root),
      m_services(m_root, m_processes)
{
}

QStringList PortDoctor::ports() const
{
    QStringList found;
    for (const QString &tty : m_root.entries("/sys/class/tty")) {
        const SysfsUsb usb = SysfsUsb::of(m_root, tty);
        if (usb.sysfs.isEmpty() || !m_root.exists("/dev/" + tty))
            continue;
        // The 8250 driver makes ports for UARTs that may not be there; sysfs says which are
        // (type 0 is none), and opening them to ask would be worse.
        if (usb.driver == QLatin1String("serial8250") &&
            m_root.firstLine("/sys/class/tty/" + tty + "/type").toInt() == 0)
            continue;
        found.append("/dev/" + tty);
    }
    return found;
}

QString PortDoctor::holderName(const ProcTable::Process &process) const
{
    return QStringLiteral("%1 (pid %2, user %3)")
        .arg(process.name, QString::number(process.pid), m_groups.userName(process.uid));
}

Diagnosis PortDoctor::diagnose(const QString &port, Lines lines) const
{
    Diagnosis diagnosis;
    diagnosis.port = port;
    const QString path = portPath(port, QString(), m_root);
    QString error;
    const std::optional<QString> resolved = m_root.resolve(path, &error);
    if (!resolved) {
        diagnosis.add({Topic::Node, Verdict::Problem, error, QString(),
                       QStringLiteral("%1 is not a serial port: %2").arg(path, error)});
        return diagnosis;
    }
    const QString &node = *resolved;
    struct stat info {
    };
    if (::stat(QFile::encodeName(m_root.host(node)).constData(), &info) != 0) {
        checkMissing(diagnosis, path, node);
        return diagnosis;
    }
    diagnosis.device = node;
    if (node != QDir::cleanPath(path))
        diagnosis.add({Topic::Node, Verdict::Ok,
                       QStringLiteral("%1 is a link to %2").arg(path, node), QString(), QString()});
    if (!S_ISCHR(info.st_mode)) {
        diagnosis.add(
            {Topic::Node, Verdict::Problem,
             QStringLiteral("%1 is %2, not a serial port").arg(node, kindOf(info.st_mode)),
             QString(), QStringLiteral("%1 is not a serial port").arg(path)});
        return diagnosis;
    }
    diagnosis.add(
        {Topic::Node, Verdict::Ok,
         QStringLiteral("%1 is a character device (%2:%3)")
             .arg(node, QString::number(major(info.st_rdev)), QString::number(minor(info.st_rdev))),
         QString(), QString()});

    diagnosis.byPath = m_names.byPath(node);
    diagnosis.byId = m_names.byId(node);
    if (diagnosis.byPath.isEmpty() && diagnosis.byId.isEmpty())
        diagnosis.add({Topic::Names, Verdict::Ok,
                       QStringLiteral("no stable name under /dev/serial: give a station slot "
                                      "the path itself"),
                       QString(), QString()});
    else
        diagnosis.add(
            {Topic::Names, Verdict::Ok,
             QStringLiteral("stable names: %1")
                 .arg((diagnosis.byPath.isEmpty() ? diagnosis.byId
                                                  : QStringList(diagnosis.byPath) + diagnosis.byId)
                          .join(", ")),
             QString(), QString()});

    const bool pty = node.startsWith(PtyFolder);
    const SysfsUsb usb = pty ? SysfsUsb() : SysfsUsb::of(m_root, QFileInfo(node).fileName());
    diagnosis.vendorId = usb.vendorId;
    diagnosis.productId = usb.productId;
    diagnosis.serial = usb.serial;
    diagnosis.driver = usb.driver;
    QString identity;
    if (pty)
        identity = QStringLiteral("a pseudo-terminal");
    else if (usb.isUsb())
        identity = QStringLiteral("USB %1:%2%3%4, serial %5, driver %6")
                       .arg(usb.vendorId, usb.productId,
                            usb.manufacturer.isEmpty() ? QString() : ", " + usb.manufacturer,
                            usb.product.isEmpty() ? QString() : " " + usb.product,
                            usb.serial.isEmpty() ? QStringLiteral("none") : usb.serial,
                            usb.driver.isEmpty() ? QStringLiteral("none") : usb.driver);
    else if (!usb.driver.isEmpty())
        identity = QStringLiteral("a serial port of driver %1, not on USB").arg(usb.driver);
    else
        identity = QStringLiteral("no device behind it in sysfs");
    diagnosis.add({Topic::Identity, Verdict::Ok, identity, QString(), QString()});

    checkAccess(diagnosis, info.st_uid, info.st_gid, info.st_mode);
    checkHolders(diagnosis, lines);
    m_services.check(diagnosis, usb);
    return diagnosis;
}

void PortDoctor::checkMissing(Diagnosis &diagnosis, const QString &path,
                              const QString &target) const
{
    // A name left behind by a device that is gone: say where it leads.
    const QString text =
        target == QDir::cleanPath(path)
            ? QStringLiteral("%1 does not exist").arg(path)
            : QStringLiteral("%1 points to %2, which does not exist").arg(path, target);
    diagnosis.add({Topic::Node, Verdict::Problem, text, QString(), QString()});
    if (m_services.checkTaken(diagnosis, path))
        return;
    diagnosis.findings.last().reason = QStringLiteral("%1 does not exist").arg(path);
}

void PortDoctor::checkAccess(Diagnosis &diagnosis, uint owner, uint group, uint mode) const
{
    const QString &node = diagnosis.device;
    const QString user = m_groups.userName(m_credentials.uid);
    const QString groupName = m_groups.groupName(group);
    const QString owned = QStringLiteral("%1 (owner %2, group %3, mode %4)")
                              .arg(node, m_groups.userName(owner), groupName, octal(mode));
    if (m_credentials.uid == 0) {
        diagnosis.add({Topic::Access, Verdict::Ok,
                       QStringLiteral("%1: root opens it whatever its mode").arg(owned), QString(),
                       QString()});
        return;
    }
    const bool isOwner = owner == m_credentials.uid;
    const bool inGroup = m_credentials.has(group);
    const mode_t bits = isOwner ? (mode >> 6) : inGroup ? (mode >> 3) : mode;
    if ((bits & ReadWrite) == ReadWrite) {
        const QString how = isOwner   ? QStringLiteral("as its owner")
                            : inGroup ? QStringLiteral("through group %1").arg(groupName)
                                      : QStringLiteral("as anyone may");
        diagnosis.add({Topic::Access, Verdict::Ok,
                       QStringLiteral("%1: %2 may read and write it %3").arg(owned, user, how),
                       QString(), QString()});
        return;
    }
    const bool groupMay = ((mode >> 3) & ReadWrite) == ReadWrite;
    if (isOwner || !groupMay || inGroup) {
        diagnosis.add(
            {Topic::Access, Verdict::Problem,
             QStringLiteral("%1: opens for its owner only").arg(owned),
             QStringLiteral("sudo chgrp dialout %1 && sudo chmod 0660 %1").arg(node),
             QStringLiteral("permission denied: %1 opens for its owner only").arg(diagnosis.port)});
        return;
    }
    if (m_groups.lists(group, user)) {
        diagnosis.add(
            {Topic::Access, Verdict::Problem,
             QStringLiteral("%1: /etc/group lists %2 in group %3, but this login does not have "
                            "the group yet; log in again, or run 'newgrp %3' in this shell")
                 .arg(owned, user, groupName),
             QStringLiteral("newgrp %1").arg(groupName),
             QStringLiteral("permission denied: %1 is in group %2 since this login began; log "
                            "in again, or run 'newgrp %2'")
                 .arg(user, groupName)});
        return;
    }
    diagnosis.add({Topic::Access, Verdict::Problem,
                   QStringLiteral("%1: %2 is not in group %3").arg(owned, user, groupName),
                   QStringLiteral("sudo usermod -aG %1 %2").arg(groupName, user),
                   QStringLiteral("permission denied: %1 belongs to group %2; join it with "
                                  "'sudo usermod -aG %2 %3', then log in again")
                       .arg(diagnosis.port, groupName, user)});
}

void PortDoctor::checkHolders(Diagnosis &diagnosis, Lines lines) const
{
    const QVector<ProcTable::Holder> holders = m_processes.holders(diagnosis.device);
    QVector<qint64> seen;
    for (const ProcTable::Holder &holder : holders) {
        const ProcTable::Process &process = holder.process;
        if (seen.contains(process.pid))
            continue;
        seen.append(process.pid);
        diagnosis.add(
            {Topic::Holders, Verdict::Problem,
             QStringLiteral("held by %1: %2").arg(holderName(process), process.commandLine),
             QStringLiteral("kill %1").arg(process.pid),
             QStringLiteral("busy: held by %1").arg(holderName(process))});
    }
    const QVector<ProcTable::Process> &hidden = m_processes.unreadable();
    if (holders.isEmpty()) {
        if (hidden.isEmpty()) {
            diagnosis.add({Topic::Holders, Verdict::Ok, QStringLiteral("no process has it open"),
                           QString(), QString()});
        } else {
            QStringList users;
            for (const ProcTable::Process &process : hidden)
                if (!users.contains(m_groups.userName(process.uid)))
                    users.append(m_groups.userName(process.uid));
            diagnosis.add({Topic::Holders, Verdict::Ok,
                           QStringLiteral("no process of %1 has it open; %2 processes of other "
                                          "users (%3) cannot be looked into")
                               .arg(m_groups.userName(m_credentials.uid))
                               .arg(hidden.size())
                               .arg(users.join(", ")),
                           QStringLiteral("sudo lumedra-cli doctor -p %1").arg(diagnosis.device),
                           QString()});
        }
    }

    const LineProbe probe = lines == Lines::Probe ? LineProbe::of(m_root.host(diagnosis.device),
                                                                  holders, m_root.isReal())
                                                  : LineProbe();
    if (probe.exclusive == LineProbe::State::Yes) {
        const QString who = holders.isEmpty() ? QStringLiteral("a process this user cannot see")
                                              : holderName(holders.first().process);
        diagnosis.add({Topic::Exclusive, Verdict::Problem,
                       QStringLiteral("in exclusive mode (TIOCEXCL): no other program opens it "
                                      "until %1 closes it")
                           .arg(who),
                       holders.isEmpty()
                           ? QStringLiteral("sudo lumedra-cli doctor -p %1").arg(diagnosis.device)
                           : QStringLiteral("kill %1").arg(holders.first().process.pid),
                       probe.busy ? QStringLiteral("busy: held in exclusive mode by %1").arg(who)
                                  : QString()});
    } else if (probe.exclusive == LineProbe::State::No) {
        diagnosis.add({Topic::Exclusive, Verdict::Ok, QStringLiteral("not in exclusive mode"),
                       QString(), QString()});
    }

    for (const LockFile &lock : LockFile::of(m_root, m_processes, diagnosis.device)) {
        if (lock.pid == ::getpid() && m_root.isReal())
            continue;
        const ProcTable::Process *owner = m_processes.find(lock.pid);
        if (lock.pid == 0 || lock.stale) {
            const QString why = lock.pid == 0
                                    ? QStringLiteral("it names no process")
                                    : QStringLiteral("pid %1 is not running").arg(lock.pid);
            diagnosis.add({Topic::Lock, Verdict::Warning,
                           QStringLiteral("stale lock file %1: %2; programs that honour locks "
                                          "refuse the port until it is removed")
                               .arg(lock.path, why),
                           QStringLiteral("sudo rm %1").arg(lock.path),
                           QStringLiteral("busy: stale lock file %1 (%2); remove it with "
                                          "'sudo rm %1'")
                               .arg(lock.path, why)});
        } else if (owner && !seen.contains(owner->pid)) {
            diagnosis.add({Topic::Lock, Verdict::Problem,
                           QStringLiteral("locked in %1 by %2, which does not have it open")
                               .arg(lock.path, holderName(*owner)),
                           QStringLiteral("kill %1").arg(owner->pid),
                           QStringLiteral("busy: locked by %1").arg(holderName(*owner))});
        } else {
            diagnosis.add({Topic::Lock, Verdict::Ok,
                           QStringLiteral("lock file %1 of pid %2").arg(lock.path).arg(lock.pid),
                           QString(), QString()});
        }
    }

    if (probe.modemLines == LineProbe::State::Yes)
        diagnosis.add({Topic::ModemLines, Verdict::Ok,
                       QStringLiteral("has modem lines (TIOCMGET answers): --reset can drive "
                                      "DTR and RTS"),
                       QString(), QString()});
    else if (probe.modemLines == LineProbe::State::No)
        diagnosis.add({Topic::ModemLines, Verdict::Warning,
                       QStringLiteral("has no modem lines (TIOCMGET fails): a --reset sequence "
                                      "cannot reset the board; use --reset-cmd"),
                       QString(), QString()});
    else if (lines == Lines::Probe)
        diagnosis.add({Topic::ModemLines, Verdict::Ok,
                       QStringLiteral("modem lines %1").arg(probe.unknownWhy), QString(),
                       QString()});
}
