#include "doctor/portdoctor.h"
#include "doctor/portpath.h"
#include "station/usbidentity.h"
#include "testing/kit/heldpty.h"
#include "testing/kit/sharedfolder.h"

#include <QtTest>

#include <climits>
#include <csignal>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

// The doctor against fake system trees (sysfs, udev, accounts, processes) and against real
// processes holding real pseudo-terminals; what else reads the system its way (a port's path, a
// board's USB identity) against the same trees.
class tst_Doctor : public QObject
{
    Q_OBJECT

private slots:
    void findings_data();
    void findings();
    void portPaths_data();
    void portPaths();
    void usbIdentity_data();
    void usbIdentity();
    void realHolder_data();
    void realHolder();
    void staleLock();
    void modemManagerRunning();
    void unprivilegedUser_data();
    void unprivilegedUser();
    void openFailureReason();
    void cleanup();

private:
    QVector<pid_t> children;
    QStringList removeAfter;
};

namespace
{
constexpr uid_t Ana = 1000;
constexpr gid_t Dialout = 20;
const char ByPath[] = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0";

// A system tree in a temporary folder, built from lines such as "usb ttyUSB0 0403:6001 ftdi_sio
// 16".
class FakeTree
{
public:
    FakeTree()
    {
        file("/etc/passwd", "root:x:0:0::/root:/bin/sh\nana:x:1000:1000::/nonexistent:/bin/sh\n");
        file("/etc/group", "root:x:0:\ndialout:x:20:\nana:x:1000:\n");
    }
    QString root() const { return dir.path(); }

    void file(const QString &path, const QByteArray &text)
    {
        QDir().mkpath(QFileInfo(root() + path).path());
        QFile out(root() + path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text);
    }
    // A link as udev and the kernel make them: relative, so that it resolves inside the tree.
    void link(const QString &path, const QString &target)
    {
        QDir().mkpath(QFileInfo(root() + path).path());
        const QString text =
            target.startsWith('/') ? QDir(QFileInfo(path).path()).relativeFilePath(target) : target;
        QVERIFY(QFile::link(text, root() + path));
    }
    // The null device under another name: a character device that is safe to open.
    void node(const QString &path, mode_t mode, gid_t group)
    {
        QDir().mkpath(QFileInfo(root() + path).path());
        const QByteArray host = QFile::encodeName(root() + path);
        QVERIFY(::mknod(host.constData(), S_IFCHR | mode, makedev(1, 3)) == 0);
        QVERIFY(::chown(host.constData(), 0, group) == 0);
        QVERIFY(::chmod(host.constData(), mode) == 0);
    }

    // False once a line could not be made, and the test has failed.
    bool build(const QStringList &lines)
    {
        for (const QString &line : lines) {
            apply(line);
            if (QTest::currentTestFailed())
                return false;
        }
        return true;
    }

    void apply(const QString &line)
    {
        const QStringList w = line.split(' ');
        const QString &what = w.at(0);
        if (what == "usb") { // usb TTY VID:PID DRIVER [LATENCY]
            const QString usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
            const QString iface = usb + "/1-2:1.0";
            const bool acm = w.at(3) == "cdc_acm";
            const QString device = acm ? iface : iface + '/' + w.at(1);
            file(usb + "/idVendor", w.at(2).left(4).toLatin1());
            file(usb + "/idProduct", w.at(2).mid(5).toLatin1());
            file(usb + "/serial", "A10K1234");
            file(usb + "/product", "Test Adapter");
            file(device + "/tty/" + w.at(1) + "/dev", "188:0");
            QDir().mkpath(root() + "/sys/bus/usb-serial/drivers/" + w.at(3));
            link(device + "/driver", "/sys/bus/usb-serial/drivers/" + w.at(3));
            link(device + "/tty/" + w.at(1) + "/device", device);
            link("/sys/class/tty/" + w.at(1), device + "/tty/" + w.at(1));
            if (w.size() > 4)
                file(device + "/latency_timer", w.at(4).toLatin1());
            node("/dev/" + w.at(1), 0660, Dialout);
            link(ByPath, "/dev/" + w.at(1));
            link("/dev/serial/by-id/usb-Test_Adapter_A10K1234-if00-port0", "/dev/" + w.at(1));
        } else if (what == "mode") { // mode TTY OCTAL
            QVERIFY(::chmod(QFile::encodeName(root() + "/dev/" + w.at(1)).constData(),
                            mode_t(w.at(2).toUInt(nullptr, 8))) == 0);
        } else if (what == "member") { // member NAME: ana in dialout in /etc/group
            file("/etc/group", "root:x:0:\ndialout:x:20:" + w.at(1).toLatin1() + "\nana:x:1000:\n");
        } else if (what == "proc") { // proc PID NAME UID [DEVICE]
            const QString dir = "/proc/" + w.at(1);
            file(dir + "/comm", w.at(2).toLatin1() + '\n');
            file(dir + "/cmdline", w.at(2).toLatin1() + QByteArray("\0-b\0"
                                                                   "115200\0",
                                                                   11));
            QDir().mkpath(root() + dir + "/fd");
            if (w.size() > 4)
                QVERIFY(QFile::link(w.at(4), root() + dir + "/fd/3"));
            QVERIFY(::chown(QFile::encodeName(root() + dir).constData(), w.at(3).toUInt(), 0) == 0);
        } else if (what == "lock") { // lock NAME PID
            file("/var/lock/LCK.." + w.at(1), QString("%1\n").arg(w.at(2), 10).toLatin1());
        } else if (what == "udev") { // udev PROPERTY=VALUE, for 188:0
            file("/run/udev/data/c188:0", "S:serial/by-id/x\nE:" + w.at(1).toLatin1() + '\n');
        } else if (what == "rule") { // rule PATH TEXT...
            file(w.at(1), w.mid(2).join(' ').toLatin1() + '\n');
        } else if (what == "mask") { // mask PATH: a link to /dev/null hides a rules file
            QDir().mkpath(QFileInfo(root() + w.at(1)).path());
            QVERIFY(QFile::link("/dev/null", root() + w.at(1)));
        } else if (what == "usbdev") { // usbdev NAME VID:PID: a USB device without its tty
            file("/sys/bus/usb/devices/" + w.at(1) + "/idVendor", w.at(2).left(4).toLatin1());
            file("/sys/bus/usb/devices/" + w.at(1) + "/idProduct", w.at(2).mid(5).toLatin1());
        } else if (what == "plain") { // plain PATH: a regular file
            file(w.at(1), "not a port");
        } else if (what == "dir") { // dir PATH: a directory
            QVERIFY(QDir().mkpath(root() + w.at(1)));
        } else if (what == "remove") { // remove PATH
            QVERIFY(QFile::remove(root() + w.at(1)));
        } else if (what == "link") { // link PATH TARGET, the target as written
            QDir().mkpath(QFileInfo(root() + w.at(1)).path());
            QVERIFY(QFile::link(w.at(2), root() + w.at(1)));
        } else {
            QFAIL(qPrintable("unknown tree line: " + line));
        }
    }

private:
    QTemporaryDir dir;
};

const Finding *findingAbout(const Diagnosis &diagnosis, const QString &topic)
{
    for (const Finding &finding : diagnosis.findings)
        if (Finding::topicName(finding.topic) == topic)
            return &finding;
    return nullptr;
}

QString dump(const Diagnosis &diagnosis)
{
    QStringList lines;
    for (const Finding &finding : diagnosis.findings)
        lines << verdictName(finding.severity) + ' ' + finding.text + " | " + finding.fix;
    return lines.join('\n');
}

QByteArray commandName(pid_t pid)
{
    QFile comm(QString("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll() : QByteArray();
}
} // namespace

void tst_Doctor::findings_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("groups"); // of the login, ana's; empty: root
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QString>("severity"); // "absent": no such finding
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fix");
    QTest::addColumn<QString>("reason");

    const QString ftdi = "usb ttyUSB0 0403:6001 ftdi_sio 1";
    const QString ch340 = "usb ttyUSB0 1a86:7523 ch341";
    const QString brlttyRule =
        "rule /lib/udev/rules.d/85-brltty.rules ENV{PRODUCT}==\"1a86/7523/*\", "
        "ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"";
    QTest::newRow("usb identity") << QStringList{ftdi} << "ttyUSB0"
                                  << "1000,20"
                                  << "identity"
                                  << "ok"
                                  << "USB 0403:6001 Test Adapter, serial A10K1234, driver ftdi_sio"
                                  << ""
                                  << "";
    QTest::newRow("stable names") << QStringList{ftdi} << "/dev/ttyUSB0"
                                  << "1000,20"
                                  << "names"
                                  << "ok" << QString(ByPath) + ", /dev/serial/by-id/usb-Test"
                                  << ""
                                  << "";
    QTest::newRow("by-path name is a link") << QStringList{ftdi} << ByPath << "1000,20"
                                            << "node"
                                            << "ok"
                                            << "is a link to /dev/ttyUSB0"
                                            << ""
                                            << "";
    QTest::newRow("link out of /dev")
        << QStringList{"link /dev/serial/by-id/x /srv/port"} << "/dev/serial/by-id/x"
        << "1000,20"
        << "node"
        << "problem"
        << "points to /srv/port, outside"
        << ""
        << "is not a serial port";
    QTest::newRow("link climbs out of /dev")
        << QStringList{"link /dev/serial/by-id/x ../../../etc/passwd"} << "/dev/serial/by-id/x"
        << "1000,20"
        << "node"
        << "problem"
        << "points to /etc/passwd, outside"
        << ""
        << "";
    QTest::newRow("missing node") << QStringList{ftdi} << "ttyUSB7"
                                  << "1000,20"
                                  << "node"
                                  << "problem"
                                  << "/dev/ttyUSB7 does not exist"
                                  << ""
                                  << "/dev/ttyUSB7 does not exist";
    QTest::newRow("dangling by-id name")
        << QStringList{"link /dev/serial/by-id/usb-gone ../../ttyUSB5"}
        << "/dev/serial/by-id/usb-gone"
        << "1000,20"
        << "node"
        << "problem"
        << "/dev/serial/by-id/usb-gone points to /dev/ttyUSB5, which does not exist"
        << ""
        << "/dev/serial/by-id/usb-gone does not exist";
    QTest::newRow("regular file") << QStringList{"plain /dev/ttyUSB3"} << "/dev/ttyUSB3"
                                  << "1000,20"
                                  << "node"
                                  << "problem"
                                  << "is a regular file, not a serial port"
                                  << ""
                                  << "/dev/ttyUSB3 is not a serial port";
    QTest::newRow("directory") << QStringList{"dir /dev/serial/by-id/x"} << "/dev/serial/by-id/x"
                               << "1000,20"
                               << "node"
                               << "problem"
                               << "/dev/serial/by-id/x is a directory, not a serial port"
                               << ""
                               << "/dev/serial/by-id/x is not a serial port";
    QTest::newRow("not in the group") << QStringList{ftdi} << "ttyUSB0"
                                      << "1000"
                                      << "access"
                                      << "problem"
                                      << "ana is not in group dialout"
                                      << "sudo usermod -aG dialout ana"
                                      << "permission denied: ttyUSB0 belongs to group dialout; "
                                         "join it with 'sudo usermod -aG dialout ana', then log "
                                         "in again";
    QTest::newRow("group not in this login yet")
        << QStringList{ftdi, "member ana"} << "ttyUSB0"
        << "1000"
        << "access"
        << "problem"
        << "lists ana in group dialout, but this login does not have the group yet"
        << "newgrp dialout"
        << "log in again, or run 'newgrp dialout'";
    QTest::newRow("in the group") << QStringList{ftdi} << "ttyUSB0"
                                  << "1000,20"
                                  << "access"
                                  << "ok"
                                  << "ana may read and write it through group dialout"
                                  << ""
                                  << "";
    QTest::newRow("owner only") << QStringList{ftdi, "mode ttyUSB0 0600"} << "ttyUSB0"
                                << "1000,20"
                                << "access"
                                << "problem"
                                << "opens for its owner only"
                                << "sudo chmod 0660 /dev/ttyUSB0"
                                << "permission denied: ttyUSB0 opens for its owner only";
    QTest::newRow("root any mode") << QStringList{ftdi, "mode ttyUSB0 0600"} << "ttyUSB0"
                                   << ""
                                   << "access"
                                   << "ok"
                                   << "root opens it whatever its mode"
                                   << ""
                                   << "";
    QTest::newRow("holder") << QStringList{ftdi, "proc 4242 picocom 1000 /dev/ttyUSB0"} << "ttyUSB0"
                            << "1000,20"
                            << "holders"
                            << "problem"
                            << "held by picocom (pid 4242, user ana): picocom -b 115200"
                            << "kill 4242"
                            << "busy: held by picocom (pid 4242, user ana)";
    QTest::newRow("holder of another port")
        << QStringList{ftdi, "proc 4242 picocom 1000 /dev/ttyUSB1"} << "ttyUSB0"
        << "1000,20"
        << "holders"
        << "ok"
        << "no process has it open"
        << ""
        << "";
    QTest::newRow("stale lock")
        << QStringList{ftdi, "lock ttyUSB0 99999"} << "ttyUSB0"
        << "1000,20"
        << "lock"
        << "warning"
        << "stale lock file /var/lock/LCK..ttyUSB0: pid 99999 is not running"
        << "sudo rm /var/lock/LCK..ttyUSB0"
        << "busy: stale lock file";
    QTest::newRow("lock of a live process")
        << QStringList{ftdi, "lock ttyUSB0 4242", "proc 4242 minicom 1000"} << "ttyUSB0"
        << "1000,20"
        << "lock"
        << "problem"
        << "by minicom (pid 4242, user ana), which does not"
        << "kill 4242"
        << "busy: locked by minicom (pid 4242, user ana)";
    QTest::newRow("ModemManager probes")
        << QStringList{ftdi, "proc 812 ModemManager 0"} << "ttyUSB0"
        << "1000,20"
        << "modemmanager"
        << "warning"
        << "ModemManager (pid 812) is running"
        << "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\"' | sudo tee "
           "/etc/udev/rules.d/99-lumedra-mm-0403-6001.rules && "
           "sudo udevadm control --reload"
        << "";
    QTest::newRow("ModemManager told to ignore")
        << QStringList{ftdi, "proc 812 ModemManager 0", "udev ID_MM_DEVICE_IGNORE=1"} << "ttyUSB0"
        << "1000,20"
        << "modemmanager"
        << "ok"
        << "leaves the port alone"
        << ""
        << "";
    QTest::newRow("no ModemManager") << QStringList{ftdi} << "ttyUSB0"
                                     << "1000,20"
                                     << "modemmanager"
                                     << "absent"
                                     << ""
                                     << ""
                                     << "";
    QTest::newRow("brltty claims")
        << QStringList{ch340, brlttyRule, "proc 77 brltty 0"} << "ttyUSB0"
        << "1000,20"
        << "brltty"
        << "problem"
        << "brltty (pid 77) is running and its rules "
           "(/lib/udev/rules.d/85-brltty.rules) claim 1a86:7523"
        << "sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules && "
           "sudo udevadm control --reload"
        << "";
    QTest::newRow("brltty rule by attributes, not running")
        << QStringList{ch340, "rule /usr/lib/udev/rules.d/90-brltty-device.rules "
                              "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1a86\", "
                              "ATTRS{idProduct}==\"7523\", RUN+=\"brltty\""}
        << "ttyUSB0"
        << "1000,20"
        << "brltty"
        << "warning"
        << "once brltty starts"
        << ""
        << "";
    QTest::newRow("brltty rule masked") << QStringList{ch340, brlttyRule, "proc 77 brltty 0",
                                                       "mask /etc/udev/rules.d/85-brltty.rules"}
                                        << "ttyUSB0"
                                        << "1000,20"
                                        << "brltty"
                                        << "absent"
                                        << ""
                                        << ""
                                        << "";
    QTest::newRow("brltty claims another adapter")
        << QStringList{ftdi, brlttyRule, "proc 77 brltty 0"} << "ttyUSB0"
        << "1000,20"
        << "brltty"
        << "absent"
        << ""
        << ""
        << "";
    QTest::newRow("brltty took the port")
        << QStringList{brlttyRule, "proc 77 brltty 0", "usbdev 1-2 1a86:7523"} << "ttyUSB0"
        << "1000,20"
        << "brltty"
        << "problem"
        << "claim the 1a86:7523 adapter plugged in at 1-2"
        << "85-brltty.rules"
        << "/dev/ttyUSB0 does not exist: brltty took";
    QTest::newRow("latency high") << QStringList{"usb ttyUSB0 0403:6001 ftdi_sio 16"} << "ttyUSB0"
                                  << "1000,20"
                                  << "latency"
                                  << "warning"
                                  << "latency timer 16 ms (/sys/devices/pci0000:00/0000:00:14.0/"
                                     "usb1/1-2/1-2:1.0/ttyUSB0/latency_timer)"
                                  << "SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"0403\", "
                                     "ATTRS{idProduct}==\"6001\", ATTR{latency_timer}=\"1\""
                                  << "";
    QTest::newRow("latency lowest") << QStringList{ftdi} << "ttyUSB0"
                                    << "1000,20"
                                    << "latency"
                                    << "ok"
                                    << "latency timer 1 ms"
                                    << ""
                                    << "";
    QTest::newRow("acm has no timer") << QStringList{"usb ttyACM0 2e8a:000a cdc_acm"} << "ttyACM0"
                                      << "1000,20"
                                      << "latency"
                                      << "absent"
                                      << ""
                                      << ""
                                      << "";
    QTest::newRow("no modem lines") << QStringList{ftdi} << "ttyUSB0"
                                    << "1000,20"
                                    << "modem_lines"
                                    << "warning"
                                    << "has no modem lines"
                                    << ""
                                    << "";
}

void tst_Doctor::findings()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, port);
    QFETCH(QString, groups);
    QFETCH(QString, topic);
    QFETCH(QString, severity);
    QFETCH(QString, text);
    QFETCH(QString, fix);
    QFETCH(QString, reason);
    if (::geteuid() != 0)
        QSKIP("the fake tree's device nodes need mknod and chown");

    FakeTree fake;
    if (!fake.build(tree))
        return;
    Credentials login;
    if (!groups.isEmpty()) {
        login.uid = Ana;
        for (const QString &group : groups.split(','))
            login.groups.append(group.toUInt());
    }
    const Diagnosis diagnosis = PortDoctor(fake.root(), login).diagnose(port);
    const Finding *finding = findingAbout(diagnosis, topic);
    if (severity == "absent") {
        QVERIFY2(!finding, qPrintable(dump(diagnosis)));
        return;
    }
    QVERIFY2(finding, qPrintable(dump(diagnosis)));
    QCOMPARE(verdictName(finding->severity), severity);
    QVERIFY2(finding->text.contains(text), qPrintable(finding->text));
    QVERIFY2(finding->fix.contains(fix), qPrintable(finding->fix));
    QVERIFY2(diagnosis.reason().contains(reason), qPrintable(diagnosis.reason()));
    QVERIFY(diagnosis.verdict >= finding->severity);
}

void tst_Doctor::portPaths_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("path"); // FOLDER: the folder relative names live in

    // The tree has /dev/ttyUSB0 and /dev/pts/7; the folder has x, ttyUSB0 and fixture/.
    QTest::newRow("a path") << "/dev/ttyS0"
                            << "/dev/ttyS0";
    QTest::newRow("a bare name, /dev first") << "ttyUSB0"
                                             << "/dev/ttyUSB0";
    QTest::newRow("a name as the port list has it") << "pts/7"
                                                    << "/dev/pts/7";
    QTest::newRow("a station's glob under /dev") << "pts/*"
                                                 << "/dev/pts/*";
    QTest::newRow("a glob of bare names") << "ttyUSB*"
                                          << "/dev/ttyUSB*";
    QTest::newRow("a name in the folder only") << "x"
                                               << "FOLDER/x";
    QTest::newRow("from the folder") << "./x"
                                     << "FOLDER/x";
    QTest::newRow("from the folder's parent") << "../x"
                                              << "PARENT/x";
    QTest::newRow("a bare name in neither place") << "ttyUSB9"
                                                  << "/dev/ttyUSB9";
    QTest::newRow("a board not plugged in yet") << "fixture/slot-1"
                                                << "FOLDER/fixture/slot-1";
    QTest::newRow("a station's glob in the folder") << "fixture/*usb-0:1.4:*"
                                                    << "FOLDER/fixture/*usb-0:1.4:*";
    QTest::newRow("a folder in neither place") << "nowhere/x"
                                               << "/dev/nowhere/x";
}

void tst_Doctor::portPaths()
{
    QFETCH(QString, given);
    QFETCH(QString, path);
    FakeTree fake;
    fake.apply("plain /dev/ttyUSB0");
    fake.apply("plain /dev/pts/7");
    QTemporaryDir parent;
    const QString folder = parent.filePath("work");
    QVERIFY(QDir().mkpath(folder + "/fixture"));
    for (const char *name : {"x", "ttyUSB0"}) {
        QFile file(folder + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    path.replace("FOLDER", folder).replace("PARENT", parent.path());
    QCOMPARE(portPath(given, folder, SysRoot(fake.root())), path);
}

void tst_Doctor::usbIdentity_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("identity"); // vid:pid serial location

    const QString ftdi = "usb ttyUSB0 0403:6001 ftdi_sio 1";
    const QString usbDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const QString identity = QString("0403:6001 A10K1234 ") + ByPath;
    QTest::newRow("by its node") << QStringList{ftdi} << "/dev/ttyUSB0" << identity;
    QTest::newRow("by its by-path name") << QStringList{ftdi} << ByPath << identity;
    QTest::newRow("by its by-id name")
        << QStringList{ftdi} << "/dev/serial/by-id/usb-Test_Adapter_A10K1234-if00-port0"
        << identity;
    QTest::newRow("without a by-path name")
        << QStringList{ftdi, QString("remove ") + ByPath} << "/dev/ttyUSB0"
        << "0403:6001 A10K1234 " + usbDevice;
    QTest::newRow("a modem's own USB") << QStringList{"usb ttyACM0 2e8a:000a cdc_acm"}
                                       << "/dev/ttyACM0" << QString("2e8a:000a A10K1234 ") + ByPath;
    QTest::newRow("no such port") << QStringList{ftdi} << "/dev/ttyUSB7"
                                  << ":  ";
    QTest::newRow("a link out of /dev")
        << QStringList{"link /dev/serial/by-id/x /srv/port"} << "/dev/serial/by-id/x"
        << ":  ";
}

void tst_Doctor::usbIdentity()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, port);
    QFETCH(QString, identity);
    if (::geteuid() != 0)
        QSKIP("the fake tree's device nodes need mknod and chown");
    FakeTree fake;
    if (!fake.build(tree))
        return;
    const UsbIdentity usb = UsbIdentity::of(port, SysRoot(fake.root()));
    QCOMPARE(QString("%1:%2 %3 %4").arg(usb.vendorId, usb.productId, usb.serial, usb.location),
             identity);
}

void tst_Doctor::realHolder_data()
{
    QTest::addColumn<bool>("exclusive");
    QTest::newRow("shared") << false;
    QTest::newRow("exclusive") << true;
}

void tst_Doctor::realHolder()
{
    QFETCH(bool, exclusive);
    HeldPty pty;
    QVERIFY(pty.isOpen() && pty.hold(exclusive));
    const QByteArray name = QFile::encodeName(pty.name());
    // Any open raises DTR and RTS: a held port must not be opened, not even for a moment.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, name, IN_OPEN) >= 0);

    const Diagnosis diagnosis = PortDoctor().diagnose(pty.name());
    char event[sizeof(inotify_event) + NAME_MAX + 1];
    QCOMPARE(::read(watch, event, sizeof event), ssize_t(-1));
    ::close(watch);
    const Finding *holder = findingAbout(diagnosis, "holders");
    QVERIFY2(holder, qPrintable(dump(diagnosis)));
    QCOMPARE(holder->severity, Verdict::Problem);
    QVERIFY2(holder->text.startsWith(QString("held by sleep (pid %1, user ").arg(pty.holder())),
             qPrintable(holder->text));
    QVERIFY(holder->text.endsWith("): sleep 30"));
    QVERIFY(
        diagnosis.reason().startsWith(QString("busy: held by sleep (pid %1").arg(pty.holder())));
    // The holder's own descriptor is asked, so the answer is the flag it set.
    const Finding *flag = findingAbout(diagnosis, "exclusive");
    QVERIFY2(flag, qPrintable(dump(diagnosis)));
    QCOMPARE(flag->severity, exclusive ? Verdict::Problem : Verdict::Ok);
    const Finding *lines = findingAbout(diagnosis, "modem_lines");
    QVERIFY(lines);
    QCOMPARE(lines->severity, Verdict::Warning);
}

void tst_Doctor::staleLock()
{
    HeldPty pty;
    QVERIFY(pty.isOpen());
    // A pid that was just used and is gone: nothing else gets it this soon.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    QVERIFY(::waitpid(gone, nullptr, 0) == gone);
    const QString lock = "/run/lock/LCK.." + pty.name().mid(5).replace('/', '_');
    QFile file(lock);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        QSKIP("/run/lock is not writable here");
    removeAfter << lock;
    file.write(QString("%1\n").arg(gone, 10).toLatin1());
    file.close();

    const Diagnosis diagnosis = PortDoctor().diagnose(pty.name());
    const Finding *finding = findingAbout(diagnosis, "lock");
    QVERIFY2(finding, qPrintable(dump(diagnosis)));
    QCOMPARE(finding->severity, Verdict::Warning);
    QVERIFY2(finding->text.contains(QString("pid %1 is not running").arg(gone)),
             qPrintable(finding->text));
    QCOMPARE(finding->fix, "sudo rm " + lock);
}

void tst_Doctor::modemManagerRunning()
{
    if (::geteuid() != 0)
        QSKIP("the fake tree's device nodes need mknod and chown");
    // The real process table beside a fake adapter: /proc in the tree is the machine's own.
    FakeTree fake;
    fake.apply("usb ttyUSB0 0403:6001 ftdi_sio 1");
    QVERIFY(QFile::link("/proc", fake.root() + "/proc"));
    QTemporaryDir bin;
    const QString program = bin.path() + "/ModemManager";
    QVERIFY(QFile::copy("/bin/sleep", program));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::execl(QFile::encodeName(program).constData(), "ModemManager", "30",
                static_cast<char *>(nullptr));
        ::_exit(1);
    }
    children.append(child);
    QTRY_COMPARE_WITH_TIMEOUT(commandName(child), QByteArray("ModemManager\n"), 5000);

    const Diagnosis diagnosis = PortDoctor(fake.root()).diagnose("ttyUSB0");
    const Finding *finding = findingAbout(diagnosis, "modemmanager");
    QVERIFY2(finding, qPrintable(dump(diagnosis)));
    QCOMPARE(finding->severity, Verdict::Warning);
    QVERIFY2(finding->text.contains(QString::number(child)), qPrintable(finding->text));
}

void tst_Doctor::unprivilegedUser_data()
{
    // PORT: a terminal of root's group only; IMAGE: an image nobody may read.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("said"); // on stdout, each

    QTest::newRow("the doctor") << QStringList{"doctor", "--json", "-p", "PORT"}
                                << QStringList{"\"verdict\":\"problem\"",
                                               "\"fix\":\"sudo usermod -aG root nobody\"",
                                               "cannot be looked into"};
    // The doctor's words name the user who ran the program.
    QTest::newRow("a plain run")
        << QStringList{"--json", "-p", "PORT", "IMAGE"}
        << QStringList{"\"result\":\"open_failed\"",
                       "\"reason\":\"permission denied: PORT belongs to group root; join it "
                       "with 'sudo usermod -aG root nobody', then log in again\""};
}

void tst_Doctor::unprivilegedUser()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, said);
    if (::geteuid() != 0)
        QSKIP("running a program as another user needs root");
    HeldPty pty;
    QVERIFY(pty.isOpen());
    const QByteArray name = QFile::encodeName(pty.name());
    QVERIFY(::chown(name.constData(), 0, 0) == 0);
    QVERIFY(::chmod(name.constData(), 0660) == 0);
    // The build may lie where nobody cannot go.
    SharedFolder shared;
    QVERIFY(shared.isValid());
    const QString program = shared.copy(LUMEDRA_CLI);
    QVERIFY(!program.isEmpty());
    args.replaceInStrings("PORT", pty.name());
    args.replaceInStrings("IMAGE", shared.write("image.bin", QByteArray(600, 'x')));
    said.replaceInStrings("PORT", pty.name());

    QProcess cli;
    cli.setWorkingDirectory(shared.path());
    cli.start("runuser", QStringList{"-u", "nobody", "--", program} + args);
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray out = cli.readAllStandardOutput();
    QVERIFY2(cli.exitCode() == 1, cli.readAllStandardError().constData());
    for (const QString &text : std::as_const(said))
        QVERIFY2(out.contains(text.toUtf8()), out.constData());
}

void tst_Doctor::openFailureReason()
{
    HeldPty pty;
    QVERIFY(pty.isOpen() && pty.hold());
    // The holder's lock as Qt writes it (pid, program, host): a lock without the program's name
    // Qt takes for stale and removes.
    const QString lock = "/var/lock/LCK.." + pty.name().mid(5).replace('/', '_');
    QFile file(lock);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        QSKIP("/var/lock is not writable here");
    removeAfter << lock;
    file.write(
        QString("%1\nsleep\n%2\n").arg(pty.holder()).arg(QSysInfo::machineHostName()).toLatin1());
    file.close();
    QTemporaryDir images;
    QFile image(images.filePath("image.bin"));
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(600, 'x')) == 600);
    image.close();

    QProcess cli;
    cli.start(LUMEDRA_CLI, {"--json", "-p", pty.name(), image.fileName()});
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), 1);
    QJsonObject result;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n'))
        if (QJsonDocument::fromJson(line).object().value("event") == "result")
            result = QJsonDocument::fromJson(line).object();
    QCOMPARE(result.value("result").toString(), "open_failed");
    QVERIFY2(result.value("reason").toString().startsWith(
                 QString("busy: held by sleep (pid %1, user ").arg(pty.holder())),
             qPrintable(result.value("reason").toString()));
}

void tst_Doctor::cleanup()
{
    for (const pid_t child : std::as_const(children)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    children.clear();
    for (const QString &path : std::as_const(removeAfter))
        QFile::remove(path);
    removeAfter.clear();
}

QTEST_GUILESS_MAIN(tst_Doctor)
#include "tst_doctor.moc"
