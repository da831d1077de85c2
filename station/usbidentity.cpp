#include "station/usbidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace
{

constexpr int MaxLevels = 6; // from the tty's device up to its USB device
const char ByPath[] = "/dev/serial/by-path";

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readLine()).trimmed();
}

QString byPathName(const QString &port, const QString &device)
{
    if (QFileInfo(port).absolutePath() == QLatin1String(ByPath))
        return port;
    const QDir links(QString::fromLatin1(ByPath));
    for (const QFileInfo &link : links.entryInfoList(QDir::System | QDir::Files))
        if (link.canonicalFilePath() == device)
            return link.absoluteFilePath();
    return QString();
}

} // namespace

UsbIdentity UsbIdentity::of(const QString &port)
{
    UsbIdentity identity;
    const QString device = QFileInfo(port).canonicalFilePath(); // e.g. /dev/ttyUSB0
    if (device.isEmpty())
        return identity;
    QString dir =
        QFileInfo("/sys/class/tty/" + QFileInfo(device).fileName() + "/device").canonicalFilePath();
    for (int level = 0; !dir.isEmpty() && level < MaxLevels; ++level) {
        if (QFileInfo::exists(dir + "/idVendor")) {
            identity.vendorId = firstLine(dir + "/idVendor");
            identity.productId = firstLine(dir + "/idProduct");
            identity.serial = firstLine(dir + "/serial");
            identity.location = dir;
            break;
        }
        dir = QFileInfo(dir).absolutePath();
    }
    const QString physical = byPathName(port, device);
    if (!physical.isEmpty())
        identity.location = physical;
    return identity;
}
