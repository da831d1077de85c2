#include "doctor/sysfsusb.h"

#include <QFileInfo>

namespace
{
constexpr int MaxLevels = 6; // from the tty's device up to its USB device
} // namespace

SysfsUsb SysfsUsb::of(const SysRoot &root, const QString &tty)
{
    SysfsUsb usb;
    const QString classEntry = "/sys/class/tty/" + tty;
    usb.devNumbers = root.firstLine(classEntry + "/dev");
    const std::optional<QString> device = root.resolve(classEntry + "/device");
    if (!device || !root.exists(*device))
        return usb;
    usb.sysfs = *device;
    const std::optional<QString> driver = root.resolve(*device + "/driver");
    if (driver && root.exists(*driver))
        usb.driver = QFileInfo(*driver).fileName();
    if (root.exists(*device + "/latency_timer")) {
        usb.latencyPath = *device + "/latency_timer";
        bool ok = false;
        const int value = root.firstLine(usb.latencyPath).toInt(&ok);
        usb.latencyMs = ok ? value : -1;
    }
    QString dir = *device;
    for (int level = 0; dir.startsWith("/sys/") && level < MaxLevels; ++level) {
        if (root.exists(dir + "/idVendor")) {
            usb.vendorId = root.firstLine(dir + "/idVendor");
            usb.productId = root.firstLine(dir + "/idProduct");
            usb.serial = root.firstLine(dir + "/serial");
            usb.manufacturer = root.firstLine(dir + "/manufacturer");
            usb.product = root.firstLine(dir + "/product");
            usb.usbDevice = dir;
            break;
        }
        dir = QFileInfo(dir).path();
    }
    return usb;
}
