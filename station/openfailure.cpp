#include "station/openfailure.h"

#include "doctor/portdoctor.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

QString describeOpenFailure(const QString &path, QSerialPort::SerialPortError error,
                            const QString &errorText)
{
    // The doctor names the holder, the lock or the group; what it finds about the node fits any
    // failure, the rest only a refused open (Qt reports a lock and a busy port as one too).
    const Diagnosis diagnosis = PortDoctor().diagnose(path, PortDoctor::Lines::Leave);
    for (const Finding &finding : diagnosis.findings)
        if (!finding.reason.isEmpty() &&
            (finding.topic == Finding::Topic::Node || finding.topic == Finding::Topic::Brltty ||
             error == QSerialPort::PermissionError))
            return finding.reason;
    struct stat info {
    };
    if (error == QSerialPort::DeviceNotFoundError || ::stat(qPrintable(path), &info) != 0)
        return QString("%1 does not exist").arg(path);
    // Refused, and nothing the doctor sees says why: Qt reports a port that another program
    // holds exclusively or has locked as a permission error too, and the system may refuse for
    // reasons the modes do not show (an ACL, a security module).
    if (error == QSerialPort::PermissionError)
        return ::access(qPrintable(path), R_OK | W_OK) == 0
                   ? QString("%1 is busy: another program holds the port").arg(path)
                   : QString("permission denied: %1").arg(path);
    // A file, a FIFO or another device: the terminal settings a serial port has are missing.
    if (!S_ISCHR(info.st_mode) || !QFileInfo(path).canonicalFilePath().startsWith("/dev/"))
        return QString("%1 is not a serial port").arg(path);
    return errorText;
}

QString describeOpenFailure(const QString &path, int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return describeOpenFailure(path, QSerialPort::DeviceNotFoundError, QString());
    case EACCES:
    case EPERM:
    case EBUSY:
        return describeOpenFailure(path, QSerialPort::PermissionError, QString());
    case ENOTTY:
        return QString("%1 is not a serial port").arg(path);
    default:
        return QString("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
    }
}
