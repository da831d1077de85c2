#include "bench/verdict.h"
#include "doctor/portdoctor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
constexpr int Ports = 64;
constexpr int Processes = 400;
constexpr int FilesEach = 24;
constexpr int HeldPorts = 8;
constexpr int Runs = 5;
constexpr double LimitSeconds = 1.0;

void write(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
}

void link(const QString &root, const QString &path, const QString &target)
{
    QDir().mkpath(QFileInfo(root + path).path());
    QFile::link(QDir(QFileInfo(path).path()).relativeFilePath(target), root + path);
}

// A busy machine's tree: 64 FTDI adapters behind hubs, each with its stable names and udev
// entry, and a few hundred processes holding files, some of them ports.
void buildTree(const QString &root)
{
    write(root + "/etc/passwd", "root:x:0:0::/root:/bin/sh\nana:x:1000:1000::/nonexistent:/bin/sh\n");
    write(root + "/etc/group", "root:x:0:\ndialout:x:20:ana\n");
    write(root + "/lib/udev/rules.d/85-brltty.rules",
          "ENV{PRODUCT}==\"1a86/7523/*\", GOTO=\"brltty_usb_run\"\n");
    for (int i = 0; i < Ports; ++i) {
        const QString tty = QString("ttyUSB%1").arg(i);
        const QString usb = QString("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%1.%2")
                                .arg(i / 4 + 1)
                                .arg(i % 4 + 1);
        const QString device = usb + "/" + QFileInfo(usb).fileName() + ":1.0/" + tty;
        write(root + usb + "/idVendor", "0403");
        write(root + usb + "/idProduct", "6001");
        write(root + usb + "/serial", QString("A%1").arg(i, 7, 10, QChar('0')).toLatin1());
        write(root + device + "/latency_timer", "16");
        write(root + device + "/tty/" + tty + "/dev", QString("188:%1").arg(i).toLatin1());
        QDir().mkpath(root + "/sys/bus/usb-serial/drivers/ftdi_sio");
        link(root, device + "/driver", "/sys/bus/usb-serial/drivers/ftdi_sio");
        link(root, device + "/tty/" + tty + "/device", device);
        link(root, "/sys/class/tty/" + tty, device + "/tty/" + tty);
        write(root + QString("/run/udev/data/c188:%1").arg(i), "E:ID_VENDOR_ID=0403\n");
        const QString node = root + "/dev/" + tty;
        QDir().mkpath(root + "/dev");
        // The null device under the port's name where the bench may make nodes: safe to open.
        if (::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0660, makedev(1, 3)) != 0)
            write(node, QByteArray());
        link(root,
             QString("/dev/serial/by-path/pci-0000:00:14.0-usb-0:%1.%2:1.0-port0")
                 .arg(i / 4 + 1)
                 .arg(i % 4 + 1),
             "/dev/" + tty);
        link(root, QString("/dev/serial/by-id/usb-FTDI_A%1-if00-port0").arg(i), "/dev/" + tty);
    }
    for (int p = 0; p < Processes; ++p) {
        const QString dir = root + QString("/proc/%1").arg(1000 + p);
        write(dir + "/comm", p == 0 ? "ModemManager\n" : "worker\n");
        write(dir + "/cmdline", QByteArray("worker\0--serve\0", 15));
        QDir().mkpath(dir + "/fd");
        for (int f = 0; f < FilesEach; ++f) {
            const QString target = p < HeldPorts && f == 3 ? QString("/dev/ttyUSB%1").arg(p)
                                                           : QString("/srv/files/file%1").arg(f);
            QFile::link(target, dir + QString("/fd/%1").arg(f));
        }
    }
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

// The doctor on 64 ports at once, in process and as the command, and its scan of this machine's
// /proc.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    buildTree(dir.path());

    QVector<double> inProcess;
    int problems = 0;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const PortDoctor doctor(dir.path());
        const QStringList ports = doctor.ports();
        problems = 0;
        for (const QString &port : ports)
            problems += doctor.diagnose(port).verdict == Verdict::Problem;
        inProcess.append(clock.nsecsElapsed() / 1e9);
        if (ports.size() != Ports)
            return 1;
    }

    QVector<double> command;
    bool commandOk = true;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        QProcess cli;
        cli.start(LUMEDRA_CLI, {"doctor", "--json", "--root", dir.path()});
        commandOk &= cli.waitForFinished(30000);
        command.append(clock.nsecsElapsed() / 1e9);
        commandOk &= cli.readAllStandardOutput().count('\n') == Ports;
    }

    QVector<double> realScan;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const PortDoctor doctor;
        realScan.append(clock.nsecsElapsed() / 1e9);
    }
    const int realProcesses = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs).size();

    const double slowest = *std::max_element(command.begin(), command.end());
    std::printf("%-44s %10s %10s\n", "measure (median of 5)", "value", "slowest");
    std::printf("%-44s %8.1f ms %8.1f ms\n", "64 ports, in process (read + diagnose)",
                median(inProcess) * 1e3,
                *std::max_element(inProcess.begin(), inProcess.end()) * 1e3);
    std::printf("%-44s %8.1f ms %8.1f ms\n", "lumedra-cli doctor --json, 64 ports",
                median(command) * 1e3, slowest * 1e3);
    std::printf("%-44s %8.1f ms %8.1f ms\n",
                qPrintable(QString("this machine's /proc, %1 processes").arg(realProcesses)),
                median(realScan) * 1e3, *std::max_element(realScan.begin(), realScan.end()) * 1e3);
    std::printf("%-44s %10d\n", "ports with a problem (held)", problems);
    std::printf("\n");
    bool ok = commandOk && problems == HeldPorts;
    ok &= verdict("lumedra-cli doctor on 64 ports under 1 s (slowest run)", slowest < LimitSeconds);
    std::printf("BENCH_DOCTOR ok=%d in_process_ms=%.1f command_ms=%.1f command_slowest_ms=%.1f "
                "real_proc_ms=%.1f\n",
                ok, median(inProcess) * 1e3, median(command) * 1e3, slowest * 1e3,
                median(realScan) * 1e3);
    return ok ? 0 : 1;
}
