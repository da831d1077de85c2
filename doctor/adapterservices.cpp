#include "doctor/adapterservices.h"

#include "doctor/sysfsusb.h"
#include "doctor/udevdb.h"

#include <QFileInfo>
#include <QStringList>

namespace
{
using Topic = Finding::Topic;

const char ModemManager[] = "ModemManager";
const char Brltty[] = "brltty";
// A stop-and-wait line wants its replies at once; 1 ms is the smallest the timer takes.
constexpr int BestLatencyMs = 1;

// A rule and the commands that install it and make udev apply it to the devices present now.
QString installRule(const QString &rule, const QString &file, const QString &subsystem)
{
    return QStringLiteral("echo '%1' | sudo tee /etc/udev/rules.d/%2 && sudo udevadm control "
                          "--reload && sudo udevadm trigger --action=add --subsystem-match=%3")
        .arg(rule, file, subsystem);
}

QString idMatch(const SysfsUsb &usb)
{
    return QStringLiteral("ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\"")
        .arg(usb.vendorId, usb.productId);
}

QString maskRules(const QString &file)
{
    // A file of the same name in /etc hides the package's; one already in /etc is moved aside.
    const QString mask = file.startsWith(QLatin1String("/etc/"))
                             ? QStringLiteral("sudo mv %1 %1.off").arg(file)
                             : QStringLiteral("sudo ln -s /dev/null /etc/udev/rules.d/%1")
                                   .arg(QFileInfo(file).fileName());
    return mask + QStringLiteral(" && sudo udevadm control --reload && sudo systemctl stop "
                                 "brltty-udev.service brltty.service");
}

QString pids(const QVector<ProcTable::Process> &processes)
{
    QStringList list;
    for (const ProcTable::Process &process : processes)
        list.append(QString::number(process.pid));
    return list.join(", ");
}
} // namespace

AdapterServices::AdapterServices(const SysRoot &root, const ProcTable &processes)
    : m_root(root), m_modemManager(processes.named(ModemManager)),
      m_brltty(processes.named(Brltty)), m_brlttyClaims(UdevClaim::of(root, Brltty))
{
}

bool AdapterServices::checkTaken(Diagnosis &diagnosis, const QString &path) const
{
    // brltty takes a claimed adapter from the serial driver: the USB device stays, its tty goes.
    if (m_brltty.isEmpty())
        return false;
    for (const QString &device : m_root.entries("/sys/bus/usb/devices")) {
        const QString dir = "/sys/bus/usb/devices/" + device;
        const QString vid = m_root.firstLine(dir + "/idVendor");
        const QString pid = m_root.firstLine(dir + "/idProduct");
        for (const UdevClaim &claim : m_brlttyClaims) {
            if (vid.isEmpty() || claim.vendorId != vid || claim.productId != pid)
                continue;
            const QString text =
                QStringLiteral("brltty (pid %1) is running and its rules (%2) claim the %3:%4 "
                               "adapter plugged in at %5: it took the port away")
                    .arg(pids(m_brltty), claim.file, vid, pid, device);
            diagnosis.add({Topic::Brltty, Verdict::Problem, text, maskRules(claim.file),
                           QStringLiteral("%1 does not exist: brltty took the %2:%3 adapter; "
                                          "run 'lumedra-cli doctor -p %1' for the fix")
                               .arg(path, vid, pid)});
            return true;
        }
    }
    return false;
}

void AdapterServices::check(Diagnosis &diagnosis, const SysfsUsb &usb) const
{
    if (!usb.isUsb())
        return;
    const QString ids = usb.vendorId + ':' + usb.productId;
    if (!m_modemManager.isEmpty()) {
        const QHash<QString, QString> properties = UdevDb::properties(m_root, usb.devNumbers);
        if (properties.value("ID_MM_DEVICE_IGNORE") == QLatin1String("1"))
            diagnosis.add({Topic::ModemManager, Verdict::Ok,
                           QStringLiteral("ModemManager is running and leaves the port alone "
                                          "(ID_MM_DEVICE_IGNORE)"),
                           QString(), QString()});
        else
            diagnosis.add(
                {Topic::ModemManager, Verdict::Warning,
                 QStringLiteral("ModemManager (pid %1) is running and may probe the port, "
                                "writing AT commands into the loader for several seconds after "
                                "the adapter appears; udev does not mark %2 with "
                                "ID_MM_DEVICE_IGNORE")
                     .arg(pids(m_modemManager), ids),
                 installRule(
                     idMatch(usb) + ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                     QStringLiteral("99-lumedra-mm-%1-%2.rules").arg(usb.vendorId, usb.productId),
                     QStringLiteral("tty")),
                 QString()});
    }

    for (const UdevClaim &claim : m_brlttyClaims) {
        if (claim.vendorId != usb.vendorId || claim.productId != usb.productId)
            continue;
        if (m_brltty.isEmpty())
            diagnosis.add({Topic::Brltty, Verdict::Warning,
                           QStringLiteral("brltty's rules (%1) claim %2 adapters: once brltty "
                                          "starts, it takes the port away")
                               .arg(claim.file, ids),
                           maskRules(claim.file), QString()});
        else
            diagnosis.add({Topic::Brltty, Verdict::Problem,
                           QStringLiteral("brltty (pid %1) is running and its rules (%2) claim "
                                          "%3 adapters: it takes the port away right after it "
                                          "appears")
                               .arg(pids(m_brltty), claim.file, ids),
                           maskRules(claim.file), QString()});
        break;
    }

    if (usb.latencyMs > BestLatencyMs)
        diagnosis.add(
            {Topic::Latency, Verdict::Warning,
             QStringLiteral("latency timer %1 ms (%2): the adapter holds received bytes that "
                            "long, halving a stop-and-wait line's speed; Lumedra lowers it to "
                            "1 ms itself while it holds the port, other tools do not")
                 .arg(usb.latencyMs)
                 .arg(usb.latencyPath),
             installRule(
                 "SUBSYSTEM==\"usb-serial\", " + idMatch(usb) + ", ATTR{latency_timer}=\"1\"",
                 QStringLiteral("99-lumedra-latency-%1-%2.rules").arg(usb.vendorId, usb.productId),
                 QStringLiteral("usb-serial")),
             QString()});
    else if (usb.latencyMs >= 0)
        diagnosis.add({Topic::Latency, Verdict::Ok,
                       QStringLiteral("latency timer %1 ms").arg(usb.latencyMs), QString(),
                       QString()});
}
